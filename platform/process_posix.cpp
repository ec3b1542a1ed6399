#include "platform/process.h"
#include "platform/posix_internal.h"

#include <cerrno>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

using namespace posix_internal;

bool runsElevated()
{
    return ::geteuid() == 0;
}

void sleepMilliseconds(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::vector<std::string> commandLineArguments(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

std::string ownProgramFolder()
{
    std::string self;
    if (!readLinkText("/proc/self/exe", self))
        return std::string();
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

void writeErrorLine(const char *text)
{
    const std::size_t length = std::strlen(text);
    struct iovec parts[2] = {{const_cast<char *>(text), length}, {const_cast<char *>("\n"), 1}};
    while (::writev(2, parts, 2) < 0 && errno == EINTR) {
    }
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

void silenceErrorDialogs()
{
    // Errors come back to the caller as codes; a crash ends the process with its signal.
}

void restrictLibrarySearch()
{
    // Libraries are found by the dynamic linker's own rules, which a program's folder is no part of.
}
