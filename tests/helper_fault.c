// Preloaded into the helper by e2e_test, each fault on cue of its variable, as older systems and
// other file systems answer: VURO_FAULT_NO_TMPFILE=1 makes every open of an unnamed file fail as
// on a file system without them (EOPNOTSUPP), so the writer names a temporary;
// VURO_FAULT_FSYNC_DELAY_MS holds every flush that long first, as a slow share's would;
// VURO_FAULT_NO_OPENAT2=1 answers openat2 with ENOSYS, as kernels before 5.6 do;
// VURO_FAULT_LINKAT_EMPTY_PATH=1 refuses to name a descriptor (linkat with AT_EMPTY_PATH) with
// ENOENT, as kernels before 6.10 do for a process without CAP_DAC_READ_SEARCH;
// VURO_FAULT_NO_PROC=1 answers a link from a /proc path, and the reading of a /proc link, with
// ENOENT, as where /proc is not mounted; VURO_FAULT_SWAP_AT=NAME, at the first open of the bare
// name NAME, first renames the folder VURO_FAULT_SWAP_PATH aside and puts a link to
// VURO_FAULT_SWAP_LINK in its place, as a concurrent user would at that point;
// VURO_FAULT_HOLD_AT=NAME, at the first open of the bare name NAME, first takes a descriptor and
// gives it back 30 ms later from a thread of its own, as the C library does with a setting it reads;
// VURO_FAULT_TERM_AT=CALL (pread64, read of a chunk, getdents64, renameat or EVP_DigestUpdate)
// sends SIGTERM as that call is first made (or made once more than VURO_FAULT_TERM_AFTER=N times,
// each getdents64 then held 1 ms), to the process, or with VURO_FAULT_TERM_TO_THREAD=1 to the
// calling thread alone, =taker to the thread that takes signals, as another program would.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static int faultIsOn(const char *name)
{
    const char *setting = getenv(name);
    return setting && setting[0] == '1';
}

static int refusesUnnamed(int flags)
{
    return (flags & O_TMPFILE) == O_TMPFILE && faultIsOn("VURO_FAULT_NO_TMPFILE");
}

// The swap VURO_FAULT_SWAP_AT asks for, once, before the open of that name.
static void swapBefore(const char *path)
{
    static int done;
    const char *at = getenv("VURO_FAULT_SWAP_AT"), *folder = getenv("VURO_FAULT_SWAP_PATH"), *link = getenv("VURO_FAULT_SWAP_LINK");
    if (done || !at || !folder || !link || strcmp(path, at) != 0)
        return;
    done = 1;
    char aside[4096];
    snprintf(aside, sizeof aside, "%s.aside", folder);
    if (rename(folder, aside) == 0)
        (void)!symlink(link, folder);
}

static void *giveBack(void *fd)
{
    usleep(30 * 1000);
    close((int)(intptr_t)fd);
    return NULL;
}

// The descriptor VURO_FAULT_HOLD_AT asks for, once, before the open of that name.
static void holdBefore(const char *path)
{
    static int done;
    const char *at = getenv("VURO_FAULT_HOLD_AT");
    pthread_t thread;
    if (at && strcmp(path, at) == 0 && !__atomic_exchange_n(&done, 1, __ATOMIC_SEQ_CST) &&
        pthread_create(&thread, NULL, giveBack, (void *)(intptr_t)open("/dev/null", O_RDONLY | O_CLOEXEC)) == 0)
        pthread_detach(thread);
}

// The termination VURO_FAULT_TERM_AT asks for, once, as the call named call is made.
static pid_t taker;

