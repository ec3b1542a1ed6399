#include "writer.h"

#include "platform/wtf8.h"

#include <algorithm>
#include <vector>

const int RetryDelaysMs[7] = {0, 50, 100, 200, 400, 800, 1000};

namespace {

// How an attempt to replace the file whole ended: done; not possible here, so that writing in
// place is the way (the folder takes no new file, the replacement could not keep what the user
// set on the earlier file, the rename stays refused); the system cannot name an unnamed file, so
// that a named temporary is the way; or failed.
enum class Replacement { Done, NotHere, Unnamable, Failed };

Replacement replacementFailed(const SysResult &result)
{
    throwIfOutOfMemory(result);
    return Replacement::Failed;
}

// What a wait or a step gives up with when a termination is pending: the process is ending.
const SysResult Ending = {SysError::Other, 0};

// Waits ms milliseconds before a retry; false, at once, when a termination is pending, so that no
// retry keeps the process from ending.
bool pauseBeforeRetry(const SystemCalls &calls, int ms)
{
    if (calls.terminationGate)
        return calls.terminationGate->sleepUnlessEnding(ms);
    calls.sleepMilliseconds(ms);
    return true;
}

// One of the writer's steps that a termination signal must not cut short, for as long as it lives:
// the process then ends once it is over. Not entered where a termination is pending already.
class Step {
public:
    explicit Step(const SystemCalls &calls) : gate_(calls.terminationGate), entered_(!gate_ || gate_->enter()) {}
    Step(const Step &) = delete;
    Step &operator=(const Step &) = delete;
    ~Step()
    {
        if (gate_ && entered_)
            gate_->leave();
    }
    bool entered() const { return entered_; }

private:
    TerminationGate *const gate_;
    const bool entered_;
};

// Tries call at once, then after each further delay of the schedule while tryAgain says so of its
// outcome and no termination is pending.
SysResult retryOnSchedule(const SystemCalls &calls, const std::function<SysResult()> &call,
                          const std::function<bool(const SysResult &)> &tryAgain)
{
    SysResult result = Ending;
    for (int delay : RetryDelaysMs) {
        if (delay > 0 && !pauseBeforeRetry(calls, delay))
            break;
        result = call();
        if (!tryAgain(result))
            break;
    }
    return result;
}

// Tries call at each delay of the schedule while another program holds the file.
SysResult retryWhileHeld(const SystemCalls &calls, const std::function<SysResult()> &call)
{
    return retryOnSchedule(calls, call, [](const SysResult &result) {
        return result.kind == SysError::Locked || result.kind == SysError::Denied;
    });
}

// A name of the writer's own in the result's folder, short enough to fit beside any name.
std::string temporaryName(std::uint64_t &seed)
{
    static const char Letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string name = ".vuro-";
    for (int i = 0; i < 6; ++i) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        name += Letters[(seed >> 33) % 36];
    }
    return name;
}

// A temporary name in the result's folder, removed when it goes unless it was renamed away.
class TemporaryName {
public:
    TemporaryName(const ResultPlace &place, const SystemCalls &calls) : place_(place), calls_(calls) {}
    TemporaryName(const TemporaryName &) = delete;
    TemporaryName &operator=(const TemporaryName &) = delete;
    ~TemporaryName()
    {
        if (name_.empty())
            return;
        // Tried again on the writer's schedule: a name left behind would be the user's to clear.
        retryOnSchedule(calls_, [this] { return calls_.removeName(place_, name_); },
                        [](const SysResult &result) { return !result.ok() && result.kind != SysError::Missing; });
    }
    const std::string &name() const { return name_; }
    // Takes name as the file's name in the folder, to remove.
    void hold(const std::string &name) { name_ = name; }
    // The name is the result's now: nothing to remove.
    void release() { name_.clear(); }

private:
    const ResultPlace &place_;
    const SystemCalls &calls_;
    std::string name_;
};

