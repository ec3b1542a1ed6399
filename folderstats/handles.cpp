#include "folderstats/handles.h"

#include <chrono>

namespace walking {
namespace {

// A walker short of file handles waits this long at a time for another listing to close, and
// gives up after this many waits in a row in which none did.
const std::chrono::seconds HandleWait(2);
const int FruitlessHandleWaits = 5;

// A descriptor that a library takes for a moment is none the walk holds, yet takes the last one:
// the C library reads a system setting through one the first time a thread's memory shrinks. A
// walker whose open failed while it seemed alone tries again after waits of this length, doubled
// each time, this many times (155 ms in all), before it gives up.
const std::chrono::milliseconds LoneWait(5);
const int LoneWaits = 5;

} // namespace

SysResult openSubfolderWaiting(WalkState &state, const PendingFolder &pending, OpenFolder &folder, ListingCount &count)
{
    ListedFolder listed;
    listed.fileId = pending.fileId;
    listed.parent = pending.ancestors.nearest() ? pending.ancestors.nearest()->identity : FileIdentity();
    int fruitless = 0;
    int loneWaits = 0;
    bool shortOfHandles = false;
    SysResult opened;
    for (;;) {
        std::uint64_t closedBefore, eventsBefore;
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            if (shortOfHandles) {
                // Each such wait is for one open's time.
                state.changed.wait(lock, [&] { return state.abandoned || !state.shortRetrying; });
                if (state.abandoned)
                    return opened;
                state.shortRetrying = true;
            }
            closedBefore = state.closedListings;
            count.begin();
            eventsBefore = state.attemptEvents;
        }
        opened = state.calls.openSubfolder(state.start, pending.relative, listed, folder);
        std::unique_lock<std::mutex> lock(state.mutex);
        if (shortOfHandles)
            state.shortRetrying = false;
        if (opened.ok()) {
            count.markOpened();
            state.changed.notify_all();
            return opened;
        }
        const bool alone = state.openListings == 1 && state.attemptEvents == eventsBefore && state.closedListings == closedBefore;
        count.end();
        if (opened.kind != SysError::OutOfHandles || state.abandoned)
            return opened;
        if (alone) {
            if (loneWaits == LoneWaits)
                return opened;
            state.changed.wait_for(lock, LoneWait * (1 << loneWaits++), [&] { return state.abandoned; });
            if (state.abandoned)
                return opened;
            continue;
        }
        shortOfHandles = true;
        const bool closed = state.changed.wait_for(lock, HandleWait, [&] {
            return state.abandoned || state.openListings == 0 || state.closedListings > closedBefore;
        });
        if (state.abandoned)
            return opened;
        fruitless = closed ? 0 : fruitless + 1;
        if (fruitless >= FruitlessHandleWaits)
            return opened;
    }
}

} // namespace walking
