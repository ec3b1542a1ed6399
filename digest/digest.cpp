#include "digest.h"

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Large enough that system calls cost nothing next to the hashing, small enough that the ring
// stays within a few MiB.
const std::size_t ChunkSize = 512 * 1024;
const std::size_t RingSlots = 4;

struct Digests {
    QByteArray md5;
    QByteArray sha1;
};

// A running digest that releases its state however the hashing ends.
struct Hash {
    RunningDigest digest;
    explicit Hash(DigestAlgorithm algorithm) { startDigest(algorithm, digest); }
    ~Hash() { discardDigest(digest); }
    Hash(const Hash &) = delete;
    Hash &operator=(const Hash &) = delete;
    void add(const char *bytes, std::int64_t size) { addToDigest(digest, bytes, std::size_t(size)); }
    QByteArray hex() { return QByteArray::fromStdString(finishDigest(digest)).toHex(); }
};

// Closes an open file however the hashing ends.
struct FileCloser {
    InputFile &file;
    ~FileCloser() { closeReadFile(file); }
};

// One buffer of the ring: chunk number `sequence` holds `size` bytes (0 at the end of the file,
// -1 after a failed read) until every consumer has taken it.
struct Slot {
    std::vector<char> bytes;
    std::uint64_t sequence = ~std::uint64_t(0);
    std::int64_t size = 0;
    int consumersLeft = 0;
};

// The chunks of one file on their way from the reader to the hashing threads.
struct Ring {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Slot> buffers = std::vector<Slot>(RingSlots);
    bool abandoned = false;
};

// Feeds every chunk of the ring to hash, in order, until the end or a failed read.
void consumeRing(Ring &ring, Hash &hash)
{
    for (std::uint64_t sequence = 0;; ++sequence) {
        Slot &slot = ring.buffers[sequence % RingSlots];
        std::unique_lock<std::mutex> lock(ring.mutex);
        ring.changed.wait(lock, [&] { return ring.abandoned || (slot.sequence == sequence && slot.consumersLeft > 0); });
        if (ring.abandoned)
            return;
        const std::int64_t size = slot.size;
        lock.unlock();
        if (size > 0)
            hash.add(slot.bytes.data(), size);
        lock.lock();
        --slot.consumersLeft;
        ring.changed.notify_all();
        if (size <= 0)
            return;
    }
}

// Reads the file into the ring for `consumers` threads; false when a read failed. A chunk's
// buffer is refilled only once every consumer has taken it.
bool fillRing(const InputFile &file, Ring &ring, int consumers)
{
    for (std::uint64_t sequence = 0;; ++sequence) {
        Slot &slot = ring.buffers[sequence % RingSlots];
        {
            std::unique_lock<std::mutex> lock(ring.mutex);
            ring.changed.wait(lock, [&] { return slot.consumersLeft == 0; });
        }
        slot.bytes.resize(ChunkSize);
        const std::int64_t size = readFileChunk(file, slot.bytes.data(), ChunkSize);
        {
            const std::lock_guard<std::mutex> lock(ring.mutex);
            slot.sequence = sequence;
            slot.size = size;
            slot.consumersLeft = consumers;
        }
        ring.changed.notify_all();
        if (size <= 0)
            return size == 0;
    }
}

// Feeds every chunk of the file to each hash, in order, on this thread; false when a read fails.
bool feedHashes(const InputFile &file, std::initializer_list<Hash *> hashes)
{
    std::vector<char> buffer(ChunkSize);
    for (;;) {
        const std::int64_t size = readFileChunk(file, buffer.data(), buffer.size());
        if (size <= 0)
            return size == 0;
        for (Hash *hash : hashes)
            hash->add(buffer.data(), size);
    }
}

// Reads the file into the ring on this thread while MD5 and SHA-1 each take every chunk on a
// thread of their own; false when a read fails. Where the system gives no threads, both hashes
// take each chunk on this one.
bool hashSideBySide(const InputFile &file, Hash &md5, Hash &sha1)
{
    Ring ring;
    std::thread md5Thread;
    std::thread sha1Thread;
    bool started = false;
    bool read = false;
    std::exception_ptr failure;
    try {
        md5Thread = std::thread(consumeRing, std::ref(ring), std::ref(md5));
        sha1Thread = std::thread(consumeRing, std::ref(ring), std::ref(sha1));
        started = true;
        read = fillRing(file, ring, 2);
    } catch (...) {
        failure = std::current_exception();
        const std::lock_guard<std::mutex> lock(ring.mutex);
        ring.abandoned = true;
    }
    ring.changed.notify_all();
    if (md5Thread.joinable())
        md5Thread.join();
    if (sha1Thread.joinable())
        sha1Thread.join();
    // Threads refused before anything was read: the hashes have seen nothing yet.
    if (failure && !started)
        return feedHashes(file, {&md5, &sha1});
    if (failure)
        std::rethrow_exception(failure);
    return read;
}

bool hashBoth(const InputFile &file, Digests &digests)
{
    Hash md5(DigestAlgorithm::Md5);
    Hash sha1(DigestAlgorithm::Sha1);
    if (!hashSideBySide(file, md5, sha1))
        return false;
    digests.md5 = md5.hex();
    digests.sha1 = sha1.hex();
    return true;
}

// One digest, on this thread; the system reads ahead, as the file is read in order.
bool hashOne(const InputFile &file, DigestAlgorithm algorithm, QByteArray &digest)
{
    Hash hash(algorithm);
    if (!feedHashes(file, {&hash}))
        return false;
    digest = hash.hex();
    return true;
}

bool hashFile(const InputFile &file, int mode, Digests &digests)
{
    switch (mode) {
    case 0: return hashOne(file, DigestAlgorithm::Md5, digests.md5);
    case 1: return hashOne(file, DigestAlgorithm::Sha1, digests.sha1);
    default: return hashBoth(file, digests);
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

} // namespace

std::optional<Report> digestReport(int mode, const QString &path)
{
    const std::string bytes = pathBytes(path);
    InputFile file;
    Report report;
    const FileOutcome opened = openReadFile(bytes, file);
    if (opened == FileOutcome::Failed)
        return std::nullopt;
    Digests digests;
    if (opened == FileOutcome::Refused) {
        // The file is there but closed to us: say so with empty values, and still guard it.
        if (identityOfPath(bytes, report.target) != FileOutcome::Done)
            return std::nullopt;
    } else {
        report.target = file.identity;
        const FileCloser closer{file};
        // A digest of part of the file would pass for the file's own.
        if (!hashFile(file, mode, digests))
            return std::nullopt;
    }
    report.entries = entriesFor(mode, digests);
    return report;
}
