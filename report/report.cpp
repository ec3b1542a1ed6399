#include "report.h"

#include <QFile>
#include <QSaveFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <filesystem>
#include <system_error>

QString targetPathFromArguments(const QStringList &arguments)
{
    return arguments.size() >= 3 ? arguments.at(2) : QString();
}

QString resultPathFromArguments(const QStringList &arguments)
{
    const QString last = arguments.isEmpty() ? QString() : arguments.last();
    if (last.endsWith(QLatin1String(".json"), Qt::CaseInsensitive))
        return last;
    return last + QLatin1String(".json");
}

QByteArray renderJsonReport(const ReportList &list)
{
    QJsonArray array;
    for (const ReportEntry &entry : list)
        array.append(QJsonObject{{entry.key, entry.value}});
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

void writeJsonReport(const ReportList &list, const QString &path)
{
    // Opening a FIFO for writing would block until some reader appears, and a device is no
    // place for a report: only a regular file, or a new one, is written.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return;
    // Written beside the result path and renamed over it only when complete, so a full disk or
    // a helper stopped part way leaves the earlier file as it was and no temporary file behind.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return;
    QTextStream stream(&file);
    stream << renderJsonReport(list);
    stream.flush();
    if (stream.status() != QTextStream::Ok)
        file.cancelWriting();
    file.commit();
}

bool namesSameFile(const QString &first, const QString &second)
{
    std::error_code error;
    const bool same = std::filesystem::equivalent(std::filesystem::u8path(first.toUtf8().toStdString()),
                                                  std::filesystem::u8path(second.toUtf8().toStdString()),
                                                  error);
    return same && !error;
}
