#include "walk.h"

#include "platform/platform.h"

#include <QDebug>

#include <algorithm>
#include <exception>
#include <new>
#include <stdexcept>
#include <vector>

std::uint64_t folderCounter = 0;
std::uint64_t fileCounter = 0;

namespace {

// The folders from the start folder down to the one being walked, by identity.
using FolderChain = std::vector<FolderIdentity>;

void walkInside(const std::string &folder, FolderChain &chain, std::uint64_t &total);

// A file is counted after its size was added, so one that has no size is neither.
void addFile(const ListedEntry &entry, std::uint64_t &total)
{
    if (!entry.failure.empty()) {
        qDebug() << entry.failure.c_str();
        return;
    }
    total += entry.size;
    ++fileCounter;
}

// Walks folder; a walk that throws part way is logged, and what it had already summed and counted
// stays. Returns whether it finished. Running out of memory is no failure of this folder: it ends
// the whole walk.
bool walkLogged(const std::string &folder, FolderChain &chain, std::uint64_t &total)
{
    try {
        walkInside(folder, chain, total);
        return true;
    } catch (const std::bad_alloc &) {
        throw;
    } catch (const std::exception &failure) {
        qDebug() << failure.what();
        return false;
    }
}

// A folder is counted after its own walk returns, so one whose walk throws part way is not.
void addFolder(const std::string &folder, FolderChain &chain, std::uint64_t &total)
{
    if (walkLogged(folder, chain, total))
        ++folderCounter;
}

// Walks folder unless it is one of the folders above it, which would lead the walk round in a
// loop: a bind mount of a folder inside itself, or a link that the platform lists as a folder.
void walkInside(const std::string &folder, FolderChain &chain, std::uint64_t &total)
{
    // Files are handled while the listing is open; subfolders are walked once it is closed, so
    // one listing is open at a time however deep the tree, and only this folder's subfolders
    // are held in memory, never its files.
    std::vector<std::string> subfolders;
    std::string failure;
    const ListingEnd end = listFolder(folder, [&](const FolderIdentity &identity) {
        if (std::find(chain.begin(), chain.end(), identity) != chain.end())
            return false;
        chain.push_back(identity);
        return true;
    }, [&](const ListedEntry &entry) {
        if (entry.isFolder)
            subfolders.push_back(entry.path);
        else
            addFile(entry, total);
    }, failure);
    if (end == ListingEnd::Declined) {
        qDebug() << ("filesystem error: directory loops back to a directory above it, not walked [" + folder + "]").c_str();
        return;
    }
    if (end == ListingEnd::OpenFailed)
        qDebug() << failure.c_str();
    if (end == ListingEnd::NotListable || end == ListingEnd::OpenFailed)
        return;
    for (const std::string &subfolder : subfolders)
        addFolder(subfolder, chain, total);
    chain.pop_back();
    // The entries listed before the break were handled in full, as if walked in listing order.
    if (end == ListingEnd::BrokeOff)
        throw std::runtime_error(failure);
}

} // namespace

void walkFolder(const std::string &folder, std::uint64_t &total)
{
    FolderChain chain;
    walkLogged(folder, chain, total);
}
