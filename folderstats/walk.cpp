#include "walk.h"

#include <QDebug>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

// One folder on the chains of ancestors, from a folder's parent up to the start folder: shared by
// all its descendants, and released, link by link, when the last of them is done. Its identity and
// parent never change once it is on the stack; its holders change only under the walk's mutex.
struct Ancestor {
    FileIdentity identity;
    Ancestor *parent = nullptr;
    std::size_t holders = 0; // pending or walked folders below it, and child links
};

struct PendingFolder {
    std::string path;
    Ancestor *ancestors = nullptr;
    bool isStart = false;
};

// What the walkers share: the stack of folders still to list, and how the walk stands.
struct WalkState {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<PendingFolder> pending;
    int busyWalkers = 0;
    int openListings = 0;
    std::uint64_t closedListings = 0; // grows at every close, so a waiting walker sees one happen
    FolderTotals totals;
    bool abandoned = false;
    std::exception_ptr failure;
};

// Walker stacks stay small: the walk does not recurse.
const std::size_t WalkerStackBytes = 512 * 1024;

void addSaturating(std::uint64_t &total, std::uint64_t amount)
{
    total = amount > ~std::uint64_t(0) - total ? ~std::uint64_t(0) : total + amount;
}

bool isAncestor(const Ancestor *chain, const FileIdentity &identity)
{
    for (const Ancestor *link = chain; link; link = link->parent) {
        if (isSameFile(link->identity, identity))
            return true;
    }
    return false;
}

void logFailure(const std::string &text)
{
    qDebug() << text.c_str();
}

// Counts one listing as open for as long as it lives, so that a walker short of file handles can
// tell whether another listing holds some, and wait for it to close.
struct OpenListing {
    WalkState &state;
    std::uint64_t closedBefore;

    explicit OpenListing(WalkState &state) : state(state)
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        ++state.openListings;
        closedBefore = state.closedListings;
    }
    OpenListing(const OpenListing &) = delete;
    OpenListing &operator=(const OpenListing &) = delete;
    ~OpenListing()
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        --state.openListings;
        ++state.closedListings;
        state.changed.notify_all();
    }
};

// Lists one folder, trying again while its open fails for want of file handles that other walkers
// hold: only when no other listing is open is that a failure of the walk. Running out part way
// through a listing ends it: its entries were handled already.
ListingEnd listCounted(WalkState &state, const PendingFolder &folder, const std::function<bool(const FileIdentity &)> &enter,
                       const std::function<void(const ListedEntry &)> &visit, std::string &failure)
{
    for (;;) {
        bool opened = false;
        std::uint64_t closedBefore;
        ListingEnd end;
        {
            const OpenListing listing(state);
            closedBefore = listing.closedBefore;
            end = listFolder(folder.path, folder.isStart, [&](const FileIdentity &identity) {
                opened = true;
                return enter(identity);
            }, visit, failure);
        }
        if (end != ListingEnd::Exhausted || opened)
            return end;
        std::unique_lock<std::mutex> lock(state.mutex);
        if (state.openListings == 0 && state.closedListings == closedBefore + 1)
            return end;
        state.changed.wait(lock, [&] { return state.abandoned || state.openListings == 0 || state.closedListings > closedBefore + 1; });
        if (state.abandoned)
            return end;
    }
}

