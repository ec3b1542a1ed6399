#include "platform/files.h"
#include "platform/posix_internal.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace posix_internal;

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

SysResult readChunkAt(const Handle &file, std::uint64_t offset, char *buffer, std::size_t size, std::size_t &count)
{
    for (;;) {
        const ssize_t read = ::pread(fdOf(file), buffer, size, off_t(offset));
        if (read >= 0) {
            count = std::size_t(read);
            return {};
        }
        if (errno != EINTR)
            return lastError();
    }
}

SysResult watchForChanges(const Handle &file, Handle &watch)
{
    Handle notify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!notify.valid())
        return lastError();
    // Through the descriptor's magic link: the file as opened, whatever names it now.
    if (::inotify_add_watch(fdOf(notify), procPathOf(fdOf(file)).c_str(), IN_MODIFY) < 0)
        return lastError();
    watch = std::move(notify);
    return {};
}

SysResult hasChangedSince(const Handle &watch, bool &changed)
{
    // Any event at all: a write, a truncation, or a queue that overflowed.
    alignas(struct inotify_event) char events[4096];
    for (;;) {
        const ssize_t count = ::read(fdOf(watch), events, sizeof events);
        if (count >= 0 || errno == EAGAIN) {
            changed = count > 0;
            return {};
        }
        if (errno != EINTR)
            return lastError();
    }
}

SysResult stopWatching(const Handle &watch)
{
    // The instance's one watch: the kernel numbers an instance's watches from 1.
    if (::inotify_rm_watch(fdOf(watch), 1) != 0)
        return lastError();
    return {};
}
