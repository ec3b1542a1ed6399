#include "walk.h"

#include "platform/platform.h"

#include <QDebug>

#include <exception>
#include <stdexcept>
#include <vector>

std::uint64_t folderCounter = 0;
std::uint64_t fileCounter = 0;

namespace {

// A file is counted after its size was added, so one whose size query throws is neither.
void addFile(const ListedEntry &entry, std::uint64_t &total)
{
    try {
        total += sizeOfListedEntry(entry);
        ++fileCounter;
    } catch (const std::exception &failure) {
        qDebug() << failure.what();
    }
}

// A folder is counted after its own walk returns, so one whose walk throws part way is not
// counted; what it had already summed and counted stays.
void addFolder(const std::string &folder, std::uint64_t &total)
{
    try {
        walkFolder(folder, total);
        ++folderCounter;
    } catch (const std::exception &failure) {
        qDebug() << failure.what();
    }
}

} // namespace

void walkFolder(const std::string &folder, std::uint64_t &total)
{
    // Files are handled while the listing is open; subfolders are walked once it is closed, so
    // one listing is open at a time however deep the tree, and only this folder's subfolders
    // are held in memory, never its files.
    std::vector<std::string> subfolders;
    std::string failure;
    const ListingEnd end = listFolder(folder, [&](const ListedEntry &entry) {
        if (entry.isFolder)
            subfolders.push_back(entry.path);
        else
            addFile(entry, total);
    }, failure);
    if (end == ListingEnd::OpenFailed)
        qDebug() << failure.c_str();
    for (const std::string &subfolder : subfolders)
        addFolder(subfolder, total);
    // The entries listed before the break were handled in full, as if walked in listing order.
    if (end == ListingEnd::BrokeOff)
        throw std::runtime_error(failure);
}
