#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <optional>
#include <string>

// What a walk found below its start folder: the sum of the file sizes (held at 2^64 - 1 rather
// than wrapping), the folders and the files; and the start folder's identity.
struct FolderTotals {
    std::uint64_t bytes = 0;
    std::uint64_t folders = 0;
    std::uint64_t files = 0;
    FileIdentity start;
};

// Returns the number of walkers the walk uses on this machine: enough to keep a slow share busy.
int defaultWalkerCount();

// Walks every folder below folder (a UTF-8 path; a link as the start folder is followed) with
// `walkers` threads sharing a stack of pending folders, and sums and counts what it finds. Links
// are sized as their target, never walked; a folder that is one of its own ancestors is counted,
// logged and not walked. An entry that fails is logged on the debug channel and skipped; a
// folder closed to the user counts and yields nothing. Returns nothing, after one message, when
// the start folder cannot be listed for a reason not its own or the system runs out of file
// handles. Throws std::bad_alloc when memory runs out.
std::optional<FolderTotals> walkFolder(const std::string &folder, int walkers);
