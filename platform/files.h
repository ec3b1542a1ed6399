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
