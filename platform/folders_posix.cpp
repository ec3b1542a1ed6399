#include "platform/folders.h"
#include "platform/files.h"
#include "platform/posix_internal.h"

#include <cerrno>
#include <algorithm>
#include <climits>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace posix_internal;

namespace {

// The most bytes one lookup takes, terminating zero included.
const std::size_t LookupLimit = PATH_MAX;

// Opens relative below dirFd in one lookup that follows no link at all; ENOSYS where the kernel
// has no openat2 (before 5.6) or a filter refuses it.
int openBeneathNoLinks(int dirFd, const std::string &relative)
{
    struct open_how how = {};
    how.flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return int(::syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how));
}

// Stores the names of relative (joined by '/'), empty ones and "." left out; false, with errno
// EXDEV, where one is "..": names come from listings, and one that would leave the start folder
// is refused as openat2 would.
bool namesBelow(const std::string &relative, std::vector<std::string> &names)
{
    for (std::size_t begin = 0; begin <= relative.size();) {
        const std::size_t end = std::min(relative.find('/', begin), relative.size());
        const std::string name = relative.substr(begin, end - begin);
        if (name == "..") {
            errno = EXDEV;
            return false;
        }
        if (!name.empty() && name != ".")
            names.push_back(name);
        begin = end + 1;
    }
    return true;
}

