#pragma once

#include "platform/calls.h"
#include "report/report.h"

#include <cstddef>
#include <optional>
#include <string>

// The size of one read, and how many reads the two hashing threads of mode 2 may lag behind.
extern const std::size_t DigestChunkSize;
extern const std::size_t DigestRingSlots;

// Returns the report of a digest mode for the file at path (bytes): "MD5" (mode 0), "SHA1"
// (mode 1) or both in that order (mode 2), as lowercase hex, from one read of the file. The values
// are empty when the file refuses to be opened for reasons of its own (no permission, a sharing
// lock); there is no report when it cannot be read for any other reason, a read or the digest
// library fails, or the file changes while it is read.
std::optional<Report> digestReport(int mode, const std::string &path, const SystemCalls &calls = SystemCalls());
