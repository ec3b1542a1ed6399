#include "folderstats.h"

#include <QDir>
#include <QFileInfo>
#include <QStringList>

namespace {

QString withTrailingSeparator(const QString &path)
{
    if (path.endsWith(QLatin1Char('/')) || path.endsWith(QLatin1Char('\\')))
        return path;
    return path + QLatin1Char('/');
}

// The volume root that dir is, or an empty file information when it is none. Its canonical path
// catches the spellings its absolute path keeps ("/..", a link to "/"); drive letters compare
// without regard to case, as Windows names them ("c:\" is "C:/").
QFileInfo volumeRootOf(const QDir &dir)
{
    const QStringList spellings = {dir.absolutePath(), dir.canonicalPath()};
    for (const QFileInfo &root : QDir::drives()) {
        if (spellings.contains(root.absoluteFilePath(), Qt::CaseInsensitive))
            return root;
    }
    return QFileInfo();
}

// A volume root is answered by its capacity, not walked; a capacity that cannot be queried is
// no result, never "0 bytes".
std::optional<Report> volumeReport(const QFileInfo &root)
{
    const std::string native = pathBytes(QDir::toNativeSeparators(root.absoluteFilePath()));
    Report report;
    std::uint64_t capacity = 0;
    if (!queryVolumeCapacity(native, capacity) || identityOfPath(native, report.target) != FileOutcome::Done)
        return std::nullopt;
    report.entries = {{QStringLiteral("Total Size"), formatByteSize(capacity)}};
    return report;
}

} // namespace

std::optional<Report> folderStatsReport(const QString &path, int walkers)
{
    const QString folder = withTrailingSeparator(path);
    const QFileInfo root = volumeRootOf(QDir(folder));
    if (!root.filePath().isEmpty())
        return volumeReport(root);
    const std::optional<FolderTotals> totals = walkFolder(pathBytes(folder), walkers);
    if (!totals)
        return std::nullopt;
    Report report;
    report.target = totals->start;
    report.entries = {{QStringLiteral("Total Size"), formatByteSize(totals->bytes)},
                      {QStringLiteral("Folder Count "), QString::number(totals->folders)},
                      {QStringLiteral("File Count"), QString::number(totals->files)}};
    return report;
}

QString formatByteSize(std::uint64_t bytes)
{
    return QString::fromStdString(formatShortByteSize(bytes));
}
