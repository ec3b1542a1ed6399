#include "platform/posix_internal.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

EntryType typeOfMode(mode_t mode)
{
    if (S_ISDIR(mode))
        return EntryType::Folder;
    if (S_ISREG(mode))
        return EntryType::Regular;
    if (S_ISLNK(mode))
        return EntryType::Link;
    return EntryType::Other;
}

} // namespace

namespace posix_internal {

void fillStatus(const struct stat &info, FileStatus &status)
{
    status.type = typeOfMode(info.st_mode);
    status.identity = makeFileIdentity(std::uint64_t(info.st_dev), 0, std::uint64_t(info.st_ino));
    status.size = info.st_size > 0 ? std::uint64_t(info.st_size) : 0;
    status.modified = std::int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    status.changed = std::int64_t(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    status.links = std::uint32_t(info.st_nlink);
    status.mode = std::uint32_t(info.st_mode);
    status.owner = std::uint32_t(info.st_uid);
    status.group = std::uint32_t(info.st_gid);
}

SysResult statusAtFd(int dirFd, const char *name, int flags, FileStatus &status)
{
    struct stat info;
    if (::fstatat(dirFd, name, &info, flags) != 0)
        return lastError();
    fillStatus(info, status);
    return {};
}

std::string procPathOf(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

bool readLinkText(const std::string &path, std::string &text)
{
    text.assign(PATH_MAX, '\0');
    const ssize_t length = ::readlink(path.c_str(), &text[0], text.size());
    if (length <= 0 || std::size_t(length) >= text.size())
        return false;
    text.resize(std::size_t(length));
    return true;
}

} // namespace posix_internal

const char PathSeparators[] = "/";

SysError errorKindOf(long code)
{
    switch (code) {
    case 0: return SysError::None;
    case ENOENT: return SysError::Missing;
    case EACCES:
    case EPERM: return SysError::Denied;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK: return SysError::Locked;
    case EEXIST: return SysError::Exists;
    case ENOTDIR: return SysError::NotAFolder;
    case ENAMETOOLONG: return SysError::NameTooLong;
    case EMFILE:
    case ENFILE: return SysError::OutOfHandles;
    case ENOMEM: return SysError::OutOfMemory;
    case EROFS: return SysError::ReadOnly;
    case EOPNOTSUPP:
    case ESPIPE:
    case ENOSYS: return SysError::NotSupported;
    case ESTALE:
    case ENXIO:
    case ENODEV:
    case ENOTCONN:
    case ECONNABORTED: return SysError::Gone;
    default: return SysError::Other;
    }
}

std::string errorTextOf(long code)
{
    char buffer[256];
    return ::strerror_r(int(code), buffer, sizeof buffer);
}

void closeNativeHandle(NativeHandle handle)
{
    ::close(int(handle));
}
