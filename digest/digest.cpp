#include "digest.h"


#include <algorithm>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

const std::size_t DigestRingSlots = 4;

// The threads pay where the overlap saves more than they cost: starting them, and each chunk's
// hand-over from the reading core's cache to the hashing one's, is processor time the file's
// hashing does not need (about a tenth more, measured on a Xeon with SHA extensions and on an
// EPYC). Up to 16 MiB (a photo, a short clip) what the overlap saves is a few milliseconds; past
// it, it is what a user waiting on a large file feels, most in mode 2, where MD5 and SHA-1 run side
// by side.
const std::uint64_t DigestRingFrom = 16 * 1024 * 1024 + 1;

// Eight chunks (2 MiB at 256 KiB) each way: a median of eight survives a preemption or two, and
// the trial takes a fifth of the smallest file it runs on.
const int DigestTrialChunks = 8;

std::size_t digestChunkSize(std::size_t level2Bytes)
{
    // The reader copies each chunk out of the page cache on its core while the hash takes the
    // chunks before it on another: a ring of four chunks of a quarter of the core's second-level
    // cache each keeps both within that cache and the hand-overs between the threads few. Measured
    // on an EPYC (1 MiB): a quarter beat a sixteenth and a half; a processor that does not say
    // gets what that cache measured best with. Never below 64 KiB, where the hand-overs cost more
    // than the hashing they overlap, nor above 1 MiB.
    const std::size_t chunk = level2Bytes ? level2Bytes / 4 : 256 * 1024;
    return std::min<std::size_t>(std::max<std::size_t>(chunk, 64 * 1024), 1024 * 1024);
}

std::size_t digestChunkSize()
{
    return digestChunkSize(level2CacheBytes());
}

namespace {

// A buffer of bytes not zeroed, from the allocation function every new expression goes through.
struct FreeBytes {
    void operator()(char *bytes) const { ::operator delete(bytes); }
};
using Bytes = std::unique_ptr<char, FreeBytes>;

Bytes makeBytes(std::size_t size)
{
    return Bytes(static_cast<char *>(::operator new(size)));
}

// One running digest whose every call is checked: once one failed, it gives no value.
class Hash {
public:
    explicit Hash(DigestAlgorithm algorithm)
    {
        const SysResult started = state_.start(algorithm, refusal_);
        loadable_ = started.ok() || digestLibraryProblem().empty();
        check(started);
    }
    // False when the system's digest library could not be loaded.
    bool isLoadable() const { return loadable_; }
    // The library's words where it refused the algorithm; empty where it did not.
    const std::string &refusal() const { return refusal_; }
    void add(const char *bytes, std::size_t size)
    {
        if (ok_)
            check(state_.add(bytes, size));
    }
    // The digest as lowercase hex; false when a call of the library failed.
    bool finish(QByteArray &hex)
    {
        std::string value;
        if (ok_)
            check(state_.finish(value));
        if (ok_)
            hex = QByteArray::fromStdString(value).toHex();
        return ok_;
    }

private:
    void check(const SysResult &result)
    {
        throwIfOutOfMemory(result);
        ok_ = ok_ && result.ok();
    }
    DigestState state_;
    std::string refusal_;
    bool ok_ = true;
    bool loadable_ = true;
};

// The chunks of one file on their way from the reader to the hashing threads: the reader acquires
// a slot, fills it and publishes it; each consumer takes every chunk in order and releases it;
// a slot is reused once every consumer has released it.
class ChunkRing {
public:
    ChunkRing(int consumers, std::size_t chunkSize) : consumers_(consumers), chunkSize_(chunkSize), slots_(DigestRingSlots) {}

