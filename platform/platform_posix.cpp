#include "platform.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <system_error>

#include <sys/statvfs.h>

namespace fs = std::filesystem;

namespace {

// Reasons that belong to the folder itself: it is gone, not a folder, closed to this user, or its
// path is past the system's limit. Anything else (no file descriptors, no memory, an I/O error)
// says nothing about the folder and must not pass for an empty one.
bool isFoldersOwnFailure(const std::error_code &error)
{
    switch (error.value()) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case ENAMETOOLONG:
    case ELOOP:
        return true;
    default:
        return false;
    }
}

// The type the listing reported, without following links, so links are never walked and cannot
// lead the walk round in a cycle. An entry the listing left untyped costs a status query; one
// whose type cannot be read is no folder, and its size query then reports why.
bool isListedFolder(const fs::directory_entry &entry)
{
    std::error_code error;
    if (entry.is_symlink(error) || error)
        return false;
    return entry.is_directory(error) && !error;
}

} // namespace

bool queryVolumeCapacity(const std::string &rootUtf8, std::uint64_t &capacity)
{
    struct statvfs info;
    if (statvfs(rootUtf8.c_str(), &info) != 0)
        return false;
    capacity = std::uint64_t(info.f_blocks) * std::uint64_t(info.f_frsize);
    return true;
}

std::string formatShortByteSize(std::uint64_t bytes)
{
    return formatEnUsByteSize(bytes);
}

void ignoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

ListingEnd listFolder(const std::string &folder, const std::function<void(const ListedEntry &)> &visit,
                      std::string &failure)
{
    const fs::path path = fs::u8path(folder);
    std::error_code error;
    fs::directory_iterator it(path, error);
    if (error) {
        if (isFoldersOwnFailure(error))
            return ListingEnd::NotListable;
        failure = fs::filesystem_error("directory iterator cannot open directory", path, error).what();
        return ListingEnd::OpenFailed;
    }
    for (const fs::directory_iterator end; it != end; it.increment(error)) {
        // Files are sized through the listing's own path: building a path anew costs more than
        // the size query itself.
        ListedEntry entry;
        entry.listed = &*it;
        entry.isFolder = isListedFolder(*it);
        if (entry.isFolder)
            entry.path = it->path().native();
        visit(entry);
    }
    // increment() leaves the iterator at the end when it fails, so the loop stops there.
    if (error) {
        failure = fs::filesystem_error("directory iterator cannot advance", path, error).what();
        return ListingEnd::BrokeOff;
    }
    return ListingEnd::Complete;
}

std::uint64_t sizeOfListedEntry(const ListedEntry &entry)
{
    // Every entry here comes with the listing's own record, and none is sized by the listing.
    return fs::file_size(entry.listed->path());
}
