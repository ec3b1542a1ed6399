// Stands in for the viewer that mode 4 starts: writes to the file named by VURO_TEST_MARKER what
// it was given (its process id, every open descriptor beyond the standard ones, its ignored and
// blocked signals, its current folder), then waits 8 s, as a viewer would stay open.
#define _GNU_SOURCE
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(void)
{
    const char *marker = getenv("VURO_TEST_MARKER");
    if (!marker)
        return 1;
    char text[8192];
    size_t used = (size_t)snprintf(text, sizeof text, "pid %d\nfds", (int)getpid());
    DIR *fds = opendir("/proc/self/fd");
    for (struct dirent *entry; fds && (entry = readdir(fds));) {
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] != '.' && fd > 2 && fd != dirfd(fds))
            used += (size_t)snprintf(text + used, sizeof text - used, " %d", fd);
    }
    if (fds)
        closedir(fds);
    FILE *status = fopen("/proc/self/status", "r");
    char line[256];
    while (status && fgets(line, sizeof line, status)) {
        if (strncmp(line, "SigIgn:", 7) == 0 || strncmp(line, "SigBlk:", 7) == 0)
            used += (size_t)snprintf(text + used, sizeof text - used, "\n%.*s", (int)strcspn(line, "\n"), line);
    }
    if (status)
        fclose(status);
    char folder[4096];
    used += (size_t)snprintf(text + used, sizeof text - used, "\ncwd %s\n", getcwd(folder, sizeof folder) ? folder : "?");
    // Written under another name and renamed, so the test never reads half of it.
    char partial[4200];
    snprintf(partial, sizeof partial, "%s.partial", marker);
    FILE *out = fopen(partial, "w");
    if (!out || fwrite(text, 1, used, out) != used || fclose(out) != 0 || rename(partial, marker) != 0)
        return 1;
    sleep(8);
    return 0;
}
