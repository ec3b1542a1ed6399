#include "platform.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

#include <dirent.h>
#include <openssl/evp.h>
#include <pthread.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The most links the system follows in one lookup (Linux's limit; POSIX asks for at least 8).
const int MaxLinksFollowed = 40;

// Running out of memory is no failure of one file or folder: the whole mode is then cut short.
void throwIfOutOfMemory(int error)
{
    if (error == ENOMEM)
        throw std::bad_alloc();
}

bool isOutOfHandles(int error)
{
    return error == EMFILE || error == ENFILE;
}

// The standard library's wording of a filesystem error: "filesystem error: WHAT: REASON [PATH]".
std::string failureText(const char *what, const std::string &path, int error)
{
    return fs::filesystem_error(what, fs::path(path), std::error_code(error, std::generic_category())).what();
}

FileIdentity identityOfStatus(const struct stat &info)
{
    return makeFileIdentity(std::uint64_t(info.st_dev), 0, std::uint64_t(info.st_ino));
}

// Sorts the reason a folder could not be opened: its own (closed, gone, no folder any more) or
// not (out of handles, an I/O error). With followLink off, a link in its place is no folder.
ListingEnd openFailure(const std::string &folder, bool followLink, int error, std::string &failure)
{
    throwIfOutOfMemory(error);
    ListingEnd end = ListingEnd::OpenFailed;
    switch (error) {
    case EACCES:
    case EPERM:
        return ListingEnd::Closed;
    case ENOENT:
    case ENAMETOOLONG:
        return ListingEnd::Gone;
    case ENOTDIR:
    case ELOOP:
        end = followLink ? ListingEnd::Gone : ListingEnd::NotAFolder;
        break;
    default:
        if (isOutOfHandles(error))
            end = ListingEnd::Exhausted;
        break;
    }
    failure = failureText("directory iterator cannot open directory", folder, error);
    return end;
}

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Sizes entry from a status already taken; anything but a regular file gets the failure text.
void sizeFromStatus(const struct stat &info, const std::string &path, ListedEntry &entry)
{
    if (S_ISREG(info.st_mode))
        entry.size = std::uint64_t(info.st_size);
    else
        entry.failure = failureText("cannot get file size", path, S_ISDIR(info.st_mode) ? EISDIR : EOPNOTSUPP);
}

// Sizes the entry name of the open folder dirFd as the file it is or leads to (follow) or is
// itself. Relative to the open folder, so the system does not walk the whole path again. Returns
// false, with the failure text, when the system ran out of file handles.
bool sizeEntry(int dirFd, const char *name, const std::string &prefix, int flags, ListedEntry &entry)
{
    struct stat info;
    if (::fstatat(dirFd, name, &info, flags) != 0) {
        const int error = errno;
        throwIfOutOfMemory(error);
        entry.failure = failureText("cannot get file size", prefix + name, error);
        return !isOutOfHandles(error);
    }
    if (S_ISLNK(info.st_mode))
        return sizeEntry(dirFd, name, prefix, 0, entry);
    if (S_ISDIR(info.st_mode) && (flags & AT_SYMLINK_NOFOLLOW)) {
        entry.isFolder = true;
        entry.path.assign(prefix).append(name);
        return true;
    }
    sizeFromStatus(info, prefix + name, entry);
    return true;
}

// Types one listed entry from the listing's own type, without following links; an entry the
// listing left untyped costs one status query of the entry itself, which also sizes a file.
// Returns false, with the failure text, when the system ran out of file handles.
bool fillEntry(int dirFd, const dirent &item, const std::string &prefix, ListedEntry &entry)
{
    clearListedEntry(entry);
    if (item.d_type == DT_DIR) {
        entry.isFolder = true;
        entry.path.assign(prefix).append(item.d_name);
        return true;
    }
    // A regular file is sized as itself; only a link is followed, and an untyped entry is looked at
    // as itself first, which sizes it when it is a file.
    return sizeEntry(dirFd, item.d_name, prefix, item.d_type == DT_LNK ? 0 : AT_SYMLINK_NOFOLLOW, entry);
}

struct DirCloser {
    void operator()(DIR *dir) const { ::closedir(dir); }
};

std::string folderOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool writeAll(int fd, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += std::size_t(count);
    }
    return true;
}

// A removal that fails once (an interrupted or flaky call) is tried again, so no temporary
// file is left behind for that.
void removeTemporary(const std::string &path)
{
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        ::unlink(path.c_str());
}

