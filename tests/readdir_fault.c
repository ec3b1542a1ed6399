// Preloaded into folderstats_test: makes the listing of any folder named "breaks-off" fail with an
// I/O error after its first entry, as a failing disk or network share would part way through.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// Lets the test see that the fault is in place, and skip when it is not.
int vuroReaddirFaultLoaded(void) { return 1; }

static int breaksOff(DIR *dir)
{
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd(dir));
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0)
        return 0;
    target[length] = '\0';
    const char *name = strrchr(target, '/');
    return name && strcmp(name, "/breaks-off") == 0;
}

// Returns the next entry; fails once the first entry other than "." and ".." has been returned.
static struct dirent *nextEntry(DIR *dir, struct dirent *(*real)(DIR *), int *seen)
{
    if (breaksOff(dir) && *seen >= 1) {
        errno = EIO;
        return NULL;
    }
    struct dirent *entry = real(dir);
    if (entry && strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        ++*seen;
    return entry;
}

static __thread int seenInCurrent;
static __thread DIR *current;

struct dirent *readdir(DIR *dir)
{
    static struct dirent *(*real)(DIR *);
    if (!real)
        real = (struct dirent * (*)(DIR *)) dlsym(RTLD_NEXT, "readdir");
    if (dir != current) {
        current = dir;
        seenInCurrent = 0;
    }
    return nextEntry(dir, real, &seenInCurrent);
}

struct dirent64 *readdir64(DIR *dir)
{
    return (struct dirent64 *)readdir(dir);
}

// A new listing may reuse the address of one just closed: start its count afresh.
int closedir(DIR *dir)
{
    static int (*real)(DIR *);
    if (!real)
        real = (int (*)(DIR *))dlsym(RTLD_NEXT, "closedir");
    if (dir == current)
        current = NULL;
    return real(dir);
}
