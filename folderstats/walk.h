#pragma once

#include "platform/calls.h"

#include <chrono>
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

// The start folder of a walk, opened as the user named it (a link as the start folder is
// followed), and how its open went.
struct StartFolder {
    OpenFolder folder;
    SysResult opened;
};

// Opens the folder at path (bytes) to start a walk there.
StartFolder openWalkStart(const std::string &path, const SystemCalls &calls = SystemCalls());

// How long the first walker walks alone, while folders are still queued, before the others start:
// about what it takes to walk a hundred small folders in the page cache, far less than one round
// trip to a slow share. A small folder costs no thread.
extern const std::chrono::milliseconds WalkAloneFor;

// Walks every folder below the start folder with up to `walkers` threads (the others started once
// the first has walked alone for aloneFor with folders still queued), each subfolder opened from
// the start folder's handle without following any link on the way, at any depth. Links are sized
// as their target, never walked; a folder that is one of its own ancestors is counted, logged and
// not walked; an entry that fails is logged on the debug channel and skipped; a folder closed to
// the user counts and yields nothing, and so does a start folder closed to the user. Returns
// nothing, after one message, when the start folder cannot be listed in full or file handles run
// out. Throws std::bad_alloc when memory runs out.
std::optional<FolderTotals> walkFolder(StartFolder start, int walkers, const SystemCalls &calls = SystemCalls(),
                                       std::chrono::milliseconds aloneFor = WalkAloneFor);

// Opens the folder at path and walks it, as above.
std::optional<FolderTotals> walkFolder(const std::string &path, int walkers, const SystemCalls &calls = SystemCalls(),
                                       std::chrono::milliseconds aloneFor = WalkAloneFor);