    // Waits until chunk `sequence`'s slot is free and returns its buffer; null once abandoned.
    char *acquire(std::uint64_t sequence)
    {
        Slot &slot = slotOf(sequence);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return abandoned_ || slot.consumersLeft == 0; });
        if (abandoned_)
            return nullptr;
        // Made when first used, and not zeroed: a file of two chunks touches two slots' pages.
        if (!slot.bytes)
            slot.bytes = makeBytes(chunkSize_);
        return slot.bytes.get();
    }
    // Hands chunk `sequence` of size bytes to every consumer; 0 says the file ended, -1 that it
    // could not be read.
    void publish(std::uint64_t sequence, std::int64_t size)
    {
        Slot &slot = slotOf(sequence);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            slot.sequence = sequence;
            slot.size = size;
            slot.consumersLeft = consumers_;
        }
        changed_.notify_all();
    }
    // Waits for chunk `sequence`; stores its bytes and size. False once abandoned.
    bool take(std::uint64_t sequence, const char *&bytes, std::int64_t &size)
    {
        Slot &slot = slotOf(sequence);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return abandoned_ || (slot.sequence == sequence && slot.consumersLeft > 0); });
        if (abandoned_)
            return false;
        bytes = slot.bytes.get();
        size = slot.size;
        return true;
    }
    // Gives chunk `sequence` back, once this consumer is done with it.
    void release(std::uint64_t sequence)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            --slotOf(sequence).consumersLeft;
        }
        changed_.notify_all();
    }
    // Wakes everyone for good: the read ended early.
    void abandon()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            abandoned_ = true;
        }
        changed_.notify_all();
    }

private:
    struct Slot {
        Bytes bytes;
        std::uint64_t sequence = ~std::uint64_t(0);
        std::int64_t size = 0;
        int consumersLeft = 0;
    };
    Slot &slotOf(std::uint64_t sequence) { return slots_[sequence % slots_.size()]; }

    const int consumers_;
    const std::size_t chunkSize_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool abandoned_ = false;
};

using Clock = std::chrono::steady_clock;

std::int64_t nanosecondsOf(Clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
}

// The median of samples, which it reorders; 0 for none.
std::int64_t medianOf(std::vector<std::int64_t> &samples)
{
    if (samples.empty())
        return 0;
    std::nth_element(samples.begin(), samples.begin() + std::ptrdiff_t(samples.size() / 2), samples.end());
    return samples[samples.size() / 2];
}

// The open target, the calls that read it (and the gate they hold, which says when a termination
// came; none in tests that run the mode alone), the size of one read, and the way it is hashed.
struct Target {
    const Handle &handle;
    const SystemCalls &calls;
    std::size_t chunkSize;
    DigestWay way;
};

// True when a termination came: the read stops there, its digest no longer wanted. One sent to
// this thread alone is passed on to the process by the asking.
bool isEnding(const Target &file)
{
    return file.calls.terminationGate && file.calls.terminationGate->isEnding();
}

// Reads the next chunk; -1 when the read failed or a termination came.
std::int64_t readNext(const Target &file, char *buffer)
{
    if (isEnding(file))
        return -1;
    std::size_t count = 0;
    const SysResult read = file.calls.readChunk(file.handle, buffer, file.chunkSize, count);
    throwIfOutOfMemory(read);
    return read.ok() ? std::int64_t(count) : -1;
}

// How a run of reads ended: at the file's end, at a failed read, or with more to read.
enum class Fed { End, Failed, More };

// Feeds every chunk of the ring to hash, in order, until the end, a failed read or abandonment.
void consumeRing(ChunkRing &ring, Hash &hash)
{
    for (std::uint64_t sequence = 0;; ++sequence) {
        const char *bytes = nullptr;
        std::int64_t size = 0;
        if (!ring.take(sequence, bytes, size))
            break;
        if (size > 0)
            hash.add(bytes, std::size_t(size));
        ring.release(sequence);
        if (size <= 0)
            break;
    }
}

// Reads the file into the ring until its end or a failed read. Where stayOn is given, the
// DigestTrialChunks reads after the ring's first turn are timed, and stayOn(their median in
// nanoseconds) says whether the ring keeps the rest: More where it does not, the hashing threads
// told that the ring ends there.
Fed fillRing(const Target &file, ChunkRing &ring, const std::function<bool(std::int64_t)> &stayOn)
{
    const std::uint64_t timedFrom = DigestRingSlots, decideAt = DigestRingSlots + DigestTrialChunks;
    std::vector<std::int64_t> intervals;
    Clock::time_point last;
    for (std::uint64_t sequence = 0;; ++sequence) {
        char *buffer = ring.acquire(sequence);
        if (!buffer)
            return Fed::Failed;
        if (stayOn && sequence <= decideAt) {
            // From one free slot to the next: what a chunk costs once the hashing sets the pace.
            const Clock::time_point now = Clock::now();
            if (sequence > timedFrom)
                intervals.push_back(nanosecondsOf(now - last));
            last = now;
            if (sequence == decideAt && !stayOn(medianOf(intervals))) {
                ring.publish(sequence, 0);
                return Fed::More;
            }
        }
        std::int64_t size = -1;
        try {
            size = readNext(file, buffer);
        } catch (...) {
            ring.publish(sequence, -1);
            throw;
        }
        ring.publish(sequence, size);
        if (size <= 0)
            return size == 0 ? Fed::End : Fed::Failed;
    }
}

