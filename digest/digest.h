#pragma once

#include "platform/calls.h"
#include "report/report.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// How many reads the hashing threads may lag behind the reader.
extern const std::size_t DigestRingSlots;

// The size from which a file may be hashed on threads of their own along the ring of reads; a
// smaller one is hashed on the thread that reads it.
extern const std::uint64_t DigestRingFrom;

// How a file past one read is hashed. Chosen: on the reading thread below DigestRingFrom; past
// it, the first chunks are timed on the reading thread and then along the ring, and the faster
// way on this processor takes the rest. The others make one way, for tests: the reading thread
// alone, the ring from the first chunk, or the timed trial followed by the way named.
enum class DigestWay { Chosen, ReadingThread, Ring, TrialThenRing, TrialThenReadingThread };

// The chunks timed on the reading thread, and then (once the ring is full) along the ring.
extern const int DigestTrialChunks;

// Returns the size of one read for a processor whose cores' second-level cache holds level2Bytes
// (0 where the system does not say): small enough that a chunk read is still in that cache when
// the hash takes it.
std::size_t digestChunkSize(std::size_t level2Bytes);

// Returns the size of one read for this processor.
std::size_t digestChunkSize();

// The digests a mode reports: MD5 (mode 0), SHA-1 (mode 1), or both (mode 2).
enum class DigestMode { Md5, Sha1, Md5AndSha1 };

// Returns the report of a digest mode for the file at path (bytes): "MD5", "SHA1" or both in that
// order, as lowercase hex, from one read of the file. The values
// are empty when the file refuses to be opened for reasons of its own (no permission, a sharing
// lock); there is no report when it cannot be read for any other reason, a read or the digest
// library fails or refuses (said on the error stream), or the file changes while it is read.
std::optional<Report> digestReport(DigestMode mode, const std::string &path, const SystemCalls &calls = SystemCalls(),
                                   DigestWay way = DigestWay::Chosen);
