#pragma once

// POSIX only: the plumbing every concern's POSIX source shares, the mapping of errno to outcomes
// and the descriptor helpers.

#include "platform/types.h"

#include <cerrno>
#include <string>

#include <sys/stat.h>

namespace posix_internal {

// The outcome of a call that failed with error: a failure even where nothing set it (0), which
// never passes for success, and reads as an I/O error.
inline SysResult failureOf(int error)
{
    return error == 0 ? SysResult{SysError::Other, EIO} : resultOf(error);
}

// The outcome of the last failed call, from errno.
inline SysResult lastError()
{
    return failureOf(errno);
}

// Success when done, else the last failed call's outcome.
inline SysResult okIf(bool done)
{
    return done ? SysResult{} : lastError();
}

// The descriptor a handle holds.
inline int fdOf(const Handle &handle)
{
    return int(handle.get());
}

// Stores what the system's stat record says in status.
void fillStatus(const struct stat &info, FileStatus &status);

// Stores what name below the folder dirFd is in status; flags are fstatat's.
SysResult statusAtFd(int dirFd, const char *name, int flags, FileStatus &status);

// Returns the magic link through which the system reaches an open descriptor's file.
std::string procPathOf(int fd);

// Stores the text of the link at path in text; false where there is none or it does not fit the
// path limit.
bool readLinkText(const std::string &path, std::string &text);

} // namespace posix_internal
