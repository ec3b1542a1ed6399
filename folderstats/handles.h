#pragma once

// The walk's budget of file handles: how a walker short of them waits for another's, and when it
// gives up.

#include "folderstats/walkstate.h"

namespace walking {

// Counts one subfolder's listing from the attempt to open it to its close, so that a walker short
// of file handles can tell whether another listing holds some (or is about to); only a listing
// that really opened counts as closed when it ends. Its begin and end are made with the walk's
// lock held.
class ListingCount {
public:
    explicit ListingCount(WalkState &state) : state_(state) {}
    ListingCount(const ListingCount &) = delete;
    ListingCount &operator=(const ListingCount &) = delete;
    ~ListingCount()
    {
        if (!counted_)
            return;
        const std::lock_guard<std::mutex> lock(state_.mutex);
        end();
    }

    // An attempt to open begins (the lock held).
    void begin()
    {
        ++state_.openListings;
        ++state_.attemptEvents;
        counted_ = true;
    }
    void markOpened() { opened_ = true; }
    // The attempt failed, or the listing closed (the lock held).
    void end()
    {
        if (!counted_)
            return;
        --state_.openListings;
        ++state_.attemptEvents;
        if (opened_)
            ++state_.closedListings;
        counted_ = opened_ = false;
        state_.changed.notify_all();
    }

private:
    WalkState &state_;
    bool counted_ = false;
    bool opened_ = false;
};

// Opens a subfolder, waiting while its open fails for want of file handles that other walkers
// hold or are taking, and give back. A walker short of handles retries while no other short one
// does, so that two short ones never take each other's last handle; it gives up only where its
// open failed while no other walker held a listing or tried for one, and none closed since, and
// still so after a few short waits: then nothing the walk holds can free one, and no library
// gave back one it held for a moment. Five waits in a row in which no listing closed end it too.
SysResult openSubfolderWaiting(WalkState &state, const PendingFolder &pending, OpenFolder &folder, ListingCount &count);

} // namespace walking
