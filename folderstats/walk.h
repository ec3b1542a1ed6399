#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What a walk found below its start folder: the sum of the file sizes (held at 2^64 - 1 rather
// than wrapping), the folders and the files.
struct FolderTotals {
    std::uint64_t bytes = 0;
    std::uint64_t folders = 0;
    std::uint64_t files = 0;
};

// Returns the number of walkers the walk uses on this machine: enough to keep a slow share busy.
int defaultWalkerCount();

// Walks every folder below folder (path bytes; a link as the start folder is followed) with
// `walkers` threads, each subfolder opened from the start folder without following any link on
// the way, at any depth. Links are sized as their target, never walked; a folder that is one of
// its own ancestors is counted, logged and not walked; an entry that fails is logged on the debug
// channel and skipped; a folder closed to the user counts and yields nothing. Returns nothing,
// after one message, when the start folder cannot be listed in full or file handles run out.
// Throws std::bad_alloc when memory runs out.
std::optional<FolderTotals> walkFolder(const std::string &folder, int walkers);
