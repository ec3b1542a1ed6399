#pragma once

// What the walkers of one walk share.

#include "folderstats/ancestors.h"
#include "folderstats/walk.h"
#include "platform/calls.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

namespace walking {

struct PendingFolder {
    std::string relative; // below the start folder, names joined by '/'; empty for the start folder
    Chain ancestors;
    std::uint64_t fileId = 0; // the file number its parent's listing gave, 0 for none
};

// A subfolder a listing named, with the file number it gave (0 for none).
struct NamedFolder {
    std::string name;
    std::uint64_t fileId;
};

// What the walkers share: the start folder, the stack of folders still to list, and how the
// walk stands.
struct WalkState {
    explicit WalkState(const SystemCalls &calls) : calls(calls) {}
    const SystemCalls &calls;
    OpenFolder start;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PendingFolder> pending;
    int busyWalkers = 0;
    int openListings = 0;
    std::uint64_t closedListings = 0; // listings that opened and closed since the walk began
    std::uint64_t attemptEvents = 0;  // attempts to open a listing begun or ended since the walk began
    bool shortRetrying = false;       // a walker short of handles is trying again
    FolderTotals totals;
    bool abandoned = false;
    std::exception_ptr failure;
};

// Adds amount to total, held at 2^64 - 1 rather than wrapping.
inline void addSaturating(std::uint64_t &total, std::uint64_t amount)
{
    total = amount > ~std::uint64_t(0) - total ? ~std::uint64_t(0) : total + amount;
}

} // namespace walking
