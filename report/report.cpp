#include "report.h"

#include <QBuffer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

std::string pathBytes(const QString &path)
{
    return wtf8FromUtf16(std::u16string(reinterpret_cast<const char16_t *>(path.utf16()), std::size_t(path.size())));
}

QByteArray renderJsonReport(const ReportList &list)
{
    QJsonArray array;
    for (const ReportEntry &entry : list)
        array.append(QJsonObject{{entry.key, entry.value}});
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

QByteArray renderReportFile(const ReportList &list)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    QTextStream stream(&buffer);
    stream << renderJsonReport(list);
    stream.flush();
    return bytes;
}

bool writeJsonReport(const ReportList &list, const std::string &path)
{
    const QByteArray bytes = renderReportFile(list);
    return replaceFileContent(path, bytes.toStdString()) == FileOutcome::Done;
}