// Gives the new file a free temporary name, trying names until one is free.
SysResult nameTemporary(const std::function<SysResult(const std::string &)> &make, TemporaryName &temporary)
{
    std::uint64_t seed = uniqueSeed();
    SysResult result;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = temporaryName(seed);
        result = make(name);
        if (result.ok())
            temporary.hold(name);
        if (result.kind != SysError::Exists)
            return result;
    }
    return result;
}

// Carries the earlier file's owner, group, permissions, access control list and extended
// attributes onto the new one. A new file that cannot carry them must not replace the earlier.
bool keepsAttributes(const SystemCalls &calls, const ResultPlace &place, const FileStatus &earlier, const Handle &file)
{
    Handle from;
    SysResult result = calls.openForAttributes(place, from);
    // Owner first: giving a file away clears its set-user-ID bits, which the permissions restore
    // only for the file's own owner.
    if (result.ok())
        result = calls.copyOwner(earlier, file);
    if (result.ok())
        result = calls.copyPermissions(earlier, file);
    if (result.ok())
        result = calls.copyExtendedAttributes(from, file);
    throwIfOutOfMemory(result);
    return result.ok();
}

bool refusesNewFile(const SysResult &result)
{
    return result.kind == SysError::Denied || result.kind == SysError::ReadOnly || result.kind == SysError::NameTooLong;
}

// What a refusal to name the unnamed file means: the system names none (a named temporary is the
// way), the folder takes no new name (writing in place is), or a failure.
Replacement namingFailed(const SysResult &result)
{
    if (result.kind == SysError::NotSupported)
        return Replacement::Unnamable;
    return refusesNewFile(result) ? Replacement::NotHere : replacementFailed(result);
}

// Writes bytes to a new file in the result's folder, flushed, and puts it in the result's place:
// an unnamed file where unnamedFirst and the file system has them, else a named temporary.
Replacement replaceThrough(const SystemCalls &calls, const ResultPlace &place, const std::string &bytes,
                           const FileStatus *earlier, bool unnamedFirst)
{
    Handle file;
    TemporaryName temporary(place, calls);
    SysResult result = unnamedFirst ? calls.createUnnamedFile(place, file) : SysResult{SysError::NotSupported, 0};
    const bool unnamed = result.ok();
    if (!unnamed && result.kind == SysError::NotSupported) {
        result = nameTemporary([&](const std::string &name) { return calls.createNamedFile(place, name, file); },
                               temporary);
    }
    if (!result.ok())
        return refusesNewFile(result) ? Replacement::NotHere : replacementFailed(result);
    result = calls.writeAll(file, bytes);
    if (!result.ok())
        return replacementFailed(result);
    if (earlier && !keepsAttributes(calls, place, *earlier, file))
        return Replacement::NotHere;
    // On the device before it takes the earlier file's place: a crash then leaves one or the other.
    result = calls.flushFile(file);
    if (!result.ok())
        return replacementFailed(result);
    if (unnamed && !earlier) {
        result = calls.nameUnnamedFile(place, file, place.name);
        if (result.ok())
            return Replacement::Done;
        if (result.kind != SysError::Exists)
            return namingFailed(result);
    }
    if (unnamed) {
        result = nameTemporary([&](const std::string &name) { return calls.nameUnnamedFile(place, file, name); },
                               temporary);
        if (!result.ok())
            return namingFailed(result);
    }
    result = retryWhileHeld(calls, [&] { return calls.renameOverResult(place, file, temporary.name()); });
    if (result.ok()) {
        temporary.release();
        return Replacement::Done;
    }
    if (result.kind == SysError::Locked || result.kind == SysError::Denied)
        return Replacement::NotHere;
    return replacementFailed(result);
}

