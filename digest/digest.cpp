#include "digest.h"


#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

const std::size_t DigestRingSlots = 4;

// The threads pay where the overlap saves more than they cost: starting them, and each chunk's
// hand-over from the reading core's cache to the hashing one's, is processor time the file's
// hashing does not need (about a tenth more, measured on a Xeon with SHA extensions and on an
// EPYC). Up to 16 MiB (a photo, a short clip) what the overlap saves is a few milliseconds; past
// it, it is what a user waiting on a large file feels, most in mode 2, where MD5 and SHA-1 run side
// by side.
const std::uint64_t DigestRingFrom = 16 * 1024 * 1024 + 1;

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
        const SysResult started = state_.start(algorithm);
        loadable_ = started.ok() || digestLibraryProblem().empty();
        check(started);
    }
    // False when the system's digest library could not be loaded.
    bool isLoadable() const { return loadable_; }
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

// The open target, the calls that read it (and the gate they hold, which says when a termination
// came; none in tests that run the mode alone), the size of one read, and whether a lease on it
// says when a writer asks for it.
struct Target {
    const Handle &handle;
    const SystemCalls &calls;
    std::size_t chunkSize;
    std::uint64_t ringFrom;
    bool leased = false;
};

// True when a writer asked for the leased file, or the lease cannot tell; the read then stops, and
// the lease is let go as it ends.
bool isLeaseBroken(const Target &file)
{
    bool broken = true;
    const SysResult looked = file.calls.isLeaseBroken(file.handle, broken);
    throwIfOutOfMemory(looked);
    return !looked.ok() || broken;
}

// True when a termination came: the read stops there, its digest no longer wanted. One sent to
// this thread alone is passed on to the process by the asking.
bool isEnding(const Target &file)
{
    return file.calls.terminationGate && file.calls.terminationGate->isEnding();
}

// Reads the next chunk; -1 when the read failed, a termination came, or a writer asked for the
// leased file (it is let go at once: the writer waits for no more than one read).
std::int64_t readNext(const Target &file, char *buffer)
{
    if (isEnding(file) || (file.leased && isLeaseBroken(file)))
        return -1;
    std::size_t count = 0;
    const SysResult read = file.calls.readChunk(file.handle, buffer, file.chunkSize, count);
    throwIfOutOfMemory(read);
    return read.ok() ? std::int64_t(count) : -1;
}

// Feeds every chunk of the ring to hash, in order, until the end, a failed read or abandonment.
// A termination sent to this thread alone is passed on as it ends, not lost with it.
void consumeRing(ChunkRing &ring, Hash &hash, const Target &file)
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
    isEnding(file);
}

// Reads the file into the ring; false when a read failed.
bool fillRing(const Target &file, ChunkRing &ring)
{
    for (std::uint64_t sequence = 0;; ++sequence) {
        char *buffer = ring.acquire(sequence);
        if (!buffer)
            return false;
        std::int64_t size = -1;
        try {
            size = readNext(file, buffer);
        } catch (...) {
            ring.publish(sequence, -1);
            throw;
        }
        ring.publish(sequence, size);
        if (size <= 0)
            return size == 0;
    }
}

// Feeds every chunk of the file to each hash, in order, on this thread; false when a read fails.
bool feedHashes(const Target &file, const std::vector<Hash *> &hashes)
{
    const Bytes buffer = makeBytes(file.chunkSize);
    for (;;) {
        const std::int64_t size = readNext(file, buffer.get());
        if (size <= 0)
            return size == 0;
        for (Hash *hash : hashes)
            hash->add(buffer.get(), std::size_t(size));
    }
}

// Joins the hashing threads however the read ends.
struct Joiner {
    std::vector<std::thread> &threads;
    ~Joiner()
    {
        for (std::thread &thread : threads)
            thread.join();
    }
};

// Reads the file into the ring on this thread while each hash takes every chunk on a thread of
// its own, so that the reads' copying overlaps the hashing, and MD5 and SHA-1 overlap each other;
// false when a read fails. Where the system gives no threads, the hashes take each chunk on this
// one.
bool hashAlongside(const Target &file, const std::vector<Hash *> &hashes)
{
    ChunkRing ring(int(hashes.size()), file.chunkSize);
    std::vector<std::thread> threads;
    threads.reserve(hashes.size());
    {
        const Joiner join{threads};
        try {
            for (Hash *hash : hashes)
                threads.emplace_back(consumeRing, std::ref(ring), std::ref(*hash), std::cref(file));
        } catch (const std::system_error &) {
            ring.abandon();
        } catch (...) {
            // Out of memory as a thread starts: those started must not wait for chunks for ever.
            ring.abandon();
            throw;
        }
        if (threads.size() == hashes.size()) {
            // Whatever ends the read early, the hashing threads must not wait for chunks that never come.
            try {
                return fillRing(file, ring);
            } catch (...) {
                ring.abandon();
                throw;
            }
        }
    }
    // Nothing was read yet: the hashes have seen nothing.
    return feedHashes(file, hashes);
}