// Feeds the file's chunks to each hash, in order, on this thread: to its end, or at most chunks of
// them where chunks is not negative, each one's time in nanoseconds added to times where given.
Fed feedHashes(const Target &file, const std::vector<Hash *> &hashes, std::int64_t chunks = -1, std::vector<std::int64_t> *times = nullptr)
{
    const Bytes buffer = makeBytes(file.chunkSize);
    for (std::int64_t fed = 0; chunks < 0 || fed < chunks; ++fed) {
        const Clock::time_point began = Clock::now();
        const std::int64_t size = readNext(file, buffer.get());
        if (size <= 0)
            return size == 0 ? Fed::End : Fed::Failed;
        for (Hash *hash : hashes)
            hash->add(buffer.get(), std::size_t(size));
        if (times)
            times->push_back(nanosecondsOf(Clock::now() - began));
    }
    return Fed::More;
}

// The stack of a hashing thread: the library's digest calls take a few hundred bytes, and a
// thread's default stack (8 MiB) would be address space a run under a limit may not have.
const std::size_t HashStackBytes = 128 * 1024;

// The hashing threads of one ring, joined however the read ends.
class HashingThreads {
public:
    explicit HashingThreads(std::size_t count)
    {
        work_.reserve(count);
        threads_.reserve(count);
    }
    HashingThreads(const HashingThreads &) = delete;
    HashingThreads &operator=(const HashingThreads &) = delete;
    ~HashingThreads()
    {
        for (NativeHandle thread : threads_)
            joinThread(thread);
    }
    // Starts work on a thread of its own (at most count of them); false when the system gives none.
    bool start(std::function<void()> work)
    {
        // Reserved: a thread's work never moves while it runs.
        work_.push_back(std::move(work));
        NativeHandle thread;
        if (!startThread(HashStackBytes, &work_.back(), thread))
            return false;
        threads_.push_back(thread);
        return true;
    }

private:
    std::vector<std::function<void()>> work_;
    std::vector<NativeHandle> threads_;
};

// Reads the file into the ring on this thread while each hash takes every chunk on a thread of
// its own, so that the reads' copying overlaps the hashing, and MD5 and SHA-1 overlap each other,
// until the end, a failed read, or stayOn's choice (fillRing). Where the system gives no
// threads, the hashes take the rest on this one.
Fed hashAlongside(const Target &file, const std::vector<Hash *> &hashes, const std::function<bool(std::int64_t)> &stayOn)
{
    ChunkRing ring(int(hashes.size()), file.chunkSize);
    {
        HashingThreads threads(hashes.size());
        try {
            bool started = true;
            for (Hash *hash : hashes) {
                if (!(started = threads.start([&ring, hash] { consumeRing(ring, *hash); })))
                    break;
            }
            if (started)
                return fillRing(file, ring, stayOn);
        } catch (...) {
            // Whatever ends the read early (out of memory as a thread starts among it), the
            // hashing threads must not wait for chunks that never come.
            ring.abandon();
            throw;
        }
        ring.abandon();
    }
    // Nothing was read into the ring: the hashes have seen all that was read before it.
    return feedHashes(file, hashes);
}