// The same, one name at a time, each opened without following a link.
int openNameByName(int dirFd, const std::string &relative)
{
    std::vector<std::string> names;
    if (!namesBelow(relative, names))
        return -1;
    int fd = -1;
    for (const std::string &name : names) {
        const int next = ::openat(fd < 0 ? dirFd : fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        if (next < 0) {
            errno = error;
            return -1;
        }
        fd = next;
    }
    return fd;
}

// Opens the folder at relative below dirFd with a descriptor for its path alone, which may follow
// a link on the way; -1 with errno as the system set it.
int openPathOnly(int dirFd, const std::string &relative)
{
    return ::openat(dirFd, relative.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Stores the path the kernel keeps for the open folder (its /proc link), which names no link;
// false where it gives none (no /proc, a path past the limit).
bool kernelPathOf(int fd, std::string &path)
{
    return readLinkText(procPathOf(fd), path);
}

// True when path, looked up from the process's root, is the open folder fd itself. The kernel's
// path of a folder of another mount namespace (reached through /proc/PID/root) is written from
// that namespace's root: here the same text names another folder, or none.
bool leadsBackTo(const std::string &path, int fd)
{
    FileStatus there, opened;
    return statusAtFd(AT_FDCWD, path.c_str(), 0, there).ok() && statusAtFd(fd, "", AT_EMPTY_PATH, opened).ok() &&
           isSameFile(there.identity, opened.identity);
}

// Opens the folder at names below dirFd in one open, which may follow a link on the way, and keeps
// it where the kernel's path of it is dirFd's own with those names after it, and dirFd's path
// leads back to dirFd: a path the kernel keeps names no link. -1 where it is not, or cannot tell,
// with nothing opened.
int openByKernelPath(int dirFd, const std::vector<std::string> &names)
{
    std::string relative, top, below;
    for (const std::string &name : names)
        relative = relative.empty() ? name : relative + "/" + name;
    const int fd = ::openat(dirFd, relative.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && kernelPathOf(dirFd, top) && leadsBackTo(top, dirFd) && kernelPathOf(fd, below) && below == joinPath(top, relative))
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// The same with one descriptor at a time, however deep, and needing search rights in the folders
// on the way alone, as openat2 does (a folder that may be listed but not searched opens): by the
// kernel's path where it tells, else from the top down, each folder on the way looked up as an
// entry of its real parent, which follows no link, then reached from dirFd by its path, which may,
// and must be that entry; the last opened so at the end. A link or a folder swapped on the way is
// ELOOP.
int openCheckedBeneath(int dirFd, const std::string &relative)
{
    std::vector<std::string> names;
    if (!namesBelow(relative, names))
        return -1;
    const int fast = names.empty() ? -1 : openByKernelPath(dirFd, names);
    if (fast >= 0)
        return fast;
    std::string prefix;
    FileStatus entry;
    int parent = dirFd;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const SysResult looked = statusAtFd(parent, names[i].c_str(), AT_SYMLINK_NOFOLLOW, entry);
        if (parent != dirFd)
            ::close(parent);
        if (!looked.ok()) {
            errno = int(looked.code);
            return -1;
        }
        if (entry.type != EntryType::Folder) {
            errno = ELOOP;
            return -1;
        }
        prefix += (i == 0 ? "" : "/") + names[i];
        const bool last = i + 1 == names.size();
        const int fd = last ? ::openat(dirFd, prefix.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : openPathOnly(dirFd, prefix);
        FileStatus reached;
        if (fd < 0)
            return -1;
        if (!statusAtFd(fd, "", AT_EMPTY_PATH, reached).ok() || !isSameFile(reached.identity, entry.identity)) {
            ::close(fd);
            errno = ELOOP;
            return -1;
        }
        if (last)
            return fd;
        parent = fd;
    }
    // No name at all: the folder itself.
    return ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int openPiece(int dirFd, const std::string &piece)
{
    int fd = openBeneathNoLinks(dirFd, piece);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM))
        return fd;
    // Name by name costs a lookup per name; the checked open, the one way at the lowest file
    // limits, costs more the deeper the folder lies.
    fd = openNameByName(dirFd, piece);
    if (fd >= 0 || errno != EMFILE)
        return fd;
    return openCheckedBeneath(dirFd, piece);
}

std::size_t pieceEnd(const std::string &relative, std::size_t begin)
{
    if (relative.size() - begin < LookupLimit)
        return relative.size();
    const std::size_t slash = relative.rfind('/', begin + LookupLimit - 1);
    return slash == std::string::npos || slash <= begin ? relative.size() : slash;
}

} // namespace

SysResult openStartFolder(const std::string &path, OpenFolder &folder)
{
    Handle opened(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
    if (!opened.valid())
        return lastError();
    folder.handle = std::move(opened);
    folder.path = path;
    return {};
}

SysResult openSubfolder(const OpenFolder &start, const std::string &relative, const ListedFolder &, OpenFolder &folder)
{
    // Pieces of one lookup's length each, however deep the folder lies, the first from the start
    // folder's own handle; a folder within the limit takes one lookup and one handle.
    Handle current;
    for (std::size_t begin = 0; begin < relative.size();) {
        const std::size_t end = pieceEnd(relative, begin);
        const int fd = openPiece(current.valid() ? fdOf(current) : fdOf(start.handle), relative.substr(begin, end - begin));
        if (fd < 0) {
            const int error = errno;
            // A link on the way is refused as a link (ELOOP), or as no folder at the end.
            if (error == ELOOP || error == ENOTDIR || error == EXDEV)
                return {SysError::NotAFolder, error};
            return failureOf(error);
        }
        current = Handle(fd);
        begin = end + 1;
    }
    folder.handle = std::move(current);
    // Text for messages only: nothing is opened by it (below, every open starts from a handle).
    folder.path = joinPath(start.path, relative);
    return {};
}

SysResult isVolumeRoot(const OpenFolder &folder, bool &root)
{
    FileStatus opened, system;
    SysResult looked = statusOfHandle(folder.handle, opened);
    if (looked.ok())
        looked = statusAtFd(AT_FDCWD, "/", 0, system);
    root = looked.ok() && isSameFile(opened.identity, system.identity);
    return looked;
}

SysResult queryVolumeCapacity(const OpenFolder &folder, std::uint64_t &capacity)
{
    struct statvfs info;
    if (::fstatvfs(fdOf(folder.handle), &info) != 0)
        return lastError();
    capacity = std::uint64_t(info.f_blocks) * std::uint64_t(info.f_frsize);
    return {};
}

std::string systemByteSizeText(std::uint64_t)
{
    return std::string();
}