// Lists one folder: sums and counts its files, and puts its subfolders on the stack. Returns
// false when the walk must end without a report.
bool walkOne(WalkState &state, const PendingFolder &folder, FolderTotals &totals)
{
    std::vector<std::string> subfolders;
    FileIdentity identity;
    std::string failure;
    const ListingEnd end = listCounted(state, folder, [&](const FileIdentity &seen) {
        identity = seen;
        return !isAncestor(folder.ancestors, seen);
    }, [&](const ListedEntry &entry) {
        if (entry.isFolder) {
            subfolders.push_back(entry.path);
        } else if (!entry.failure.empty()) {
            logFailure(entry.failure);
        } else {
            // A file is counted after its size was added, so one that has no size is neither.
            addSaturating(totals.bytes, entry.size);
            ++totals.files;
        }
    }, failure);
    switch (end) {
    case ListingEnd::Declined:
        logFailure("filesystem error: directory loops back to a directory above it, not walked [" + folder.path + "]");
        break;
    case ListingEnd::OpenFailed:
    case ListingEnd::NotAFolder:
    case ListingEnd::BrokeOff:
    case ListingEnd::Exhausted:
        logFailure(failure);
        break;
    default:
        break;
    }
    if (end == ListingEnd::Exhausted)
        return false;
    if (folder.isStart) {
        // The start folder passed the folder test just before: anything but a listing, or a
        // folder closed to the user, says nothing about what is in it.
        if (end != ListingEnd::Complete && end != ListingEnd::BrokeOff && end != ListingEnd::Closed)
            return false;
        totals.start = identity;
    } else if (end != ListingEnd::NotAFolder && end != ListingEnd::BrokeOff) {
        // A folder that could not be looked into still counts; one that turned into something
        // else, or whose listing broke off, does not (what it listed before stays).
        ++totals.folders;
    }
    if (subfolders.empty())
        return true;
    std::unique_ptr<Ancestor> link(new Ancestor{identity, folder.ancestors, subfolders.size()});
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.pending.reserve(state.pending.size() + subfolders.size());
    if (folder.ancestors)
        ++folder.ancestors->holders;
    for (std::string &path : subfolders)
        state.pending.push_back({std::move(path), link.get(), false});
    link.release();
    state.changed.notify_all();
    return true;
}

// Gives up one hold on the chain, under the walk's mutex, and frees every link no one holds
// any more: one at a time, however deep the chain.
void releaseChain(Ancestor *link)
{
    while (link && --link->holders == 0) {
        Ancestor *parent = link->parent;
        delete link;
        link = parent;
    }
}

// Releases a taken folder's hold on its chain however its walk ends.
struct ChainHold {
    WalkState &state;
    Ancestor *chain;
    ~ChainHold()
    {
        const std::lock_guard<std::mutex> lock(state.mutex);
        releaseChain(chain);
    }
};

void abandonWalk(WalkState &state, std::exception_ptr failure)
{
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.abandoned = true;
    if (failure && !state.failure)
        state.failure = failure;
    state.changed.notify_all();
}

// Takes folders off the stack until none is left and no walker can add more.
void runWalker(WalkState &state)
{
    FolderTotals totals;
    try {
        for (;;) {
            PendingFolder folder;
            {
                std::unique_lock<std::mutex> lock(state.mutex);
                state.changed.wait(lock, [&] { return state.abandoned || !state.pending.empty() || state.busyWalkers == 0; });
                if (state.abandoned || state.pending.empty())
                    break;
                folder = std::move(state.pending.back());
                state.pending.pop_back();
                ++state.busyWalkers;
            }
            const ChainHold hold{state, folder.ancestors};
            const bool goOn = walkOne(state, folder, totals);
            {
                const std::lock_guard<std::mutex> lock(state.mutex);
                --state.busyWalkers;
                state.changed.notify_all();
            }
            if (!goOn) {
                abandonWalk(state, nullptr);
                break;
            }
        }
    } catch (...) {
        abandonWalk(state, std::current_exception());
    }
    const std::lock_guard<std::mutex> lock(state.mutex);
    addSaturating(state.totals.bytes, totals.bytes);
    state.totals.folders += totals.folders;
    state.totals.files += totals.files;
    if (totals.start.known)
        state.totals.start = totals.start;
}

} // namespace

int defaultWalkerCount()
{
    const int cores = int(std::thread::hardware_concurrency());
    return std::max(8, 2 * cores);
}

std::optional<FolderTotals> walkFolder(const std::string &folder, int walkers)
{
    WalkState state;
    state.pending.push_back({folder, nullptr, true});
    runOnThreads(walkers - 1, WalkerStackBytes, [&] { runWalker(state); });
    // A walk that was abandoned leaves folders on the stack; their chains go with them.
    for (const PendingFolder &folder : state.pending)
        releaseChain(folder.ancestors);
    if (state.failure)
        std::rethrow_exception(state.failure);
    // The start folder is the first taken: a walk that was not abandoned has listed it.
    if (state.abandoned)
        return std::nullopt;
    return state.totals;
}
