#include "platform/results.h"
#include "platform/files.h"
#include "platform/posix_internal.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace posix_internal;

namespace {

// Splits a path into its folder part ("." when it has none) and its last name.
void splitPath(const std::string &path, std::string &folder, std::string &name)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        folder = ".";
        name = path;
    } else {
        folder = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
}

SysResult openPathFolder(int baseFd, const std::string &path, OpenFolder &folder)
{
    const int fd = ::openat(baseFd, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return lastError();
    folder.handle = Handle(fd);
    return {};
}

} // namespace

SysResult openResultPlace(const std::string &path, ResultPlace &place)
{
    std::string folderPath, name;
    splitPath(path, folderPath, name);
    OpenFolder folder;
    SysResult opened = openPathFolder(AT_FDCWD, folderPath, folder);
    if (!opened.ok())
        return opened;
    folder.path = folderPath;
    FileStatus status;
    SysResult looked = statusAtFd(fdOf(folder.handle), name.c_str(), AT_SYMLINK_NOFOLLOW, status);
    FileIdentity end;
    if (looked.ok() && status.type == EntryType::Link) {
        // The system follows the whole chain first, under its own rules and limit: a link it
        // refuses (a protected link, a loop, too many) is refused here.
        Handle target(::openat(fdOf(folder.handle), name.c_str(), O_PATH | O_CLOEXEC));
        if (!target.valid() && errno != ENOENT)
            return lastError();
        FileStatus targetStatus;
        if (target.valid() && statusOfHandle(target, targetStatus).ok())
            end = targetStatus.identity;
    }
    // Then each link of the chain is read from the folder that holds it, to name the file where
    // it ends: the one the system just reached, or the one it would create.
    for (int links = 0; looked.ok() && status.type == EntryType::Link; ++links) {
        if (links > 40)
            return resultOf(ELOOP);
        std::string text(PATH_MAX, '\0');
        const ssize_t length = ::readlinkat(fdOf(folder.handle), name.c_str(), &text[0], text.size());
        if (length <= 0 || std::size_t(length) >= text.size())
            return length < 0 ? lastError() : SysResult{SysError::NameTooLong, ENAMETOOLONG};
        text.resize(std::size_t(length));
        std::string nextFolder;
        splitPath(text, nextFolder, name);
        OpenFolder next;
        opened = openPathFolder(text.front() == '/' ? AT_FDCWD : fdOf(folder.handle), nextFolder, next);
        if (!opened.ok())
            return opened;
        next.path = text.front() == '/' ? nextFolder : joinPath(folder.path, nextFolder);
        folder = std::move(next);
        looked = statusAtFd(fdOf(folder.handle), name.c_str(), AT_SYMLINK_NOFOLLOW, status);
    }
    if (!looked.ok() && looked.kind != SysError::Missing)
        return looked;
    // The chain changed while it was read: where it ends is not known.
    if (end.known && !(looked.ok() && isSameFile(status.identity, end)))
        return {SysError::Other, EAGAIN};
    place.folder = std::move(folder);
    place.name = name;
    return {};
}

SysResult statusOfPlace(const ResultPlace &place, FileStatus &status)
{
    return statusAt(place.folder, place.name, false, status);
}

SysResult createUnnamedFile(const ResultPlace &place, Handle &file)
{
    Handle created(::openat(fdOf(place.folder.handle), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (!created.valid())
        return lastError();
    file = std::move(created);
    return {};
}

SysResult createNamedFile(const ResultPlace &place, const std::string &name, Handle &file)
{
    Handle created(::openat(fdOf(place.folder.handle), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!created.valid())
        return lastError();
    file = std::move(created);
    return {};
}

SysResult openForWriting(const ResultPlace &place, Handle &file)
{
    Handle opened(::openat(fdOf(place.folder.handle), place.name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!opened.valid())
        return lastError();
    struct stat info;
    if (::fstat(fdOf(opened), &info) != 0)
        return lastError();
    if (!S_ISREG(info.st_mode))
        return resultOf(EISDIR);
    file = std::move(opened);
    return {};
}

SysResult openForAttributes(const ResultPlace &place, Handle &file)
{
    // Attributes and flags are read through the descriptor itself, which one opened only for its
    // path cannot do: that one is the last resort, for a file the user may neither read nor write.
    for (const int access : {O_RDONLY, O_WRONLY, O_PATH}) {
        Handle opened(::openat(fdOf(place.folder.handle), place.name.c_str(),
                               access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (opened.valid()) {
            file = std::move(opened);
            return {};
        }
        if (errno != EACCES)
            break;
    }
    return lastError();
}

SysResult writeAll(const Handle &file, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fdOf(file), bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return lastError();
        if (count == 0)
            return resultOf(ENOSPC);
        done += std::size_t(count);
    }
    return {};
}

SysResult truncateFile(const Handle &file)
{
    return okIf(::ftruncate(fdOf(file), 0) == 0 && ::lseek(fdOf(file), 0, SEEK_SET) == 0);
}

SysResult flushFile(const Handle &file)
{
    return okIf(::fsync(fdOf(file)) == 0);
}

SysResult tryLockFile(const Handle &file)
{
    for (;;) {
        if (::flock(fdOf(file), LOCK_EX | LOCK_NB) == 0)
            return {};
        if (errno != EINTR)
            return lastError();
    }
}

SysResult nameUnnamedFile(const ResultPlace &place, const Handle &file, const std::string &name)
{
    if (::linkat(fdOf(file), "", fdOf(place.folder.handle), name.c_str(), AT_EMPTY_PATH) == 0)
        return {};
    // Without the capability that naming a descriptor needs, its magic link does it.
    if (errno != ENOENT && errno != EPERM)
        return lastError();
    if (::linkat(AT_FDCWD, procPathOf(fdOf(file)).c_str(), fdOf(place.folder.handle), name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return {};
    // Without /proc either, this kernel names no unnamed file for this user.
    return errno == ENOENT ? SysResult{SysError::NotSupported, ENOENT} : lastError();
}

SysResult renameOverResult(const ResultPlace &place, const Handle &, const std::string &from)
{
    const int dirFd = fdOf(place.folder.handle);
    return okIf(::renameat(dirFd, from.c_str(), dirFd, place.name.c_str()) == 0);
}

SysResult removeName(const ResultPlace &place, const std::string &name)
{
    return okIf(::unlinkat(fdOf(place.folder.handle), name.c_str(), 0) == 0);
}

std::uint64_t uniqueSeed()
{
    // Straight from the kernel: the library's random device is kilobytes on the stack.
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != ssize_t(sizeof random))
        random = 0;
    return random ^ std::uint64_t(::getpid()) ^ std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
}

std::uint64_t largestWritableFileSize()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return ~std::uint64_t(0);
    return std::uint64_t(limit.rlim_cur);
}
