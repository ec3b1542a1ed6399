#include "digest/ways.h"

#include "digest/digest.h"
#include "digest/ring.h"

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

namespace digesting {
namespace {

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
    // The ring keeps the rest only where it is clearly faster: its threads cost processor time
    // besides, and on a machine as busy as its cores (two threads hashing, one reading, on two)
    // its pace varies by a factor of three from one trial to the next (seen on the EPYC).
    const auto stayOn = [&](std::int64_t alongside) {
        return way == DigestWay::TrialThenRing || (way == DigestWay::Chosen && alongside * 100 < alone * 80);
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
    return !looked.ok() || changed;
}

} // namespace

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
    const bool hashed = hashRest(file, size, hashes);
    if (!watched.ok())
        return hashed;
    const bool changed = hashed && hasChanged(file.calls, watch);
    file.calls.stopWatching(watch);
    keptOpen = std::move(watch);
    return hashed && !changed;
}

} // namespace digesting