// The same as one step, from making the file to its rename or removal: a termination signal
// meanwhile ends the process only once the earlier file or the new one is in place, with no
// other file left.
Replacement replaceWhole(const SystemCalls &calls, const ResultPlace &place, const std::string &bytes, const FileStatus *earlier)
{
    const Step step(calls);
    if (!step.entered())
        return replacementFailed(Ending);
    const Replacement replaced = replaceThrough(calls, place, bytes, earlier, true);
    return replaced == Replacement::Unnamable ? replaceThrough(calls, place, bytes, earlier, false) : replaced;
}

// Reads up to size bytes, as many as the file gives before its end; false when a read fails.
bool readFully(const SystemCalls &calls, const Handle &file, char *buffer, std::size_t size, std::size_t &count)
{
    count = 0;
    while (count < size) {
        std::size_t got = 0;
        const SysResult result = calls.readChunk(file, buffer + count, size - count, got);
        throwIfOutOfMemory(result);
        if (!result.ok())
            return false;
        if (got == 0)
            break;
        count += got;
    }
    return true;
}

// Reads the whole of a file of at most limit bytes from its current position; false when it
// cannot, or when the file is larger.
bool readSmallFile(const SystemCalls &calls, const Handle &file, std::size_t limit, std::string &contents)
{
    std::vector<char> buffer(limit + 1);
    std::size_t total = 0;
    if (!readFully(calls, file, buffer.data(), buffer.size(), total) || total > limit)
        return false;
    contents.assign(buffer.data(), total);
    return true;
}

// Writes bytes over the existing file, under an exclusive lock held from the truncation to the
// last byte, so helpers writing at once leave one whole report. A write that fails puts the
// earlier contents back; only where that fails too, or the earlier file was larger than a report
// ever is, is the file left empty; never part of a report. A report past the file size limit is
// not begun. From the truncation to the flush is one step that a termination signal waits for.
bool writeInPlace(const SystemCalls &calls, const ResultPlace &place, const std::string &bytes)
{
    if (bytes.size() > calls.largestWritableFileSize())
        return false;
    Handle file;
    std::string earlier;
    bool kept = false;
    SysResult result = calls.openForWriting(place, file);
    if (result.ok())
        result = retryWhileHeld(calls, [&] { return calls.tryLockFile(file); });
    if (result.ok())
        kept = readSmallFile(calls, file, 64 * 1024, earlier);
    const Step step(calls);
    if (result.ok() && !step.entered())
        result = Ending;
    if (result.ok())
        result = calls.truncateFile(file);
    if (result.ok()) {
        result = calls.writeAll(file, bytes);
        if (result.ok())
            result = calls.flushFile(file);
        if (!result.ok() && calls.truncateFile(file).ok() && kept && !calls.writeAll(file, earlier).ok())
            calls.truncateFile(file);
    }
    throwIfOutOfMemory(result);
    return result.ok();
}

// Writes bytes as a new file under the place's own name, where no file could be put there whole:
// there is no earlier file to lose, and a write that fails leaves no file behind. One step, from
// the file's making to its last byte or its removal.
bool writeNew(const SystemCalls &calls, const ResultPlace &place, const std::string &bytes)
{
    const Step step(calls);
    if (!step.entered())
        return false;
    Handle file;
    SysResult result = calls.createNamedFile(place, place.name, file);
    if (!result.ok()) {
        throwIfOutOfMemory(result);
        return false;
    }
    result = calls.writeAll(file, bytes);
    if (result.ok())
        return true;
    file.reset();
    calls.removeName(place, place.name);
    throwIfOutOfMemory(result);
    return false;
}

// True when the report may be written through the result file's other hard links. Whoever may
// write in the result's folder may link any file there that they can reach, and the helper would
// then write into that file with its own rights: only where the system lets nobody link a file
// they do not own, or where the helper has no more rights than its user and the file is theirs,
// is a file with several names theirs to write through all of them.
bool mayWriteThroughLinks(const SystemCalls &calls, const ResultPlace &place)
{
    if (calls.hardLinksProtected())
        return true;
    if (calls.runsElevated())
        return false;
    bool own = false;
    const SysResult looked = calls.isOwnedByUser(place, own);
    throwIfOutOfMemory(looked);
    return looked.ok() && own;
}

} // namespace

