#include "walk.h"

#include "platform/platform.h"

#include <QDebug>

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

namespace {

// One folder on a chain of ancestors, from a folder's parent up to the start folder, shared by
// every folder below it and freed when the last hold on it goes.
struct Ancestor {
    FileIdentity identity;
    Ancestor *parent;                  // one of the parent's holds
    std::size_t depth;                 // links from the start folder's, which is 1
    std::atomic<std::size_t> holds{1};
};

// A hold on a chain of ancestors. The last hold on a link frees it and then drops the link's hold
// on its parent, one link at a time, not by recursion, however deep the chain. Each hold is let go
// by an exchange that both publishes the holder's reads of the chain and sees every other holder's
// before the link is freed (a shared_ptr's count read on its own would see neither).
class Chain {
public:
    Chain() = default;
    Chain(const FileIdentity &identity, Chain parent) : link_(new Ancestor{identity, parent.link_, parent.depth() + 1}) { parent.link_ = nullptr; }
    Chain(const Chain &other) : link_(other.link_)
    {
        if (link_)
            link_->holds.fetch_add(1, std::memory_order_relaxed);
    }
    Chain(Chain &&other) noexcept : link_(std::exchange(other.link_, nullptr)) {}
    Chain &operator=(Chain other) noexcept
    {
        std::swap(link_, other.link_);
        return *this;
    }
    ~Chain()
    {
        for (Ancestor *link = link_; link && link->holds.fetch_sub(1, std::memory_order_acq_rel) == 1;) {
            Ancestor *const parent = link->parent;
            delete link;
            link = parent;
        }
    }
    // The nearest link, or null for the start folder's own chain.
    const Ancestor *nearest() const { return link_; }
    // How many folders the chain holds.
    std::size_t depth() const { return link_ ? link_->depth : 0; }

private:
    Ancestor *link_ = nullptr;
};

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

// A chain of folders deeper than any path the system can name (32,767 characters, two a folder at
// the least) is a loop, where folders have no identity to compare: no real tree reaches it.
const std::size_t DeepestUnknownChain = 16384;

// Walker stacks stay small: the walk does not recurse.
const std::size_t WalkerStackBytes = 512 * 1024;

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

// The standard library's wording of a filesystem error: "filesystem error: WHAT: REASON [PATH]".
std::string failureText(const char *what, const std::string &reason, const std::string &path)
{
    return std::string("filesystem error: ") + what + ": " + reason + " [" + path + "]";
}

std::string failureText(const char *what, const SysResult &result, const std::string &path)
{
    return failureText(what, errorTextOf(result.code), path);
}

// A message that cannot be written for want of memory is dropped: it must not end the process.
void logFailure(const std::string &text)
{
    try {
        qDebug("%s", text.c_str());
    } catch (...) {
    }
}


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

// How the walk goes on after one folder.
enum class Next { Continue, Abandon };

// Where in the walk the system said something.
enum class Step {
    OpenStart,        // opening the start folder
    ListStart,        // listing the start folder (or looking at its handle)
    OpenSubfolder,    // opening a subfolder listed by its parent
    ListNotBegun,     // a subfolder's listing failing before its first entry
    ListBrokeOff,     // a subfolder's listing failing part way
    SizeEntry,        // looking at a listed entry that the listing did not size
};

// What the walk does about it.
enum class Effect {
    Go,     // it worked: go on
    Count,  // a folder with nothing in it that can be seen: it counts, nothing below it does
    Skip,   // neither it nor anything below it counts
    GiveUp, // nothing certain can be said of the tree: no report
};

struct Response {
    Effect effect;
    bool logged;
};

// True while the start folder still answers through its handle: a failure below it is then the
// failure of one folder or entry, not of the volume, share or device the tree is on.
bool startAnswers(const WalkState &state)
{
    FileStatus status;
    return state.calls.statusOfHandle(state.start.handle, status).ok();
}

// The one place that says what an outcome means for the walk, each step's once. Out of memory
// ends the mode; out of file handles, or a volume, share or device gone, leaves nothing certain;
// so does any failure below a start folder that no longer answers.
Response respondTo(Step step, const SysResult &result, const WalkState &state)
{
    throwIfOutOfMemory(result);
    if (result.ok())
        return {Effect::Go, false};
    if (result.kind == SysError::OutOfHandles || result.kind == SysError::Gone)
        return {Effect::GiveUp, true};
    switch (step) {
    case Step::OpenStart:
        // Closed to the user: a folder with nothing in it that can be seen.
        return result.kind == SysError::Denied ? Response{Effect::Count, false} : Response{Effect::GiveUp, true};
    case Step::ListStart:
        return {Effect::GiveUp, true};
    case Step::OpenSubfolder:
        // Closed to the user, or a name past the system's limit: a folder with nothing in it.
        if (result.kind == SysError::Denied || result.kind == SysError::NameTooLong)
            return {Effect::Count, false};
        // A link or file swapped in since the parent was listed: never walked, not counted.
        if (result.kind == SysError::NotAFolder)
            return {Effect::Skip, true};
        // Gone since its parent was listed, or there but saying nothing more (an I/O error).
        return startAnswers(state) ? Response{Effect::Count, true} : Response{Effect::GiveUp, true};
    case Step::ListNotBegun:
        return startAnswers(state) ? Response{Effect::Count, true} : Response{Effect::GiveUp, true};
    case Step::ListBrokeOff:
        // What it summed is kept; the folder does not count.
        return startAnswers(state) ? Response{Effect::Skip, true} : Response{Effect::GiveUp, true};
    case Step::SizeEntry:
        return result.kind == SysError::Missing || startAnswers(state) ? Response{Effect::Skip, true}
                                                                      : Response{Effect::GiveUp, true};
    }
    return {Effect::GiveUp, true};
}

// The standard library's wording of what failed at each step.
const char *failureOf(Step step)
{
    switch (step) {
    case Step::OpenStart:
    case Step::OpenSubfolder:
        return "directory iterator cannot open directory";
    case Step::SizeEntry:
        return "cannot get file size";
    default:
        return "directory iterator cannot advance";
    }
}

// Returns the walk's response to an outcome at a step on path, logging it where it says so.
Response respond(Step step, const SysResult &result, const WalkState &state, const std::string &path)
{
    const Response response = respondTo(step, result, state);
    if (response.logged)
        logFailure(failureText(failureOf(step), result, path));
    return response;
}

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
            return respond(Step::SizeEntry, looked, state, joinPath(folder.path, entry.name)).effect == Effect::GiveUp
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
    if (respond(Step::ListStart, result, state, state.start.path).effect != Effect::Go || listing.givenUp)
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
    const Response open = respond(Step::OpenSubfolder, openSubfolderWaiting(state, folder, opened, count), state, path);
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
    const Response listed = respond(listing.entriesRead == 0 ? Step::ListNotBegun : Step::ListBrokeOff, result, state, path);
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

// Joins every thread it started when it goes, however the walk ends.
class Threads {
public:
    Threads() = default;
    Threads(const Threads &) = delete;
    Threads &operator=(const Threads &) = delete;
    ~Threads()
    {
        for (NativeHandle thread : threads_)
            joinThread(thread);
    }
    // Starts work on a new thread; false when the system gives none.
    bool start(const std::function<void()> *work)
    {
        threads_.reserve(threads_.size() + 1);
        NativeHandle thread;
        if (!startThread(WalkerStackBytes, work, thread))
            return false;
        threads_.push_back(thread);
        return true;
    }

private:
    std::vector<NativeHandle> threads_;
};

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
    switch (respond(Step::OpenStart, start.opened, state, state.start.path).effect) {
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
        Threads threads;
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
            for (int i = 1; i < walkers && threads.start(&work); ++i) {
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
