#include "platform.h"

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <spawn.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

SysResult lastError()
{
    return resultOf(errno);
}

SysResult okIf(bool done)
{
    return done ? SysResult{} : lastError();
}

int fdOf(const Handle &handle)
{
    return int(handle.get());
}

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

// The magic link through which the system reaches an open descriptor's file.
std::string procPathOf(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

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

// The same in one open that may follow a link on the way, checked afterwards by looking up through
// "..", which follows no link: each folder on the way must be the entry of its name in its real
// parent, up to dirFd's own folder; a link on the way is ELOOP. One descriptor however deep, where
// name by name takes two at a time. -2, with nothing opened, where the check's own path would pass
// the lookup limit.
int openCheckedBeneath(int dirFd, const std::string &relative)
{
    std::vector<std::string> names;
    if (!namesBelow(relative, names))
        return -1;
    // The longest lookup of the check: "../" once for each name from it to the last, then the name.
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (3 * (names.size() - i) + names[i].size() >= LookupLimit)
            return -2;
    }
    const int fd = ::openat(dirFd, relative.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    FileStatus below, parent, entry, start;
    bool beneath = statusAtFd(fd, "", AT_EMPTY_PATH, below).ok();
    std::string up;
    for (std::size_t i = names.size(); beneath && i-- > 0;) {
        up += "../";
        beneath = statusAtFd(fd, up.c_str(), 0, parent).ok() && statusAtFd(fd, (up + names[i]).c_str(), AT_SYMLINK_NOFOLLOW, entry).ok() &&
                  isSameFile(entry.identity, below.identity);
        below = parent;
    }
    if (!beneath || !statusAtFd(dirFd, "", AT_EMPTY_PATH, start).ok() || !isSameFile(start.identity, below.identity)) {
        ::close(fd);
        errno = ELOOP;
        return -1;
    }
    return fd;
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
    fd = openCheckedBeneath(dirFd, piece);
    if (fd == -2) {
        // Too deep for the check: as short of file handles as name by name was.
        errno = EMFILE;
        return -1;
    }
    return fd;
}

std::size_t pieceEnd(const std::string &relative, std::size_t begin)
{
    if (relative.size() - begin < LookupLimit)
        return relative.size();
    const std::size_t slash = relative.rfind('/', begin + LookupLimit - 1);
    return slash == std::string::npos || slash <= begin ? relative.size() : slash;
}

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

// The signals that end the process and that it takes on the waiting thread, and the one with
// which the mode's thread says it is done.
const int TerminationSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
int doneSignal()
{
    return SIGRTMIN;
}

// Ends the process by signal, as it would have ended had the signal not been taken.
[[noreturn]] void endBySignal(int signal)
{
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    ::sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::raise(signal);
    // Raised to this thread while blocked: it ends the process the moment it is unblocked.
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::_exit(128 + signal);
}

} // namespace

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

SysResult statusOfHandle(const Handle &handle, FileStatus &status)
{
    struct stat info;
    if (::fstat(fdOf(handle), &info) != 0)
        return lastError();
    fillStatus(info, status);
    return {};
}

SysResult statusOfPath(const std::string &path, bool followLinks, FileStatus &status)
{
    return statusAtFd(AT_FDCWD, path.c_str(), followLinks ? 0 : AT_SYMLINK_NOFOLLOW, status);
}

SysResult openForReading(const std::string &path, Handle &file)
{
    // Non-blocking, so that a FIFO put in the file's place cannot hold the open.
    Handle opened(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!opened.valid())
        return lastError();
    ::fcntl(fdOf(opened), F_SETFL, O_RDONLY);
    ::posix_fadvise(fdOf(opened), 0, 0, POSIX_FADV_SEQUENTIAL);
    file = std::move(opened);
    return {};
}

SysResult readChunk(const Handle &file, char *buffer, std::size_t size, std::size_t &count)
{
    for (;;) {
        const ssize_t read = ::read(fdOf(file), buffer, size);
        if (read >= 0) {
            count = std::size_t(read);
            return {};
        }
        if (errno != EINTR)
            return lastError();
    }
}

SysResult openStartFolder(const std::string &path, OpenFolder &folder)
{
    Handle opened(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOCTTY | O_CLOEXEC));
    if (!opened.valid())
        return lastError();
    folder.handle = std::move(opened);
    folder.path = path;
    return {};
}