bool writeResultFile(const ResultPlace &place, const std::string &bytes, const SystemCalls &calls)
{
    if (place.name.empty())
        return false;
    FileStatus earlier;
    const SysResult looked = calls.statusOfPlace(place, earlier);
    throwIfOutOfMemory(looked);
    const bool exists = looked.ok();
    if (!exists && looked.kind != SysError::Missing)
        return false;
    // A FIFO would block the writer until a reader came, and a device is no place for a report.
    if (exists && earlier.type != EntryType::Regular)
        return false;
    // Every name of a file with several must see the new report: only writing in place does that,
    // where no one could have planted the other name on a file the user did not mean.
    const bool linked = exists && earlier.links > 1;
    if (linked && mayWriteThroughLinks(calls, place))
        return writeInPlace(calls, place, bytes);
    switch (replaceWhole(calls, place, bytes, exists ? &earlier : nullptr)) {
    case Replacement::Done:
        return true;
    case Replacement::NotHere:
        return exists ? !linked && writeInPlace(calls, place, bytes) : writeNew(calls, place, bytes);
    default:
        return false;
    }
}

namespace {

// True when the file at the place is shown to hold other bytes than the file at targetPath, which
// is still the target as identified (by identity, or by size where the system gives no numbers);
// false when either cannot be read.
bool holdsOtherBytes(const SystemCalls &calls, const ResultPlace &place, const FileStatus &target, const std::string &targetPath)
{
    Handle existing, reread;
    FileStatus status;
    SysResult result = calls.openForAttributes(place, existing);
    if (result.ok())
        result = calls.openForReading(targetPath, reread);
    if (result.ok())
        result = calls.statusOfHandle(reread, status);
    throwIfOutOfMemory(result);
    if (!result.ok())
        return false;
    if (target.identity.known ? !isSameFile(status.identity, target.identity) : status.size != target.size)
        return false;
    std::vector<char> ours(64 * 1024), theirs(ours.size());
    for (;;) {
        std::size_t ourCount = 0, theirCount = 0;
        if (!readFully(calls, existing, ours.data(), ours.size(), ourCount) ||
            !readFully(calls, reread, theirs.data(), theirs.size(), theirCount))
            return false;
        if (ourCount != theirCount || !std::equal(ours.begin(), ours.begin() + std::ptrdiff_t(ourCount), theirs.begin()))
            return true;
        if (ourCount < ours.size())
            return false;
    }
}

} // namespace

bool mightBeTarget(const ResultPlace &place, const FileStatus &target, const std::string &targetPath, const SystemCalls &calls)
{
    FileStatus existing;
    const SysResult looked = calls.statusOfPlace(place, existing);
    throwIfOutOfMemory(looked);
    if (looked.kind == SysError::Missing)
        return false;
    if (!looked.ok())
        return true;
    // On one volume a file has one identity: nothing else tells more.
    if (target.identity.known && existing.identity.known && target.identity.volume == existing.identity.volume)
        return isSameFile(existing.identity, target.identity);
    // Without file numbers (FAT, some shares) the names in any letter case tell too.
    const std::size_t separator = targetPath.find_last_of(PathSeparators);
    const std::string targetName = separator == std::string::npos ? targetPath : targetPath.substr(separator + 1);
    if (!(target.identity.known && existing.identity.known) && equalsIgnoringAsciiCase(place.name, targetName))
        return true;
    // One file seen through two views (an overlay's upper folder, a FUSE passthrough, a second
    // mount) has two identities, and its times may differ between them (whole seconds through
    // sshfs, 2 s on FAT): equal size and the same bytes decide, and a time nothing.
    return existing.size == target.size && !holdsOtherBytes(calls, place, target, targetPath);
}