struct Digests {
    QByteArray md5;
    QByteArray sha1;
};

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

// The lease taken on a file read along the ring, let go however the read ends.
class LeaseHold {
public:
    explicit LeaseHold(const Target &file) : file_(file)
    {
        const SysResult taken = file.calls.holdReadLease(file.handle);
        throwIfOutOfMemory(taken);
        held_ = taken.ok();
    }
    LeaseHold(const LeaseHold &) = delete;
    LeaseHold &operator=(const LeaseHold &) = delete;
    ~LeaseHold()
    {
        if (held_)
            file_.calls.releaseLease(file_.handle);
    }
    bool isHeld() const { return held_; }

private:
    const Target &file_;
    bool held_ = false;
};

// Feeds the file of size bytes to the hashes; false when a read fails, or the file was seen to
// change. A small file is read whole by offset, hashed, and read again: other bytes, or an end
// elsewhere, is a write during the read and the hashing, however quick, whatever the clock. Any
// other file, and a small one that gave more than its size or cannot be read by offset, is read
// from its start until a read finds its end, whatever the size said: under a read lease where the
// system grants one (a writer's open or truncation breaks it, looked for before every read and
// once the hashing is done), else under the kernel's watch where it keeps one. The lease costs
// nothing to let go; the watch's end waits for the kernel's readers of watches to pass. Such a
// file stated to be of ringFrom bytes or more is hashed along the ring, any other on this thread.
bool feedFile(const Target &file, std::uint64_t size, const std::vector<Hash *> &hashes)
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
    const auto hashAll = [&](const Target &target) {
        return size >= target.ringFrom ? hashAlongside(target, hashes) : feedHashes(target, hashes);
    };
    const LeaseHold lease(file);
    if (lease.isHeld()) {
        const Target leased{file.handle, file.calls, file.chunkSize, file.ringFrom, true};
        return hashAll(leased) && !isLeaseBroken(leased);
    }
    Handle watch;
    const SysResult watched = file.calls.watchForChanges(file.handle, watch);
    throwIfOutOfMemory(watched);
    return hashAll(file) && !(watched.ok() && hasChanged(file.calls, watch));
}

// Hashes the file of size bytes (as it was before the read) for the mode; false when a read or
// the library failed.
bool hashFile(const Target &file, std::uint64_t size, int mode, Digests &digests)
{
    Hash md5(DigestAlgorithm::Md5), sha1(DigestAlgorithm::Sha1);
    if (!md5.isLoadable() || !sha1.isLoadable()) {
        // Not a quiet missing report: whoever installed the helper can act on the loader's words.
        const std::string said = "cannot load the digest library: " + digestLibraryProblem() + ": no result written";
        writeErrorLine(said.c_str());
        return false;
    }
    switch (mode) {
    case 0:
        return feedFile(file, size, {&md5}) && md5.finish(digests.md5);
    case 1:
        return feedFile(file, size, {&sha1}) && sha1.finish(digests.sha1);
    default:
        return feedFile(file, size, {&md5, &sha1}) && md5.finish(digests.md5) && sha1.finish(digests.sha1);
    }
}

ReportList entriesFor(int mode, const Digests &digests)
{
    const ReportEntry md5 = {QStringLiteral("MD5"), QString::fromLatin1(digests.md5)};
    const ReportEntry sha1 = {QStringLiteral("SHA1"), QString::fromLatin1(digests.sha1)};
    switch (mode) {
    case 0: return {md5};
    case 1: return {sha1};
    default: return {md5, sha1};
    }
}

// True when the file kept its size and times from before the read to after it.
bool isUnchanged(const FileStatus &before, const FileStatus &after)
{
    return before.size == after.size && before.modified == after.modified && before.changed == after.changed;
}

} // namespace

std::optional<Report> digestReport(int mode, const std::string &path, const SystemCalls &calls, std::uint64_t ringFrom)
{
    Handle file;
    Report report;
    const SysResult opened = calls.openForReading(path, file);
    throwIfOutOfMemory(opened);
    Digests digests;
    if (opened.kind == SysError::Denied || opened.kind == SysError::Locked) {
        // The file is there but closed to us: say so with empty values, and still guard it.
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
        // kernel's watch, kept for the others only: its end costs milliseconds (the kernel waits
        // for its readers of watches to pass), more than a small file's whole call.
        if (!hashFile(Target{file, calls, digestChunkSize(), ringFrom}, before.size, mode, digests))
            return std::nullopt;
        looked = calls.statusOfHandle(file, after);
        throwIfOutOfMemory(looked);
        if (!looked.ok() || !isUnchanged(before, after))
            return std::nullopt;
    }
    report.entries = entriesFor(mode, digests);
    return report;
}
