#pragma once

// The ring of reads: a file read on this thread while each hash takes every chunk on a thread of
// its own.

#include "digest/reading.h"

#include <functional>

namespace digesting {

// Reads the file into the ring on this thread while each hash takes every chunk on a thread of
// its own (a stack of 128 KiB), until the end, a failed read, or stayOn's choice: where given, the
// DigestTrialChunks reads after the ring's first turn are timed and stayOn(their median in
// nanoseconds) says whether the ring keeps the rest (More where not). Where the system gives no
// threads, the hashes take the rest on this one.
Fed hashAlongside(const Target &file, const std::vector<Hash *> &hashes, const std::function<bool(std::int64_t)> &stayOn);

} // namespace digesting
