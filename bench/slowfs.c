// A file system that answers slowly, as a network share does: a read-only passthrough of a source
// folder that waits a fixed time (1 ms unless given) before every request it answers, and lists
// folders without entry types, so that each entry costs its own status query. Its times are whole
// seconds, as through sshfs. A file whose name begins "short-" states a size of at most 10 bytes
// while its reads give all of it (opened for direct reads, as a file system that cannot know the
// size ahead does); one whose name begins "noseek-" cannot be read at an offset (opened
// non-seekable, as a stream's is).
//
// Usage: slowfs SOURCE MOUNTPOINT [DELAY_MICROSECONDS]   (then: fusermount3 -u MOUNTPOINT)
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

static const char *source;
static useconds_t delay = 1000;

// The source path of a path in the mount, after the request's wait.
static const char *answer(const char *path, char *out)
{
    usleep(delay);
    snprintf(out, PATH_MAX, "%s%s", source, path);
    return out;
}

// True when the last name of path begins with prefix.
static int namedAs(const char *path, const char *prefix)
{
    const char *name = strrchr(path, '/');
    return strncmp(name ? name + 1 : path, prefix, strlen(prefix)) == 0;
}

static int slowGetattr(const char *path, struct stat *info, struct fuse_file_info *file)
{
    (void)file;
    char real[PATH_MAX];
    if (lstat(answer(path, real), info) != 0)
        return -errno;
    info->st_mtim.tv_nsec = info->st_ctim.tv_nsec = info->st_atim.tv_nsec = 0;
    if (namedAs(path, "short-") && info->st_size > 10)
        info->st_size = 10;
    return 0;
}

static int slowReadlink(const char *path, char *buffer, size_t size)
{
    char real[PATH_MAX];
    const ssize_t length = readlink(answer(path, real), buffer, size - 1);
    if (length < 0)
        return -errno;
    buffer[length] = '\0';
    return 0;
}

static int slowReaddir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t offset,
                       struct fuse_file_info *file, enum fuse_readdir_flags flags)
{
    (void)offset, (void)file, (void)flags;
    char real[PATH_MAX];
    DIR *dir = opendir(answer(path, real));
    if (!dir)
        return -errno;
    for (struct dirent *entry; (entry = readdir(dir));) {
        // No status: the listing gives no entry types.
        if (fill(buffer, entry->d_name, NULL, 0, 0))
            break;
    }
    closedir(dir);
    return 0;
}

static int slowOpen(const char *path, struct fuse_file_info *file)
{
    char real[PATH_MAX];
    const int fd = open(answer(path, real), O_RDONLY);
    if (fd < 0)
        return -errno;
    file->fh = (uint64_t)fd;
    file->direct_io = namedAs(path, "short-");
    file->nonseekable = namedAs(path, "noseek-");
    return 0;
}

static int slowRead(const char *path, char *buffer, size_t size, off_t offset, struct fuse_file_info *file)
{
    (void)path;
    usleep(delay);
    const ssize_t count = pread((int)file->fh, buffer, size, offset);
    return count < 0 ? -errno : (int)count;
}

static int slowRelease(const char *path, struct fuse_file_info *file)
{
    (void)path;
    close((int)file->fh);
    return 0;
}

static int slowStatfs(const char *path, struct statvfs *info)
{
    char real[PATH_MAX];
    return statvfs(answer(path, real), info) == 0 ? 0 : -errno;
}

static void *slowInit(struct fuse_conn_info *connection, struct fuse_config *config)
{
    (void)connection;
    // Nothing cached in the kernel: every look is a request, as on a share that changes.
    config->entry_timeout = 0;
    config->attr_timeout = 0;
    config->negative_timeout = 0;
    return NULL;
}

static const struct fuse_operations operations = {
    .getattr = slowGetattr,
    .readlink = slowReadlink,
    .readdir = slowReaddir,
    .open = slowOpen,
    .read = slowRead,
    .release = slowRelease,
    .statfs = slowStatfs,
    .init = slowInit,
};

int main(int argc, char *argv[])
{
    if (argc < 3) {
        fprintf(stderr, "usage: slowfs SOURCE MOUNTPOINT [DELAY_MICROSECONDS]\n");
        return 2;
    }
    static char real[PATH_MAX];
    if (!realpath(argv[1], real)) {
        perror(argv[1]);
        return 1;
    }
    source = real;
    if (argc > 3)
        delay = (useconds_t)atoi(argv[3]);
    char *fuseArguments[] = {argv[0], argv[2], "-f", "-o", "ro", NULL};
    return fuse_main(5, fuseArguments, &operations, NULL);
}
