#include "digest/ring.h"

#include "digest/digest.h"

#include <condition_variable>
#include <mutex>

const std::size_t DigestRingSlots = 4;

namespace digesting {
namespace {

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

// The stack of a hashing thread: the library's digest calls take a few hundred bytes, and a
// thread's default stack (8 MiB) would be address space a run under a limit may not have.
const std::size_t HashStackBytes = 128 * 1024;

} // namespace

Fed hashAlongside(const Target &file, const std::vector<Hash *> &hashes, const std::function<bool(std::int64_t)> &stayOn)
{
    ChunkRing ring(int(hashes.size()), file.chunkSize);
    {
        ThreadGroup threads(HashStackBytes);
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

} // namespace digesting
