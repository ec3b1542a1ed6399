#pragma once

// The guard that keeps a report from replacing its own target, a question delivery asks before
// the writer runs; and what a place holds, read through the seam, for it and for the earlier
// bytes of a result written in place.

#include "platform/calls.h"

#include <cstddef>
#include <string>

namespace writing {

// Reads up to size bytes, as many as the file gives before its end; false when a read fails.
bool readFully(const SystemCalls &calls, const Handle &file, char *buffer, std::size_t size, std::size_t &count);

// Reads the whole of a file of at most limit bytes from its current position; false when it
// cannot, or when the file is larger.
bool readSmallFile(const SystemCalls &calls, const Handle &file, std::size_t limit, std::string &contents);

} // namespace writing

// True when the existing file at the place might be the target of the report, of which the system
// said target and which targetPath named: the report must never replace it. On one volume, the
// same identity; across volumes or without identities, the same size and bytes (one file seen
// through two views, whose times may differ), or without identities the same last name in any
// letter case. True whenever the place cannot be looked at.
bool mightBeTarget(const ResultPlace &place, const FileStatus &target, const std::string &targetPath,
                   const SystemCalls &calls = SystemCalls());
