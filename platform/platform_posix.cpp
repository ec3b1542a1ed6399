#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Reasons that belong to the folder itself: it is gone, not a folder, closed to this user, or its
// path is past the system's limit. Anything else (no file descriptors, an I/O error) says nothing
// about the folder and must not pass for an empty one.
bool isFoldersOwnFailure(int error)
{
    switch (error) {
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

// Running out of memory is no failure of one entry or folder: the whole walk is then cut short.
void throwIfOutOfMemory(int error)
{
    if (error == ENOMEM)
        throw std::bad_alloc();
}

// The standard library's wording of a filesystem error: "filesystem error: WHAT: REASON [PATH]".
std::string failureText(const char *what, const std::string &path, int error)
{
    return fs::filesystem_error(what, fs::path(path), std::error_code(error, std::generic_category())).what();
}

ListingEnd openFailure(const std::string &folder, int error, std::string &failure)
{
    throwIfOutOfMemory(error);
    if (isFoldersOwnFailure(error))
        return ListingEnd::NotListable;
    failure = failureText("directory iterator cannot open directory", folder, error);
    return ListingEnd::OpenFailed;
}

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Sizes the entry name of the open folder dirFd as the file it is or leads to; a link to a folder,
// a dangling link, a FIFO or a socket gets the failure text instead. Relative to the open folder,
// so the system does not walk the whole path again for every file.
void sizeEntry(int dirFd, const char *name, const std::string &prefix, ListedEntry &entry)
{
    struct stat info;
    int error = 0;
    if (::fstatat(dirFd, name, &info, 0) != 0)
        error = errno;
    else if (S_ISDIR(info.st_mode))
        error = EISDIR;
    else if (!S_ISREG(info.st_mode))
        error = EOPNOTSUPP;
    throwIfOutOfMemory(error);
    if (error == 0)
        entry.size = std::uint64_t(info.st_size);
    else
        entry.failure = failureText("cannot get file size", prefix + name, error);
}

// Types one listed entry from the listing's own type, without following links; an entry the
// listing left untyped costs a status query of the link itself.
void fillEntry(int dirFd, const dirent &item, const std::string &prefix, ListedEntry &entry)
{
    clearListedEntry(entry);
    bool isFolder = item.d_type == DT_DIR;
    if (item.d_type == DT_UNKNOWN) {
        struct stat info;
        if (::fstatat(dirFd, item.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
            isFolder = S_ISDIR(info.st_mode);
        } else {
            throwIfOutOfMemory(errno);
        }
    }
    if (isFolder) {
        entry.isFolder = true;
        entry.path.assign(prefix).append(item.d_name);
        return;
    }
    sizeEntry(dirFd, item.d_name, prefix, entry);
}

struct DirCloser {
    void operator()(DIR *dir) const { ::closedir(dir); }
};

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

ListingEnd listFolder(const std::string &folder, const std::function<bool(const FolderIdentity &)> &enter,
                      const std::function<void(const ListedEntry &)> &visit, std::string &failure)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return openFailure(folder, errno, failure);
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
        const int error = errno;
        ::close(fd);
        return openFailure(folder, error, failure);
    }
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return openFailure(folder, errno, failure);
    if (!enter({std::uint64_t(info.st_dev), 0, std::uint64_t(info.st_ino)}))
        return ListingEnd::Declined;
    const std::string prefix = !folder.empty() && folder.back() == '/' ? folder : folder + '/';
    ListedEntry entry;
    for (;;) {
        errno = 0;
        const dirent *item = ::readdir(dir.get());
        if (!item)
            break;
        if (isDotOrDotDot(item->d_name))
            continue;
        fillEntry(fd, *item, prefix, entry);
        visit(entry);
    }
    // readdir returns null with errno untouched at the end, and sets it when the listing fails.
    const int error = errno;
    throwIfOutOfMemory(error);
    if (error != 0) {
        failure = failureText("directory iterator cannot advance", folder, error);
        return ListingEnd::BrokeOff;
    }
    return ListingEnd::Complete;
}
