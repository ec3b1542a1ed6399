#pragma once

// Thin wrappers over the operating system services the helper needs. Standard C++ types only,
// so each platform's source compiles on its own, without Qt.

#include <cstdint>
#include <string>

// Stores in capacity the total number of bytes of the volume whose root is rootUtf8 (a UTF-8 path).
// Returns false and leaves capacity untouched when the volume cannot be queried.
bool queryVolumeCapacity(const std::string &rootUtf8, std::uint64_t &capacity);

// Returns the platform's short size text of a byte count as UTF-8, such as "1.30 KB";
// the empty text when the platform produced none.
std::string formatShortByteSize(std::uint64_t bytes);

// Returns the short size text of the en-US Windows shell for any 64-bit count, computed exactly
// and without the locale: "532 bytes", "1.30 KB", "22.9 KB", "100 KB", "15.9 EB".
std::string formatEnUsByteSize(std::uint64_t bytes);
