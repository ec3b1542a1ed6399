#include "report/guard.h"

#include "report/writer.h"
#include "platform/wtf8.h"

#include <vector>

namespace writing {

bool readFully(const SystemCalls &calls, const Handle &file, char *buffer, std::size_t size, std::size_t &count)
{
    count = 0;
    while (count < size) {
        std::size_t got = 0;
        const SysResult result = calls.readChunk(file, buffer + count, size - count, got);
        if (!result.ok())
            return false;
        if (got == 0)
            break;
        count += got;
    }
    return true;
}

bool readSmallFile(const SystemCalls &calls, const Handle &file, std::size_t limit, std::string &contents)
{
    std::vector<char> buffer(limit + 1);
    std::size_t total = 0;
    if (!readFully(calls, file, buffer.data(), buffer.size(), total) || total > limit)
        return false;
    contents.assign(buffer.data(), total);
    return true;
}

} // namespace writing

using namespace writing;

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