// Hashes the file from where its reads stand to its end, the way file.way says for a file of size
// bytes; false when a read failed.
bool hashRest(const Target &file, std::uint64_t size, const std::vector<Hash *> &hashes)
{
    DigestWay way = file.way;
    if (way == DigestWay::Chosen && size < DigestRingFrom)
        way = DigestWay::ReadingThread;
    if (way == DigestWay::ReadingThread)
        return feedHashes(file, hashes) == Fed::End;
    if (way == DigestWay::Ring)
        return hashAlongside(file, hashes, nullptr) == Fed::End;
    // What the threads gain or cost is this processor's (its cores' caches, their hashing
    // instructions, how many are free now) and this file's (in the page cache or not), so it is
    // timed, not guessed from the size: a Xeon with SHA extensions hashes SHA-1 faster than the
    // hand-over of chunks between its cores allows, an EPYC the other way round.
    std::vector<std::int64_t> times;
    Fed fed = feedHashes(file, hashes, DigestTrialChunks, &times);
    if (fed != Fed::More)
        return fed == Fed::End;
    const std::int64_t alone = medianOf(times);
    // The ring keeps the rest where it is clearly faster: its threads cost processor time besides.
    const auto stayOn = [&](std::int64_t alongside) {
        return way == DigestWay::TrialThenRing || (way == DigestWay::Chosen && alongside * 100 < alone * 97);
    };
    fed = hashAlongside(file, hashes, stayOn);
    if (fed != Fed::More)
        return fed == Fed::End;
    return feedHashes(file, hashes) == Fed::End;
}

// True when the file of size bytes is read whole at once, and hashed on this thread: threads to
// overlap the reads with the hashing would cost more than they save.
bool fitsOneRead(const Target &file, std::uint64_t size)
{
    return size < file.chunkSize;
}

// How a whole read of a small file ended.
enum class WholeRead {
    Whole,          // up to the read that found the end
    PastStatedSize, // the file gave more than the size it stated (a /proc file states 0)
    CannotSeek,     // the file cannot be read at an offset (a FUSE file opened non-seekable)
    Failed,         // a read failed, or a termination came
};

// Reads a small file whole into bytes by offset, up to the read that finds its end, which must
// come within the size it stated. The file's offset stays where it was.
WholeRead readWhole(const Target &file, std::uint64_t size, std::vector<char> &bytes)
{
    if (isEnding(file))
        return WholeRead::Failed;
    bytes.resize(std::size_t(size) + 1);
    for (std::size_t got = 0;;) {
        if (got == bytes.size())
            return WholeRead::PastStatedSize;
        std::size_t count = 0;
        const SysResult read = file.calls.readChunkAt(file.handle, got, bytes.data() + got, bytes.size() - got, count);
        throwIfOutOfMemory(read);
        if (!read.ok())
            return read.kind == SysError::NotSupported && got == 0 ? WholeRead::CannotSeek : WholeRead::Failed;
        if (count == 0) {
            bytes.resize(got);
            return WholeRead::Whole;
        }
        got += count;
    }
}

// True when the watched file changed, or the watch cannot tell.
bool hasChanged(const SystemCalls &calls, const Handle &watch)
{
    bool changed = true;
    const SysResult looked = calls.hasChangedSince(watch, changed);
    throwIfOutOfMemory(looked);
    return !looked.ok() || changed;
}

// Feeds the file of size bytes to the hashes; false when a read fails, or the file was seen to
// change. A small file is read whole by offset, hashed, and read again: other bytes, or an end
// elsewhere, is a write during the read and the hashing, however quick, whatever the clock. Any
// other file, and a small one that gave more than its size or cannot be read by offset, is read
// from its start until a read finds its end, whatever the size said, under the kernel's watch
// where it keeps one: a writer is never refused nor held, and its write is seen. The watch is
// removed once its last look is taken and handed to keptOpen: its close, once the removal has
// run on in the kernel while the report is written, waits for nothing.
bool feedFile(const Target &file, std::uint64_t size, const std::vector<Hash *> &hashes, Handle &keptOpen)
{
    if (fitsOneRead(file, size)) {
        std::vector<char> bytes, again;
        const WholeRead first = readWhole(file, size, bytes);
        if (first == WholeRead::Failed)
            return false;
        if (first == WholeRead::Whole) {
            for (Hash *hash : hashes)
                hash->add(bytes.data(), bytes.size());
            return readWhole(file, size, again) == WholeRead::Whole && again == bytes;
        }
    }
    Handle watch;
    const SysResult watched = file.calls.watchForChanges(file.handle, watch);
    throwIfOutOfMemory(watched);
    const bool hashed = hashRest(file, size, hashes);
    if (!watched.ok())
        return hashed;
    const bool changed = hashed && hasChanged(file.calls, watch);
    throwIfOutOfMemory(file.calls.stopWatching(watch));
    keptOpen = std::move(watch);
    return hashed && !changed;
}

