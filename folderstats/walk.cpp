#include "walk.h"

#include "platform/platform.h"
#include "report/termination.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "folderstats/handles.h"
#include "folderstats/outcomes.h"

using namespace walking;

namespace {

// Walker stacks stay small: the walk does not recurse.
const std::size_t WalkerStackBytes = 512 * 1024;

// How the walk goes on after one folder.
enum class Next { Continue, Abandon };

// Sizes or queues one listed entry. Returns Abandon when the walk must give up.
Next handleEntry(const WalkState &state, const OpenFolder &folder, const FolderEntry &entry, std::vector<NamedFolder> &subfolders,
                 FolderTotals &totals)
{
    EntryType type = entry.type;
    std::uint64_t size = entry.size;
    if (!entry.sized && type != EntryType::Folder) {
        // A link is sized as what it leads to; an untyped entry is looked at as itself first.
        bool isLink = type == EntryType::Link;
        FileStatus status;
        SysResult looked = state.calls.statusAt(folder, entry.name, isLink, status);
        if (looked.ok() && !isLink && status.type == EntryType::Link) {
            isLink = true;
            looked = state.calls.statusAt(folder, entry.name, true, status);
        }
        // The entry's whole name is made only for a failure's message: a walk sizes millions.
        if (!looked.ok())
            return respond(WalkStep::SizeEntry, looked, state, joinPath(folder.path, entry.name)).effect == Effect::GiveUp
                       ? Next::Abandon
                       : Next::Continue;
        // A link that leads to a folder is never walked.
        if (isLink && status.type == EntryType::Folder) {
            logFailure(failureText("cannot get file size", std::string("Is a directory"), joinPath(folder.path, entry.name)));
            return Next::Continue;
        }
        type = status.type;
        size = status.size;
    }
    switch (type) {
    case EntryType::Folder:
        subfolders.push_back({entry.name, entry.fileId});
        break;
    case EntryType::Regular:
        // A file is counted after its size was added, so one that has no size is neither.
        addSaturating(totals.bytes, size);
        ++totals.files;
        break;
    default:
        logFailure(failureText("cannot get file size", std::string("Operation not supported"), joinPath(folder.path, entry.name)));
        break;
    }
    return Next::Continue;
}

// One folder's listing: what it summed and counted, the subfolders it named, how it ended, and
// how many entries it gave before that.
struct Listing {
    FolderTotals totals;
    std::vector<NamedFolder> subfolders;
    SysResult end;
    std::uint64_t entriesRead = 0;
    bool givenUp = false; // an entry's outcome gave up the walk
};

// Lists one open folder, the listing's records read into buffer.
Listing listOne(const WalkState &state, const OpenFolder &folder, ListingBuffer &buffer)
{
    Listing listing;
    listing.end = state.calls.listFolder(folder, buffer, [&](const FolderEntry &entry) {
        ++listing.entriesRead;
        if (!listing.givenUp && handleEntry(state, folder, entry, listing.subfolders, listing.totals) == Next::Abandon)
            listing.givenUp = true;
    });
    return listing;
}

// Puts a listed folder's subfolders on the stack, with the chain they share.
void queueSubfolders(WalkState &state, const PendingFolder &parent, const FileIdentity &identity,
                     std::vector<NamedFolder> &subfolders)
{
    if (subfolders.empty())
        return;
    const Chain chain(identity, parent.ancestors);
    std::vector<PendingFolder> queued;
    queued.reserve(subfolders.size());
    for (const NamedFolder &named : subfolders)
        queued.push_back({joinPath(parent.relative, named.name), chain, named.fileId});
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.pending.insert(state.pending.end(), std::make_move_iterator(queued.begin()), std::make_move_iterator(queued.end()));
    state.changed.notify_all();
}

// Walks the start folder's own listing: any failure of it says nothing certain about the tree.
Next walkStart(WalkState &state, ListingBuffer &buffer, FolderTotals &totals)
{
    FileStatus status;
    SysResult result = state.calls.statusOfHandle(state.start.handle, status);
    Listing listing;
    if (result.ok()) {
        listing = listOne(state, state.start, buffer);
        result = listing.end;
    }
    if (respond(WalkStep::ListStart, result, state, state.start.path).effect != Effect::Go || listing.givenUp)
        return Next::Abandon;
    addSaturating(totals.bytes, listing.totals.bytes);
    totals.files += listing.totals.files;
    // A start folder whose handle gives no number may have had one from its own listing.
    queueSubfolders(state, PendingFolder{}, status.identity.known ? status.identity : state.start.identity, listing.subfolders);
    return Next::Continue;
}

// Walks one subfolder: opens it from the start folder, lists it and queues its subfolders.
Next walkSubfolder(WalkState &state, const PendingFolder &folder, ListingBuffer &buffer, FolderTotals &totals)
{
    const std::string path = joinPath(state.start.path, folder.relative);
    // Counted as closed only once its handle is: declared first, so it goes last.
    ListingCount count(state);
    OpenFolder opened;
    const Response open = respond(WalkStep::OpenSubfolder, openSubfolderWaiting(state, folder, opened, count), state, path);
    if (open.effect != Effect::Go) {
        totals.folders += open.effect == Effect::Count;
        return open.effect == Effect::GiveUp ? Next::Abandon : Next::Continue;
    }
    FileStatus status;
    SysResult result = state.calls.statusOfHandle(opened.handle, status);
    // Where the handle gives no number (a redirector that gives its handles none), the number its
    // parent's listing gave, on the parent's volume, is the folder's identity.
    if (!status.identity.known && folder.fileId != 0 && folder.ancestors.nearest())
        status.identity = makeFileIdentity(folder.ancestors.nearest()->identity.volume, 0, folder.fileId);
    if (result.ok() && isAncestor(folder.ancestors.nearest(), status.identity)) {
        logFailure("filesystem error: directory loops back to a directory above it, not walked [" + path + "]");
        ++totals.folders;
        return Next::Continue;
    }
    // Where neither gives one, a loop cannot be seen by identity: only by a depth no tree reaches.
    // What was counted of it is no count: no report.
    if (result.ok() && !status.identity.known && folder.ancestors.depth() >= DeepestUnknownChain) {
        logFailure("filesystem error: folders without identity nested past any path's length, taken for a loop [" + path + "]");
        return Next::Abandon;
    }
    Listing listing;
    if (result.ok()) {
        listing = listOne(state, opened, buffer);
        result = listing.end;
    }
    addSaturating(totals.bytes, listing.totals.bytes);
    totals.files += listing.totals.files;
    if (listing.givenUp)
        return Next::Abandon;
    const Response listed = respond(listing.entriesRead == 0 ? WalkStep::ListNotBegun : WalkStep::ListBrokeOff, result, state, path);
    if (listed.effect != Effect::Go) {
        totals.folders += listed.effect == Effect::Count;
        return listed.effect == Effect::GiveUp ? Next::Abandon : Next::Continue;
    }
    ++totals.folders;
    queueSubfolders(state, folder, status.identity, listing.subfolders);
    return Next::Continue;
}

void abandonWalk(WalkState &state, std::exception_ptr failure)
{
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.abandoned = true;
    if (failure && !state.failure)
        state.failure = failure;
    state.changed.notify_all();
}

// Takes folders off the stack until none is left and no walker can add more. The first walker
// (given grow) walks the start folder, and calls grow after each folder it walks.
void runWalker(WalkState &state, const std::function<void()> *grow)
{
    const bool first = grow != nullptr;
    FolderTotals totals;
    try {
        ListingBuffer buffer = makeListingBuffer();
        bool start = first;
        for (;;) {
            PendingFolder folder;
            if (!start) {
                std::unique_lock<std::mutex> lock(state.mutex);
                state.changed.wait(lock, [&] { return state.abandoned || !state.pending.empty() || state.busyWalkers == 0; });
                if (state.abandoned || state.pending.empty())
                    break;
                folder = std::move(state.pending.back());
                state.pending.pop_back();
                ++state.busyWalkers;
            }
            const Next next = start ? walkStart(state, buffer, totals) : walkSubfolder(state, folder, buffer, totals);
            start = false;
            {
                const std::lock_guard<std::mutex> lock(state.mutex);
                --state.busyWalkers;
                state.changed.notify_all();
            }
            // A termination ends the walk, whichever thread it was sent to: the asking passes
            // one sent to this thread on to the process.
            if (next == Next::Abandon || (state.calls.terminationGate && state.calls.terminationGate->isEnding())) {
                abandonWalk(state, nullptr);
                break;
            }
            if (grow)
                (*grow)();
        }
    } catch (...) {
        abandonWalk(state, std::current_exception());
    }
    const std::lock_guard<std::mutex> lock(state.mutex);
    addSaturating(state.totals.bytes, totals.bytes);
    state.totals.folders += totals.folders;
    state.totals.files += totals.files;
}

} // namespace

