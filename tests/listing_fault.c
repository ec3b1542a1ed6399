// Preloaded into folderstats_test: makes the listing of any folder named "breaks-off" fail with an
// I/O error after its first entry, as a failing disk or network share would part way through, and
// of one named "fails-at-once" at its first read; and
// the listing of a folder whose name starts with "hangs" wait 12 s first, as a share that stopped
// answering for a while would, and of one whose name starts with "slow" 2.2 s, as a large folder
// on a slow share takes.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// Lets the test see that the fault is in place, and skip when it is not.
int vuroListingFaultLoaded(void) { return 1; }

// The last name of the folder open as fd, or NULL.
static const char *folderName(int fd, char *target, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, size - 1);
    if (length < 0)
        return NULL;
    target[length] = '\0';
    const char *name = strrchr(target, '/');
    return name ? name + 1 : NULL;
}

static int breaksOff(int fd)
{
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0)
        return 0;
    target[length] = '\0';
    const char *name = strrchr(target, '/');
    return name && strcmp(name, "/breaks-off") == 0;
}

static int isDot(const char *name)
{
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// The first call of a listing hands back the records up to the first entry other than "." and
// ".."; every later call of that listing (its position moved on) fails.
ssize_t getdents64(int fd, void *buffer, size_t length)
{
    static ssize_t (*real)(int, void *, size_t);
    if (!real)
        real = (ssize_t(*)(int, void *, size_t))dlsym(RTLD_NEXT, "getdents64");
    char target[PATH_MAX];
    const char *name = folderName(fd, target, sizeof target);
    if (name && strncmp(name, "hangs", 5) == 0 && lseek(fd, 0, SEEK_CUR) == 0)
        sleep(12);
    if (name && strncmp(name, "slow", 4) == 0 && lseek(fd, 0, SEEK_CUR) == 0)
        usleep(2200 * 1000);
    if (name && strcmp(name, "fails-at-once") == 0) {
        errno = EIO;
        return -1;
    }
    if (!breaksOff(fd))
        return real(fd, buffer, length);
    if (lseek(fd, 0, SEEK_CUR) != 0) {
        errno = EIO;
        return -1;
    }
    const ssize_t count = real(fd, buffer, length);
    if (count <= 0)
        return count;
    for (ssize_t offset = 0; offset < count;) {
        const struct dirent64 *record = (const struct dirent64 *)((const char *)buffer + offset);
        offset += record->d_reclen;
        if (!isDot(record->d_name))
            return offset;
    }
    return count;
}
