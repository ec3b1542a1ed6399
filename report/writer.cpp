#include "writer.h"


#include <algorithm>
#include <vector>

#include "report/guard.h"
#include "report/steps.h"

using namespace writing;

namespace {

// How an attempt to replace the file whole ended: done; not possible here, so that writing in
// place is the way (the folder takes no new file, the replacement could not keep what the user
// set on the earlier file, the rename stays refused); the system cannot name an unnamed file, so
// that a named temporary is the way; or failed.
enum class Replacement { Done, NotHere, Unnamable, Failed };

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
    return refusesNewFile(result) ? Replacement::NotHere : Replacement::Failed;
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
        return refusesNewFile(result) ? Replacement::NotHere : Replacement::Failed;
    result = calls.writeAll(file, bytes);
    if (!result.ok())
        return Replacement::Failed;
    if (earlier && !keepsAttributes(calls, place, *earlier, file))
        return Replacement::NotHere;
    // On the device before it takes the earlier file's place: a crash then leaves one or the other.
    result = calls.flushFile(file);
    if (!result.ok())
        return Replacement::Failed;
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
    return Replacement::Failed;
}

// The same as one step, from making the file to its rename or removal: a termination signal
// meanwhile ends the process only once the earlier file or the new one is in place, with no
// other file left.
Replacement replaceWhole(const SystemCalls &calls, const ResultPlace &place, const std::string &bytes, const FileStatus *earlier)
{
    const GatedStep step(calls);
    if (!step.entered())
        return Replacement::Failed;
    const Replacement replaced = replaceThrough(calls, place, bytes, earlier, true);
    return replaced == Replacement::Unnamable ? replaceThrough(calls, place, bytes, earlier, false) : replaced;
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
    const GatedStep step(calls);
    if (result.ok() && !step.entered())
        result = Ending;
    if (result.ok())
        result = calls.truncateFile(file);
    // Out of memory too waits until the earlier contents are back.
    if (result.ok()) {
        result = calls.writeAll.unraised(file, bytes);
        if (result.ok())
            result = calls.flushFile.unraised(file);
        if (!result.ok() && calls.truncateFile.unraised(file).ok() && kept && !calls.writeAll.unraised(file, earlier).ok())
            calls.truncateFile.unraised(file);
    }
    throwIfOutOfMemory(result);
    return result.ok();
}

// Writes bytes as a new file under the place's own name, where no file could be put there whole:
// there is no earlier file to lose, and a write that fails leaves no file behind. One step, from
// the file's making to its last byte or its removal.
bool writeNew(const SystemCalls &calls, const ResultPlace &place, const std::string &bytes)
{
    const GatedStep step(calls);
    if (!step.entered())
        return false;
    Handle file;
    SysResult result = calls.createNamedFile(place, place.name, file);
    if (!result.ok())
        return false;
    // Out of memory too waits until the part written is removed.
    result = calls.writeAll.unraised(file, bytes);
    if (result.ok())
        return true;
    file.reset();
    calls.removeName.unraised(place, place.name);
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
    return looked.ok() && own;
}

} // namespace

bool writeResultFile(const ResultPlace &place, const std::string &bytes, const SystemCalls &calls)
{
    if (place.name.empty())
        return false;
    FileStatus earlier;
    const SysResult looked = calls.statusOfPlace(place, earlier);
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
