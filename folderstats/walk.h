#pragma once

#include <cstdint>
#include <string>

// Folders the walk has handled, and files whose size it has added; process-wide, set by the
// caller before a walk and read after it.
extern std::uint64_t folderCounter;
extern std::uint64_t fileCounter;

// Stands for no count at all: no walk ran.
constexpr std::uint64_t NoCount = ~std::uint64_t(0);

// Adds the sizes of all files below folder (a UTF-8 path) to total, one to folderCounter per folder
// and one to fileCounter per file below it. Links are sized, never walked; a folder that is one of
// the folders above it is counted, logged and not walked. An entry that fails is logged on the
// debug channel and skipped; a folder that cannot be listed yields nothing, and is logged when the
// reason is not its own; when the listing of folder itself breaks off part way, that is logged and
// what was gathered stands. Throws std::bad_alloc when memory runs out, whatever was gathered.
void walkFolder(const std::string &folder, std::uint64_t &total);
