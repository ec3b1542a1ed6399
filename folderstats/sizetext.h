#pragma once

#include <cstdint>
#include <string>

// Returns the short size text of the en-US Windows shell for any 64-bit count, computed exactly
// and without the locale: "532 bytes", "1.30 KB", "22.9 KB", "100 KB", "15.9 EB".
std::string formatEnUsByteSize(std::uint64_t bytes);
