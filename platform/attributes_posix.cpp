#include "platform/attributes.h"
#include "platform/posix_internal.h"
#include "platform/results.h"

#include <cerrno>
#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace posix_internal;

namespace {

// The file flags a user may set on a file of their own and that say nothing of who may change it:
// immutable and append-only are the system's to refuse a replacement for, never carried.
const int CarriedFileFlags = FS_NODUMP_FL | FS_NOATIME_FL | FS_COMPR_FL | FS_NOCOMP_FL | FS_SYNC_FL | FS_DIRSYNC_FL;

// Gives the file at to the carried flags of the file at from, where the file system has flags.
SysResult copyFileFlags(int from, bool pathOnly, int to)
{
    int flags = 0;
    // A descriptor opened only for its path takes no ioctl; only the flagless go that way.
    if (pathOnly || ::ioctl(from, FS_IOC_GETFLAGS, &flags) != 0)
        return {};
    flags &= CarriedFileFlags;
    if (flags == 0)
        return {};
    int current = 0;
    if (::ioctl(to, FS_IOC_GETFLAGS, &current) != 0)
        return lastError();
    current |= flags;
    return okIf(::ioctl(to, FS_IOC_SETFLAGS, &current) == 0);
}

} // namespace

SysResult copyOwner(const FileStatus &from, const Handle &file)
{
    struct stat info;
    if (::fstat(fdOf(file), &info) != 0)
        return lastError();
    if (info.st_uid == from.owner && info.st_gid == from.group)
        return {};
    return okIf(::fchown(fdOf(file), from.owner, from.group) == 0);
}

SysResult copyPermissions(const FileStatus &from, const Handle &file)
{
    return okIf(::fchmod(fdOf(file), from.mode & 07777) == 0);
}

SysResult copyExtendedAttributes(const Handle &from, const Handle &file)
{
    const int source = fdOf(from);
    // A descriptor opened only for its path has no calls of its own: its magic link does, where
    // /proc is mounted.
    const bool pathOnly = (::fcntl(source, F_GETFL) & O_PATH) == O_PATH;
    const std::string magic = procPathOf(source);
    const auto list = [&](char *names, std::size_t size) {
        return pathOnly ? ::listxattr(magic.c_str(), names, size) : ::flistxattr(source, names, size);
    };
    const auto get = [&](const char *name, char *value, std::size_t size) {
        return pathOnly ? ::getxattr(magic.c_str(), name, value, size) : ::fgetxattr(source, name, value, size);
    };
    const ssize_t size = list(nullptr, 0);
    if (size < 0 && errno != ENOTSUP)
        return lastError();
    std::string names(std::size_t(std::max<ssize_t>(size, 0)), '\0');
    const ssize_t listed = size > 0 ? list(&names[0], names.size()) : 0;
    if (listed < 0)
        return lastError();
    names.resize(std::size_t(listed));
    for (std::size_t at = 0; at < names.size(); at += std::strlen(names.c_str() + at) + 1) {
        const char *name = names.c_str() + at;
        const ssize_t length = get(name, nullptr, 0);
        if (length < 0)
            return lastError();
        std::string value(std::size_t(length), '\0');
        const ssize_t read = get(name, &value[0], value.size());
        if (read < 0)
            return lastError();
        if (::fsetxattr(fdOf(file), name, value.data(), std::size_t(read), 0) != 0)
            return lastError();
    }
    return copyFileFlags(source, pathOnly, fdOf(file));
}

SysResult isOwnedByUser(const ResultPlace &place, bool &own)
{
    FileStatus status;
    const SysResult looked = statusOfPlace(place, status);
    own = looked.ok() && status.owner == ::geteuid();
    return looked;
}

bool hardLinksProtected()
{
    // Read through the descriptor of a file of /proc; without /proc the answer is "cannot tell".
    const Handle setting(::open("/proc/sys/fs/protected_hardlinks", O_RDONLY | O_CLOEXEC));
    char value = '0';
    return setting.valid() && ::read(fdOf(setting), &value, 1) == 1 && value != '0';
}
