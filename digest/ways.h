#pragma once

// The ways a file is read and how each sees a change while it is read.

#include "digest/reading.h"

namespace digesting {

// Feeds the file of size bytes to the hashes; false when a read fails, or the file was seen to
// change. A small file is read whole by offset, hashed, and read again: other bytes, or an end
// elsewhere, is a write during the read and the hashing, however quick, whatever the clock. Any
// other file, and a small one that gave more than its size or cannot be read by offset, is read
// from its start until a read finds its end, whatever the size said, under the kernel's watch
// where it keeps one: a writer is never refused nor held, and its write is seen. The watch is
// removed once its last look is taken and handed to keptOpen: its close, once the removal has
// run on in the kernel while the report is written, waits for nothing.
bool feedFile(const Target &file, std::uint64_t size, const std::vector<Hash *> &hashes, Handle &keptOpen);

} // namespace digesting
