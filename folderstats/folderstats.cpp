#include "folderstats.h"

#include "folderstats/sizetext.h"


namespace {

// A volume root is answered by its capacity, not walked; a capacity that cannot be queried is
// no result, never "0 bytes".
std::optional<Report> volumeReport(const OpenFolder &root, const SystemCalls &calls)
{
    std::uint64_t capacity = 0;
    const SysResult queried = calls.queryVolumeCapacity(root, capacity);
    if (!queried.ok())
        return std::nullopt;
    Report report;
    report.entries = {{QStringLiteral("Total Size"), formatByteSize(capacity)}};
    return report;
}

} // namespace

std::optional<Report> folderStatsReport(const std::string &path, int walkers, const SystemCalls &calls)
{
    StartFolder start = openWalkStart(path, calls);
    if (start.opened.ok()) {
        // Known by what was opened, whatever bytes named it ("/..", a link, a name no UTF-8).
        bool root = false;
        const SysResult tested = calls.isVolumeRoot(start.folder, root);
        if (!tested.ok())
            return std::nullopt;
        if (root)
            return volumeReport(start.folder, calls);
    }
    const std::optional<FolderTotals> totals = walkFolder(std::move(start), walkers, calls);
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
