#pragma once

// Reading a file a chunk at a time, for the ways of digest/ways.cpp and the ring: the open target,
// each read, and how a run of reads ended.

#include "digest/digest.h"
#include "digest/hash.h"
#include "platform/calls.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace digesting {

// A buffer of bytes not zeroed, from the allocation function every new expression goes through,
// its start moved on by offset to a cache line's.
struct FreeBytes {
    std::size_t offset = 0;
    void operator()(char *bytes) const { ::operator delete(bytes - offset); }
};
using Bytes = std::unique_ptr<char, FreeBytes>;

// Returns size bytes, not zeroed, starting on a cache line: the kernel's copy into a buffer 16
// bytes into a page (where the allocator puts a large one) runs at a third of its speed on an
// EPYC (16 MiB from the page cache: 8.9 ms, against 2.2 to 2.6 ms at 0, 32, 64 or 2048 bytes).
Bytes makeBytes(std::size_t size);

using Clock = std::chrono::steady_clock;

// Returns the duration in nanoseconds.
std::int64_t nanosecondsOf(Clock::duration duration);

// Returns the median of samples, which it reorders; 0 for none.
std::int64_t medianOf(std::vector<std::int64_t> &samples);

// The open target, the calls that read it (and the gate they hold, which says when a termination
// came; none in tests that run the mode alone), the size of one read, and the way it is hashed.
struct Target {
    const Handle &handle;
    const SystemCalls &calls;
    std::size_t chunkSize;
    DigestWay way;
};

// True when a termination came: the read stops there, its digest no longer wanted. One sent to
// this thread alone is passed on to the process by the asking.
bool isEnding(const Target &file);

// Reads the next chunk; -1 when the read failed or a termination came.
std::int64_t readNext(const Target &file, char *buffer);

// How a run of reads ended: at the file's end, at a failed read, or with more to read.
enum class Fed { End, Failed, More };

// Feeds the file's chunks to each hash, in order, on this thread: to its end, or at most chunks of
// them where chunks is not negative, each one's time in nanoseconds added to times where given.
Fed feedHashes(const Target &file, const std::vector<Hash *> &hashes, std::int64_t chunks = -1, std::vector<std::int64_t> *times = nullptr);

} // namespace digesting