const std::chrono::milliseconds WalkAloneFor(3);

int defaultWalkerCount()
{
    const int cores = int(std::thread::hardware_concurrency());
    return std::max(8, 2 * cores);
}

StartFolder openWalkStart(const std::string &path, const SystemCalls &calls)
{
    StartFolder start;
    start.opened = calls.openStartFolder(path, start.folder);
    if (!start.opened.ok())
        start.folder.path = path;
    return start;
}

std::optional<FolderTotals> walkFolder(StartFolder start, int walkers, const SystemCalls &calls, std::chrono::milliseconds aloneFor)
{
    WalkState state(calls);
    state.start = std::move(start.folder);
    switch (respond(WalkStep::OpenStart, start.opened, state, state.start.path).effect) {
    case Effect::Go:
        break;
    case Effect::Count:
        return FolderTotals{};
    default:
        return std::nullopt;
    }
    // The start folder is listed first, by this thread, before any other walker takes a folder.
    state.busyWalkers = 1;
    const std::function<void()> work = [&] { runWalker(state, nullptr); };
    {
        ThreadGroup threads(WalkerStackBytes);
        // The other walkers start only once the walk shows itself big: folders still queued after
        // this thread alone has walked for a while. A small folder costs no thread.
        const auto began = std::chrono::steady_clock::now();
        bool grown = walkers <= 1;
        const std::function<void()> grow = [&] {
            if (grown || std::chrono::steady_clock::now() - began < aloneFor)
                return;
            {
                const std::lock_guard<std::mutex> lock(state.mutex);
                if (state.pending.empty())
                    return;
            }
            grown = true;
            for (int i = 1; i < walkers && threads.start(work); ++i) {
            }
        };
        runWalker(state, &grow);
    }
    if (state.failure)
        std::rethrow_exception(state.failure);
    if (state.abandoned)
        return std::nullopt;
    return state.totals;
}

std::optional<FolderTotals> walkFolder(const std::string &path, int walkers, const SystemCalls &calls, std::chrono::milliseconds aloneFor)
{
    return walkFolder(openWalkStart(path, calls), walkers, calls, aloneFor);
}