// Creates a new file under a short name of the helper's own in folder, which fits beside any name
// the folder takes. Returns its descriptor, or -1 with errno set.
int createTemporary(const std::string &folder, std::string &name)
{
    static const char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::minstd_rand random(unsigned(::getpid()) ^ unsigned(std::chrono::steady_clock::now().time_since_epoch().count()));
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = folder + "/.vuro-";
        for (int i = 0; i < 6; ++i)
            name += Letters[random() % (sizeof Letters - 1)];
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Writes bytes over the existing file at path, under an exclusive lock held from the truncation
// to the last byte, so helpers writing at once leave one whole report. A write that fails leaves
// the file empty, never part of a report.
FileOutcome writeInPlace(const std::string &path, const std::string &bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return FileOutcome::Failed;
    struct stat info;
    bool done = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    while (done && ::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            done = false;
    }
    done = done && ::ftruncate(fd, 0) == 0;
    if (done && !writeAll(fd, bytes)) {
        done = false;
        if (::ftruncate(fd, 0) != 0)
            ::ftruncate(fd, 0);
    }
    if (::close(fd) != 0)
        done = false;
    return done ? FileOutcome::Done : FileOutcome::Failed;
}

// Reasons a folder takes no new file, or a file may not be replaced, that leave writing in place.
bool refusesNewFile(int error)
{
    return error == EACCES || error == EPERM || error == EROFS || error == ENAMETOOLONG;
}

bool refusesRename(int error)
{
    return error == EBUSY || error == EACCES || error == EPERM || error == ETXTBSY;
}

// Writes bytes to a new temporary file beside path and renames it over path. Returns Done, Failed,
// or Refused when the folder takes no new file or the rename is refused (nothing left behind).
FileOutcome writeBeside(const std::string &path, const std::string &bytes, const struct stat *existing)
{
    std::string temporary;
    const int fd = createTemporary(folderOf(path), temporary);
    if (fd < 0)
        return refusesNewFile(errno) ? FileOutcome::Refused : FileOutcome::Failed;
    bool done = writeAll(fd, bytes);
    // The user's permissions on the earlier file stay with the new one.
    if (done && existing)
        done = ::fchmod(fd, existing->st_mode & 07777) == 0;
    done = done && ::fsync(fd) == 0;
    done = ::close(fd) == 0 && done;
    if (!done) {
        removeTemporary(temporary);
        return FileOutcome::Failed;
    }
    // A rename refused for a moment (the file held or swapped by someone else) is tried again.
    for (int delayMs : {0, 20, 40, 80, 160}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        if (::rename(temporary.c_str(), path.c_str()) == 0)
            return FileOutcome::Done;
        if (!refusesRename(errno))
            break;
    }
    const bool refused = refusesRename(errno);
    removeTemporary(temporary);
    return refused ? FileOutcome::Refused : FileOutcome::Failed;
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

void runOnThreads(int extraThreads, std::size_t stackBytes, const std::function<void()> &work)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stackBytes);
    std::vector<pthread_t> threads;
    auto run = [](void *argument) -> void * {
        (*static_cast<const std::function<void()> *>(argument))();
        return nullptr;
    };
    for (int i = 0; i < extraThreads; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, &attributes, run, const_cast<std::function<void()> *>(&work)) == 0)
            threads.push_back(thread);
    }
    pthread_attr_destroy(&attributes);
    work();
    for (pthread_t thread : threads)
        pthread_join(thread, nullptr);
}

void startDigest(DigestAlgorithm algorithm, RunningDigest &digest)
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    if (!context || !EVP_DigestInit_ex(context, algorithm == DigestAlgorithm::Md5 ? EVP_md5() : EVP_sha1(), nullptr)) {
        EVP_MD_CTX_free(context);
        throw std::bad_alloc();
    }
    digest.context = context;
}

void addToDigest(RunningDigest &digest, const char *bytes, std::size_t size)
{
    EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(digest.context), bytes, size);
}

std::string finishDigest(RunningDigest &digest)
{
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(digest.context), value, &size);
    discardDigest(digest);
    return std::string(reinterpret_cast<const char *>(value), size);
}

void discardDigest(RunningDigest &digest)
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(digest.context));
    digest.context = nullptr;
}

