// Preloaded into digest_test: makes the digest library's update or final call fail on cue, and
// can change the file being hashed part way through the read, as another program writing it would.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stddef.h>
#include <sys/stat.h>
#include <unistd.h>

// Set by the test: 1 fails every update, 2 every final call, 3 every new context (as when memory
// runs out); a path here has its first byte
// rewritten, its size kept, at the first update; one in vuroDigestChmodPath has its permissions
// changed there (its change time alone moves).
int vuroDigestFault = 0;
const char *vuroDigestChangePath = NULL;
const char *vuroDigestChmodPath = NULL;

int EVP_DigestUpdate(void *context, const void *data, size_t count)
{
    static int (*real)(void *, const void *, size_t);
    if (!real)
        real = (int (*)(void *, const void *, size_t))dlsym(RTLD_NEXT, "EVP_DigestUpdate");
    if (vuroDigestChangePath) {
        // Without waiting, as another program may open it.
        const int fd = open(vuroDigestChangePath, O_RDWR | O_NONBLOCK);
        char first = 0;
        if (fd >= 0) {
            // Another byte than the one there: a change that a second read sees too.
            (void)!pread(fd, &first, 1, 0);
            first ^= 1;
            (void)!pwrite(fd, &first, 1, 0);
            close(fd);
        }
        vuroDigestChangePath = NULL;
    }
    if (vuroDigestChmodPath) {
        struct stat info;
        if (stat(vuroDigestChmodPath, &info) == 0)
            chmod(vuroDigestChmodPath, info.st_mode ^ S_IXUSR);
        vuroDigestChmodPath = NULL;
    }
    return vuroDigestFault == 1 ? 0 : real(context, data, count);
}

int EVP_DigestFinal_ex(void *context, unsigned char *digest, unsigned int *size)
{
    static int (*real)(void *, unsigned char *, unsigned int *);
    if (!real)
        real = (int (*)(void *, unsigned char *, unsigned int *))dlsym(RTLD_NEXT, "EVP_DigestFinal_ex");
    return vuroDigestFault == 2 ? 0 : real(context, digest, size);
}

void *EVP_MD_CTX_new(void)
{
    static void *(*real)(void);
    if (!real)
        real = (void *(*)(void))dlsym(RTLD_NEXT, "EVP_MD_CTX_new");
    return vuroDigestFault == 3 ? NULL : real();
}