SysResult openSubfolder(const OpenFolder &start, const std::string &relative, OpenFolder &folder)
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
            return resultOf(error);
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

ListingBuffer makeListingBuffer()
{
    return ListingBuffer(32 * 1024 / sizeof(std::uint64_t));
}

SysResult listFolder(const OpenFolder &folder, ListingBuffer &records, const std::function<void(const FolderEntry &)> &visit)
{
    char *const buffer = reinterpret_cast<char *>(records.data());
    FolderEntry entry;
    for (;;) {
        const ssize_t count = ::getdents64(fdOf(folder.handle), buffer, records.size() * sizeof records[0]);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return lastError();
        if (count == 0)
            return {};
        for (ssize_t offset = 0; offset < count;) {
            const auto *record = reinterpret_cast<const struct dirent64 *>(buffer + offset);
            offset += record->d_reclen;
            const char *name = record->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            entry.name.assign(name);
            entry.sized = false;
            entry.size = 0;
            switch (record->d_type) {
            case DT_DIR: entry.type = EntryType::Folder; break;
            case DT_REG: entry.type = EntryType::Regular; break;
            case DT_LNK: entry.type = EntryType::Link; break;
            case DT_UNKNOWN: entry.type = EntryType::Unknown; break;
            default: entry.type = EntryType::Other; break;
            }
            visit(entry);
        }
    }
}

SysResult statusAt(const OpenFolder &folder, const std::string &name, bool followLinks, FileStatus &status)
{
    return statusAtFd(fdOf(folder.handle), name.c_str(), followLinks ? 0 : AT_SYMLINK_NOFOLLOW, status);
}

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

bool runsElevated()
{
    return ::geteuid() == 0;
}

std::uint64_t uniqueSeed()
{
    // Straight from the kernel: the library's random device is kilobytes on the stack.
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != ssize_t(sizeof random))
        random = 0;
    return random ^ std::uint64_t(::getpid()) ^ std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
}

void sleepMilliseconds(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
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

std::vector<std::string> commandLineArguments(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

std::string ownProgramFolder()
{
    std::string self(PATH_MAX, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", &self[0], self.size() - 1);
    if (length <= 0)
        return std::string();
    self.resize(std::size_t(length));
    return self.substr(0, self.rfind('/') + 1);
}

std::vector<std::string> programSearchFolders()
{
    std::vector<std::string> folders;
    const char *path = std::getenv("PATH");
    std::string rest = path ? path : "";
    for (std::size_t colon; !rest.empty(); rest = colon == std::string::npos ? std::string() : rest.substr(colon + 1)) {
        colon = rest.find(':');
        folders.push_back(rest.substr(0, colon));
    }
    return folders;
}

bool isAbsolutePath(const std::string &path)
{
    return !path.empty() && path.front() == '/';
}

bool isProgramFile(const std::string &path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool startDetached(const std::string &path)
{
    const std::string folder = path.substr(0, std::max<std::size_t>(path.rfind('/'), 1));
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return false;
    bool started = false;
    if (posix_spawnattr_init(&attributes) == 0) {
        char *const argv[] = {const_cast<char *>(path.c_str()), nullptr};
        sigset_t everySignal, none;
        // Every bit, the C library's own signals among them: those its sigfillset leaves out
        // would otherwise reach the viewer ignored.
        std::memset(&everySignal, 0xff, sizeof everySignal);
        sigemptyset(&none);
        pid_t pid;
        // Nothing of the helper's goes with the viewer: not a descriptor its caller gave it (a
        // pipe whose reader waits for its end), not an ignored or blocked signal, not the current
        // folder (which keeps a volume busy).
        started = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0) == 0 &&
                  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0) == 0 &&
                  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0) == 0 &&
                  posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
                  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str()) == 0 &&
                  posix_spawnattr_setsigdefault(&attributes, &everySignal) == 0 &&
                  posix_spawnattr_setsigmask(&attributes, &none) == 0 &&
                  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0 &&
                  posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, environ) == 0;
        posix_spawnattr_destroy(&attributes);
    }
    posix_spawn_file_actions_destroy(&actions);
    return started;
}

std::uint64_t largestWritableFileSize()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return ~std::uint64_t(0);
    return std::uint64_t(limit.rlim_cur);
}

void prepareSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

void runUntilTerminated(std::size_t stackBytes, const std::function<void()> &work, TerminationGate &gate)
{
    sigset_t before, taken, waited;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &before);
    sigemptyset(&taken);
    for (const int signal : TerminationSignals) {
        // A signal the caller had ignored or blocked stays so, as the shell's background jobs rely on.
        struct sigaction was;
        if (::sigaction(signal, nullptr, &was) == 0 && was.sa_handler != SIG_IGN && !sigismember(&before, signal))
            sigaddset(&taken, signal);
    }
    waited = taken;
    sigaddset(&waited, doneSignal());
    // Blocked before the mode's thread starts, so that it and every thread it starts inherit the
    // mask and only this thread ever takes them, synchronously: no handler runs beside a write.
    ::pthread_sigmask(SIG_BLOCK, &waited, &before);
    std::atomic<bool> done{false};
    const pthread_t waiter = ::pthread_self();
    const std::function<void()> run = [&] {
        work();
        done.store(true);
        ::pthread_kill(waiter, doneSignal());
    };
    NativeHandle thread;
    if (!startThread(stackBytes, &run, thread)) {
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        work();
        return;
    }
    // The mode's thread wakes this one when done; should its signal be lost (a full signal queue,
    // a thread number the system never gave), the done flag is still looked at now and then.
    const struct timespec lookAgain = {0, 250 * 1000 * 1000};
    while (!done.load()) {
        siginfo_t info;
        const int signal = ::sigtimedwait(&waited, &info, &lookAgain);
        if (signal > 0 && sigismember(&taken, signal)) {
            // A report of at most 64 KiB is written in milliseconds; a step that hangs on a dead
            // share does not keep the process alive past the bound.
            gate.waitForSteps(std::chrono::seconds(10));
            endBySignal(signal);
        }
    }
    joinThread(thread);
}

void keepStandardStreamsOpen()
{
    for (int stream = 0; stream <= 2; ++stream) {
        if (::fcntl(stream, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free number is this one. Without the null device (a bare container), a
        // folder holds the number: a write to it fails, as one to a closed stream does.
        if (::open("/dev/null", stream == 0 ? O_RDONLY : O_WRONLY) < 0)
            ::open("/", O_RDONLY | O_DIRECTORY);
    }
}

void showFilesAsStored()
{
    // Files here are what their listing says they are.
}

void restrictLibrarySearch()
{
    // Libraries are found by the dynamic linker's own rules, which a program's folder is no part of.
}

bool startThread(std::size_t stackBytes, const std::function<void()> *work, NativeHandle &thread)
{
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    auto run = [](void *argument) -> void * {
        (*static_cast<const std::function<void()> *>(argument))();
        return nullptr;
    };
    pthread_t started;
    const bool done = pthread_attr_setstacksize(&attributes, stackBytes) == 0 &&
                      pthread_create(&started, &attributes, run, const_cast<std::function<void()> *>(work)) == 0;
    pthread_attr_destroy(&attributes);
    if (done)
        thread = NativeHandle(started);
    return done;
}

void joinThread(NativeHandle thread)
{
    pthread_join(pthread_t(thread), nullptr);
}

std::size_t level2CacheBytes()
{
    const long bytes = ::sysconf(_SC_LEVEL2_CACHE_SIZE);
    return bytes > 0 ? std::size_t(bytes) : 0;
}

DigestState::~DigestState()
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(context_));
}

SysResult DigestState::start(DigestAlgorithm algorithm)
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    if (!context)
        return {SysError::OutOfMemory, ENOMEM};
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(context_));
    context_ = context;
    if (!EVP_DigestInit_ex(context, algorithm == DigestAlgorithm::Md5 ? EVP_md5() : EVP_sha1(), nullptr))
        return {SysError::Other, EINVAL};
    return {};
}

SysResult DigestState::add(const char *bytes, std::size_t size)
{
    if (!context_ || !EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(context_), bytes, size))
        return {SysError::Other, EINVAL};
    return {};
}

SysResult DigestState::finish(std::string &value)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    const bool done = context_ && EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(context_), digest, &size);
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(context_));
    context_ = nullptr;
    if (!done)
        return {SysError::Other, EINVAL};
    value.assign(reinterpret_cast<const char *>(digest), size);
    return {};
}
