#pragma once

// Files: what a path or an open handle is, and reading a file from start to end.

#include "platform/types.h"

#include <cstddef>
#include <string>

// Stores what the open handle refers to in status.
SysResult statusOfHandle(const Handle &handle, FileStatus &status);

// Stores what path names in status, following links when followLinks.
SysResult statusOfPath(const std::string &path, bool followLinks, FileStatus &status);

// Opens the file at path for one read from start to end, following links, shared with every other
// reader, writer and remover, and without waiting on a FIFO in its place; what kind of file it
// opened is for the caller to look at (statusOfHandle).
SysResult openForReading(const std::string &path, Handle &file);

// Reads up to size bytes into buffer and stores the count in count: 0 at the end.
SysResult readChunk(const Handle &file, char *buffer, std::size_t size, std::size_t &count);

// Reads up to size bytes from offset into buffer and stores the count in count (0 at the end),
// wherever the last read left off, and leaves the file's own offset as it was. NotSupported for a
// file that cannot be read at an offset (one a file system opened non-seekable).
SysResult readChunkAt(const Handle &file, std::uint64_t offset, char *buffer, std::size_t size, std::size_t &count);

// Starts a watch the kernel keeps on the open file's contents (inotify): told of every write and
// truncation made through this machine's kernel, whatever the clock. NotSupported where the
// system keeps none (Windows); Missing without /proc; OutOfHandles past a limit of watches.
SysResult watchForChanges(const Handle &file, Handle &watch);

// Stores in changed whether the watched file's contents changed since its watch began.
SysResult hasChangedSince(const Handle &watch, bool &changed);

// Removes the watch from its file, once its last look is taken. The kernel finishes the removal
// in the background; closing the watch afterwards costs nothing, where closing it with the watch
// in place waits for that removal (milliseconds).
SysResult stopWatching(const Handle &watch);
