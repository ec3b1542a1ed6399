#include "folderstats.h"

#include "folderstats/walk.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>


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

void addVolumeCapacity(const QFileInfo &root, std::uint64_t &total)
{
    const QString native = QDir::toNativeSeparators(root.absoluteFilePath());
    queryVolumeCapacity(native.toUtf8().toStdString(), total);
}

void walkFrom(const QString &folder, std::uint64_t &total)
{
    folderCounter = 0;
    fileCounter = 0;
    walkFolder(folder.toUtf8().toStdString(), total);
}

} // namespace

void computeFolderStats(const QString &path, std::uint64_t &total, std::uint64_t *folderCount,
                        std::uint64_t *fileCount)
{
    const QString folder = withTrailingSeparator(path);
    folderCounter = NoCount;
    fileCounter = NoCount;
    const QDir dir(folder);
    if (dir.exists()) {
        const QFileInfo root = volumeRootOf(dir);
        if (root.filePath().isEmpty())
            walkFrom(folder, total);
        else
            addVolumeCapacity(root, total);
    }
    if (folderCount)
        *folderCount = folderCounter;
    if (fileCount)
        *fileCount = fileCounter;
}

QString formatByteSize(std::uint64_t bytes)
{
    return QString::fromStdString(formatShortByteSize(bytes));
}

ReportList folderStatsReport(std::uint64_t total, std::uint64_t folderCount, std::uint64_t fileCount)
{
    ReportList list;
    list.append({QStringLiteral("Total Size"), formatByteSize(total)});
    if (folderCount != NoCount)
        list.append({QStringLiteral("Folder Count "), QString::number(folderCount)});
    if (fileCount != NoCount)
        list.append({QStringLiteral("File Count"), QString::number(fileCount)});
    return list;
}

void writeFolderStatsReport(const QStringList &arguments)
{
    const QString target = targetPathFromArguments(arguments);
    if (!QFileInfo(target).isDir())
        return;
    const QString resultPath = resultPathFromArguments(arguments);
    std::uint64_t total = 0;
    std::uint64_t folderCount = 0;
    std::uint64_t fileCount = 0;
    computeFolderStats(target, total, &folderCount, &fileCount);
    const ReportList list = folderStatsReport(total, folderCount, fileCount);
    if (!list.isEmpty())
        writeJsonReport(list, resultPath);
}

void runFolderStatsMode()
{
    writeFolderStatsReport(QCoreApplication::arguments());
}
