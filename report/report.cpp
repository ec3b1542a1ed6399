#include "report.h"

#include <QFile>
#include <QSaveFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QThread>

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

namespace {

enum class SaveOutcome { Saved, NotWritten, RenameRefused };

// Writes text beside path and renames it over path only when complete, so a full disk or a helper
// stopped part way leaves the earlier file as it was and no temporary file behind. Where no file
// can be created beside it (a read-only folder holding a writable result), writes in place.
SaveOutcome saveAtomically(const QString &path, const QByteArray &text)
{
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return SaveOutcome::NotWritten;
    QTextStream stream(&file);
    stream << text;
    stream.flush();
    if (stream.status() != QTextStream::Ok)
        file.cancelWriting();
    if (file.commit())
        return SaveOutcome::Saved;
    return file.error() == QFileDevice::RenameError ? SaveOutcome::RenameRefused : SaveOutcome::NotWritten;
}

// Replaces the file's content where it is: the way left when the file may not be replaced whole.
void writeInPlace(const QString &path, const QByteArray &text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return;
    QTextStream stream(&file);
    stream << text;
}

} // namespace

void writeJsonReport(const ReportList &list, const QString &path)
{
    // Opening a FIFO for writing would block until some reader appears, and a device is no
    // place for a report: only a regular file, or a new one, is written.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return;
    const QByteArray text = renderJsonReport(list);
    // A complete report whose rename is refused (the old file held open by a reader, a virus
    // scanner or an indexer on Windows; someone else's file in a sticky folder) is tried again a
    // few times, then written in place: a stale result would pass for this target's.
    for (int delayMs : {0, 20, 40, 80, 160}) {
        QThread::msleep(static_cast<unsigned long>(delayMs));
        const SaveOutcome outcome = saveAtomically(path, text);
        if (outcome != SaveOutcome::RenameRefused)
            return;
    }
    writeInPlace(path, text);
}

bool namesSameFile(const QString &first, const QString &second)
{
    std::error_code error;
    const bool same = std::filesystem::equivalent(std::filesystem::u8path(first.toUtf8().toStdString()),
                                                  std::filesystem::u8path(second.toUtf8().toStdString()),
                                                  error);
    return same && !error;
}
