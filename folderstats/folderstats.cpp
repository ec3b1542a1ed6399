#include "folderstats.h"

#include "folderstats/sizetext.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {

// The volume root that path is, or an empty file information when it is none. Its canonical path
// catches the spellings its absolute path keeps ("/..", a link to "/"); drive letters compare
// without regard to case, as Windows names them ("c:\" is "C:/").
QFileInfo volumeRootOf(const std::string &path)
{
    // Volume roots have plain names; a name that is no UTF-8 is no root, however it reads here.
    QString folder = QString::fromUtf8(path.data(), int(path.size()));
    if (!folder.endsWith(QLatin1Char('/')) && !folder.endsWith(QLatin1Char('\\')))
        folder += QLatin1Char('/');
    const QDir dir(folder);
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
    const std::string native = QDir::toNativeSeparators(root.absoluteFilePath()).toUtf8().toStdString();
    std::uint64_t capacity = 0;
    if (!queryVolumeCapacity(native, capacity).ok())
        return std::nullopt;
    Report report;
    report.entries = {{QStringLiteral("Total Size"), formatByteSize(capacity)}};
    return report;
}

} // namespace

std::optional<Report> folderStatsReport(const std::string &path, int walkers)
{
    const QFileInfo root = volumeRootOf(path);
    if (!root.filePath().isEmpty())
        return volumeReport(root);
    const std::optional<FolderTotals> totals = walkFolder(path, walkers);
    if (!totals)
        return std::nullopt;
    Report report;
    report.entries = {{QStringLiteral("Total Size"), formatByteSize(totals->bytes)},
                      {QStringLiteral("Folder Count "), QString::number(totals->folders)},
                      {QStringLiteral("File Count"), QString::number(totals->files)}};
    return report;
}

QString formatByteSize(std::uint64_t bytes)
{
    const std::string system = systemByteSizeText(bytes);
    return QString::fromStdString(system.empty() ? formatEnUsByteSize(bytes) : system);
}
