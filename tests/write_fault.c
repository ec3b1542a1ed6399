// Preloaded into the helper by e2e_test: VURO_FAULT_NO_TMPFILE=1 makes every open of an unnamed
// file fail as on a file system without them (EOPNOTSUPP), so the writer names a temporary;
// VURO_FAULT_FSYNC_DELAY_MS holds every flush that long first, as a slow share's would.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

static int refusesUnnamed(int flags)
{
    const char *setting = getenv("VURO_FAULT_NO_TMPFILE");
    return (flags & O_TMPFILE) == O_TMPFILE && setting && setting[0] == '1';
}

static int openatWith(const char *symbol, int dirFd, const char *path, int flags, mode_t mode)
{
    if (refusesUnnamed(flags)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    int (*real)(int, const char *, int, ...) = (int (*)(int, const char *, int, ...))dlsym(RTLD_NEXT, symbol);
    return real(dirFd, path, flags, mode);
}

int openat(int dirFd, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    return openatWith("openat", dirFd, path, flags, mode);
}

int openat64(int dirFd, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(arguments, mode_t) : 0;
    va_end(arguments);
    return openatWith("openat64", dirFd, path, flags, mode);
}

int fsync(int fd)
{
    const char *delay = getenv("VURO_FAULT_FSYNC_DELAY_MS");
    if (delay) {
        const long ms = atol(delay);
        struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    return real(fd);
}
