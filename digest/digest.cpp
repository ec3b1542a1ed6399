#include "digest.h"


#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

// Large enough that system calls cost nothing next to the hashing, small enough that the ring
// stays within a few MiB.
const std::size_t DigestChunkSize = 512 * 1024;
const std::size_t DigestRingSlots = 4;

namespace {

// One running digest whose every call is checked: once one failed, it gives no value.
class Hash {
public:
    explicit Hash(DigestAlgorithm algorithm) { check(state_.start(algorithm)); }
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
};

// The chunks of one file on their way from the reader to the hashing threads: the reader acquires
// a slot, fills it and publishes it; each consumer takes every chunk in order and releases it;
// a slot is reused once every consumer has released it.
class ChunkRing {
public:
    explicit ChunkRing(int consumers) : consumers_(consumers), slots_(DigestRingSlots) {}

    // Waits until chunk `sequence`'s slot is free and returns its buffer; null once abandoned.
    char *acquire(std::uint64_t sequence)
    {
        Slot &slot = slotOf(sequence);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return abandoned_ || slot.consumersLeft == 0; });
        if (abandoned_)
            return nullptr;
        slot.bytes.resize(DigestChunkSize);
        return slot.bytes.data();
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
        bytes = slot.bytes.data();
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
        std::vector<char> bytes;
        std::uint64_t sequence = ~std::uint64_t(0);
        std::int64_t size = 0;
        int consumersLeft = 0;
    };
    Slot &slotOf(std::uint64_t sequence) { return slots_[sequence % slots_.size()]; }

    const int consumers_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool abandoned_ = false;
};

// The open target and the calls that read it.
struct Target {
    const Handle &handle;
    const SystemCalls &calls;
};

// Reads the next chunk; -1 when the read failed.
std::int64_t readNext(const Target &file, char *buffer)
{
    std::size_t count = 0;
    const SysResult read = file.calls.readChunk(file.handle, buffer, DigestChunkSize, count);
    throwIfOutOfMemory(read);
    return read.ok() ? std::int64_t(count) : -1;
}

// Feeds every chunk of the ring to hash, in order, until the end, a failed read or abandonment.
void consumeRing(ChunkRing &ring, Hash &hash)
{
    for (std::uint64_t sequence = 0;; ++sequence) {
        const char *bytes = nullptr;
        std::int64_t size = 0;
        if (!ring.take(sequence, bytes, size))
            return;
        if (size > 0)
            hash.add(bytes, std::size_t(size));
        ring.release(sequence);
        if (size <= 0)
            return;
    }
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
bool feedHashes(const Target &file, Hash *first, Hash *second)
{
    std::vector<char> buffer(DigestChunkSize);
    for (;;) {
        const std::int64_t size = readNext(file, buffer.data());
        if (size <= 0)
            return size == 0;
        first->add(buffer.data(), std::size_t(size));
        if (second)
            second->add(buffer.data(), std::size_t(size));
    }
}

// Joins a hashing thread however the read ends.
struct Joiner {
    std::thread &thread;
    ~Joiner()
    {
        if (thread.joinable())
            thread.join();
    }
};

// Reads the file into the ring on this thread while MD5 and SHA-1 each take every chunk on a
// thread of their own; false when a read fails. Where the system gives no threads, both hashes
// take each chunk on this one.
bool hashSideBySide(const Target &file, Hash &md5, Hash &sha1)
{
    ChunkRing ring(2);
    std::thread md5Thread, sha1Thread;
    const Joiner joinMd5{md5Thread}, joinSha1{sha1Thread};
    try {
        md5Thread = std::thread(consumeRing, std::ref(ring), std::ref(md5));
        sha1Thread = std::thread(consumeRing, std::ref(ring), std::ref(sha1));
    } catch (const std::system_error &) {
        ring.abandon();
        if (md5Thread.joinable())
            md5Thread.join();
        // Nothing was read yet: the hashes have seen nothing.
        return feedHashes(file, &md5, &sha1);
    }
    // Whatever ends the read early, the hashing threads must not wait for chunks that never come.
    try {
        return fillRing(file, ring);
    } catch (...) {
        ring.abandon();
        throw;
    }
}

struct Digests {
    QByteArray md5;
    QByteArray sha1;
};

// Hashes the file for the mode; false when a read or the library failed.
bool hashFile(const Target &file, int mode, Digests &digests)
{
    Hash md5(DigestAlgorithm::Md5), sha1(DigestAlgorithm::Sha1);
    switch (mode) {
    case 0:
        return feedHashes(file, &md5, nullptr) && md5.finish(digests.md5);
    case 1:
        return feedHashes(file, &sha1, nullptr) && sha1.finish(digests.sha1);
    default:
        return hashSideBySide(file, md5, sha1) && md5.finish(digests.md5) && sha1.finish(digests.sha1);
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

std::optional<Report> digestReport(int mode, const std::string &path, const SystemCalls &calls)
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
        if (!hashFile(Target{file, calls}, mode, digests))
            return std::nullopt;
        looked = calls.statusOfHandle(file, after);
        throwIfOutOfMemory(looked);
        if (!looked.ok() || !isUnchanged(before, after))
            return std::nullopt;
    }
    report.entries = entriesFor(mode, digests);
    return report;
}