static void terminateAt(const char *call)
{
    static int done, made;
    const char *at = getenv("VURO_FAULT_TERM_AT"), *after = getenv("VURO_FAULT_TERM_AFTER"), *to = getenv("VURO_FAULT_TERM_TO_THREAD");
    if (!at || strcmp(at, call) != 0)
        return;
    if (after && strcmp(call, "getdents64") == 0)
        usleep(1000);
    if ((after && __atomic_add_fetch(&made, 1, __ATOMIC_SEQ_CST) <= atoi(after)) || __atomic_exchange_n(&done, 1, __ATOMIC_SEQ_CST))
        return;
    if (to && strcmp(to, "taker") == 0) {
        // Another program reaches the taker once it is there: on a loaded machine it may not yet
        // have run (5 s at most).
        for (int waited = 0; waited < 5000 && !__atomic_load_n(&taker, __ATOMIC_SEQ_CST); ++waited)
            usleep(1000);
        syscall(SYS_tgkill, getpid(), __atomic_load_n(&taker, __ATOMIC_SEQ_CST), SIGTERM);
    } else if (faultIsOn("VURO_FAULT_TERM_TO_THREAD"))
        syscall(SYS_tgkill, getpid(), (pid_t)syscall(SYS_gettid), SIGTERM);
    else
        kill(getpid(), SIGTERM);
}

// The thread that takes signals is the one that waits for them.
int sigwaitinfo(const sigset_t *set, siginfo_t *info)
{
    __atomic_store_n(&taker, (pid_t)syscall(SYS_gettid), __ATOMIC_SEQ_CST);
    return ((int (*)(const sigset_t *, siginfo_t *))dlsym(RTLD_NEXT, "sigwaitinfo"))(set, info);
}

// Each call VURO_FAULT_TERM_AT may name: the termination first, then the call itself. A read counts
// as one of a file's chunks, not one of the libraries' small reads of their own.
#define TERMINATING_CALL(type, name, when, parameters, arguments)                               \
    type name parameters                                                                        \
    {                                                                                           \
        if (when)                                                                               \
            terminateAt(#name);                                                                 \
        return ((type(*) parameters)dlsym(RTLD_NEXT, #name)) arguments;                         \
    }
TERMINATING_CALL(ssize_t, pread64, 1, (int fd, void *buffer, size_t size, off_t offset), (fd, buffer, size, offset))
TERMINATING_CALL(ssize_t, read, size >= 64 * 1024, (int fd, void *buffer, size_t size), (fd, buffer, size))
TERMINATING_CALL(ssize_t, getdents64, 1, (int fd, void *buffer, size_t size), (fd, buffer, size))
TERMINATING_CALL(int, renameat, 1, (int fromFd, const char *from, int toFd, const char *to), (fromFd, from, toFd, to))
TERMINATING_CALL(int, EVP_DigestUpdate, 1, (void *context, const void *data, size_t count), (context, data, count))

ssize_t pread(int fd, void *buffer, size_t size, off_t offset)
{
    return pread64(fd, buffer, size, offset);
}

static int openatWith(const char *symbol, int dirFd, const char *path, int flags, mode_t mode)
{
    swapBefore(path);
    holdBefore(path);
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

long syscall(long number, ...)
{
    va_list arguments;
    va_start(arguments, number);
    long values[6];
    for (int i = 0; i < 6; ++i)
        values[i] = va_arg(arguments, long);
    va_end(arguments);
#ifdef SYS_openat2
    if (number == SYS_openat2 && faultIsOn("VURO_FAULT_NO_OPENAT2")) {
        errno = ENOSYS;
        return -1;
    }
#endif
    long (*real)(long, ...) = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    return real(number, values[0], values[1], values[2], values[3], values[4], values[5]);
}

int linkat(int fromFd, const char *from, int toFd, const char *to, int flags)
{
    if (((flags & AT_EMPTY_PATH) && faultIsOn("VURO_FAULT_LINKAT_EMPTY_PATH")) ||
        (strncmp(from, "/proc/", 6) == 0 && faultIsOn("VURO_FAULT_NO_PROC"))) {
        errno = ENOENT;
        return -1;
    }
    int (*real)(int, const char *, int, const char *, int) = (int (*)(int, const char *, int, const char *, int))dlsym(RTLD_NEXT, "linkat");
    return real(fromFd, from, toFd, to, flags);
}

ssize_t readlink(const char *path, char *buffer, size_t size)
{
    if (strncmp(path, "/proc/", 6) == 0 && faultIsOn("VURO_FAULT_NO_PROC")) {
        errno = ENOENT;
        return -1;
    }
    ssize_t (*real)(const char *, char *, size_t) = (ssize_t (*)(const char *, char *, size_t))dlsym(RTLD_NEXT, "readlink");
    return real(path, buffer, size);
}