// The algorithms a mode reports, in the report's order: MD5 (mode 0), SHA-1 (1), or both.
std::vector<DigestAlgorithm> algorithmsOf(int mode)
{
    switch (mode) {
    case 0: return {DigestAlgorithm::Md5};
    case 1: return {DigestAlgorithm::Sha1};
    default: return {DigestAlgorithm::Md5, DigestAlgorithm::Sha1};
    }
}

QString keyOf(DigestAlgorithm algorithm)
{
    return algorithm == DigestAlgorithm::Md5 ? QStringLiteral("MD5") : QStringLiteral("SHA1");
}

// Hashes the file of size bytes (as it was before the read) with each algorithm of the mode and
// returns its entries; none when a read, or the library, failed or refused. Whoever installed
// the helper can act on the loader's or the library's words, said on the error stream.
std::optional<ReportList> hashFile(const Target &file, std::uint64_t size, int mode, Handle &keptOpen)
{
    const std::vector<DigestAlgorithm> algorithms = algorithmsOf(mode);
    std::vector<std::unique_ptr<Hash>> hashes;
    std::vector<Hash *> fed;
    for (const DigestAlgorithm algorithm : algorithms) {
        hashes.push_back(std::make_unique<Hash>(algorithm));
        fed.push_back(hashes.back().get());
        std::string said;
        if (!hashes.back()->isLoadable())
            said = "cannot load the digest library: " + digestLibraryProblem();
        else if (!hashes.back()->refusal().empty())
            said = std::string("the digest library refuses ") + (algorithm == DigestAlgorithm::Md5 ? "MD5" : "SHA-1") + ": " + hashes.back()->refusal();
        if (!said.empty()) {
            writeErrorLine((said + ": no result written").c_str());
            return std::nullopt;
        }
    }
    if (!feedFile(file, size, fed, keptOpen))
        return std::nullopt;
    ReportList entries;
    for (std::size_t i = 0; i < hashes.size(); ++i) {
        QByteArray hex;
        if (!hashes[i]->finish(hex))
            return std::nullopt;
        entries.append({keyOf(algorithms[i]), QString::fromLatin1(hex)});
    }
    return entries;
}

// True when the file kept its size and times from before the read to after it.
bool isUnchanged(const FileStatus &before, const FileStatus &after)
{
    return before.size == after.size && before.modified == after.modified && before.changed == after.changed;
}

} // namespace

std::optional<Report> digestReport(int mode, const std::string &path, const SystemCalls &calls, DigestWay way)
{
    Handle file;
    Report report;
    const SysResult opened = calls.openForReading(path, file);
    throwIfOutOfMemory(opened);
    if (opened.kind == SysError::Denied || opened.kind == SysError::Locked) {
        // The file is there but closed to us: say so with empty values, and still guard it.
        for (const DigestAlgorithm algorithm : algorithmsOf(mode))
            report.entries.append({keyOf(algorithm), QString()});
        FileStatus status;
        const SysResult looked = calls.statusOfPath(path, true, status);
        throwIfOutOfMemory(looked);
        if (!looked.ok())
            return std::nullopt;
        report.target = status;
    } else if (!opened.ok()) {
        return std::nullopt;
    } else {
        // The target test looked at the path; what opened may be something else put in its place.
        FileStatus before, after;
        SysResult looked = calls.statusOfHandle(file, before);
        throwIfOutOfMemory(looked);
        if (!looked.ok() || before.type != EntryType::Regular)
            return std::nullopt;
        report.target = before;
        // A digest of part of a file, or of a file that changed meanwhile, would pass for its own.
        // Times alone miss a change within their tick (1 s on ext4 with small inodes, 2 s on
        // FAT, whole seconds through sshfs): a small file's second read does not, nor does the
        // kernel's watch, kept for the others only: its start and end cost more than a small
        // file's second read.
        std::optional<ReportList> entries = hashFile(Target{file, calls, digestChunkSize(), way}, before.size, mode, report.keptOpen);
        if (!entries)
            return std::nullopt;
        report.entries = std::move(*entries);
        looked = calls.statusOfHandle(file, after);
        throwIfOutOfMemory(looked);
        if (!looked.ok() || !isUnchanged(before, after))
            return std::nullopt;
    }
    return report;
}