FileOutcome openReadFile(const std::string &pathUtf8, InputFile &file)
{
    // Non-blocking, so that a FIFO put in the file's place cannot hold the open.
    const int fd = ::open(pathUtf8.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throwIfOutOfMemory(errno);
        return errno == EACCES || errno == EPERM ? FileOutcome::Refused : FileOutcome::Failed;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return FileOutcome::Failed;
    }
    ::fcntl(fd, F_SETFL, O_RDONLY);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    file.handle = fd;
    file.identity = identityOfStatus(info);
    return FileOutcome::Done;
}

std::int64_t readFileChunk(const InputFile &file, char *buffer, std::size_t size)
{
    for (;;) {
        const ssize_t count = ::read(int(file.handle), buffer, size);
        if (count >= 0)
            return count;
        if (errno == EINTR)
            continue;
        throwIfOutOfMemory(errno);
        return -1;
    }
}

void closeReadFile(InputFile &file)
{
    if (file.handle >= 0)
        ::close(int(file.handle));
    file.handle = -1;
}

FileOutcome identityOfPath(const std::string &pathUtf8, FileIdentity &identity)
{
    struct stat info;
    if (::stat(pathUtf8.c_str(), &info) != 0)
        return errno == ENOENT ? FileOutcome::Refused : FileOutcome::Failed;
    identity = identityOfStatus(info);
    return FileOutcome::Done;
}

bool resolveResultPath(const std::string &pathUtf8, std::string &resolved)
{
    std::string path = pathUtf8;
    for (int links = 0; links <= MaxLinksFollowed; ++links) {
        // The system resolves the folders on the way, ".." after a link included.
        char *folder = ::realpath(folderOf(path).c_str(), nullptr);
        if (!folder)
            return false;
        const std::string base = std::string(folder) == "/" ? "" : std::string(folder);
        std::free(folder);
        const std::string candidate = base + "/" + nameOf(path);
        struct stat info;
        if (::lstat(candidate.c_str(), &info) != 0) {
            if (errno != ENOENT)
                return false;
            resolved = candidate;
            return true;
        }
        if (!S_ISLNK(info.st_mode)) {
            resolved = candidate;
            return true;
        }
        std::string target(std::size_t(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
        const ssize_t length = ::readlink(candidate.c_str(), &target[0], target.size());
        if (length <= 0 || std::size_t(length) >= target.size())
            return false;
        target.resize(std::size_t(length));
        // A relative link is read from the folder that holds it.
        path = target.front() == '/' ? target : base + "/" + target;
    }
    return false;
}

FileOutcome replaceFileContent(const std::string &pathUtf8, const std::string &bytes)
{
    struct stat info;
    const bool exists = ::lstat(pathUtf8.c_str(), &info) == 0;
    if (!exists && errno != ENOENT)
        return FileOutcome::Failed;
    // Opening a FIFO for writing would block until some reader appears, and a device is no
    // place for a report: only a regular file, or a new one, is written.
    if (exists && !S_ISREG(info.st_mode))
        return FileOutcome::Refused;
    const FileOutcome outcome = writeBeside(pathUtf8, bytes, exists ? &info : nullptr);
    if (outcome != FileOutcome::Refused)
        return outcome;
    return exists ? writeInPlace(pathUtf8, bytes) : FileOutcome::Failed;
}

ListingEnd listFolder(const std::string &folder, bool followLink,
                      const std::function<bool(const FileIdentity &)> &enter,
                      const std::function<void(const ListedEntry &)> &visit, std::string &failure)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW);
    const int fd = ::open(folder.c_str(), flags);
    if (fd < 0)
        return openFailure(folder, followLink, errno, failure);
    const std::unique_ptr<DIR, DirCloser> dir(::fdopendir(fd));
    if (!dir) {
        const int error = errno;
        ::close(fd);
        return openFailure(folder, followLink, error, failure);
    }
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return openFailure(folder, followLink, errno, failure);
    if (!enter(identityOfStatus(info)))
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
        if (!fillEntry(fd, *item, prefix, entry)) {
            failure = entry.failure;
            return ListingEnd::Exhausted;
        }
        visit(entry);
    }
    // readdir returns null with errno untouched at the end, and sets it when the listing fails.
    const int error = errno;
    throwIfOutOfMemory(error);
    if (error != 0) {
        failure = failureText("directory iterator cannot advance", folder, error);
        return isOutOfHandles(error) ? ListingEnd::Exhausted : ListingEnd::BrokeOff;
    }
    return ListingEnd::Complete;
}
