#pragma once

// The platform's operations as one set of calls, the seam below every mode: the writer, the walk
// and the digests make their system calls through it, so that one set of tests can watch any of
// them, or make any fail, whatever the mode, on Linux and under Wine alike. Each defaults to the
// platform's own function (platform.h says what each does).

#include "platform/platform.h"

#include <functional>
#include <type_traits>
#include <utility>

// The termination policy (report/termination.h), which the seam carries to the modes.
class TerminationGate;

template <typename Signature>
class SeamCall;

// One call of the seam, where its outcome is made for every caller: an outcome of out of memory
// is thrown as std::bad_alloc here, once (types.h says why). unraised() gives the outcome as it
// is, to the few callers that must finish what they began (put the earlier file back, remove a
// file of their own) before they throw it themselves.
template <typename... Args>
class SeamCall<SysResult(Args...)> {
public:
    using Function = std::function<SysResult(Args...)>;
    SeamCall() = default;
    template <typename Call, typename = std::enable_if_t<!std::is_same_v<std::decay_t<Call>, SeamCall>>>
    SeamCall(Call call) : function_(std::move(call))
    {
    }
    SysResult operator()(Args... args) const
    {
        const SysResult result = function_(std::forward<Args>(args)...);
        throwIfOutOfMemory(result);
        return result;
    }
    SysResult unraised(Args... args) const { return function_(std::forward<Args>(args)...); }
    // The call as given, for a wrapper that passes it on.
    const Function &function() const { return function_; }

private:
    Function function_;
};

struct SystemCalls {
    // What a path, a handle or a listed name is.
    SeamCall<SysResult(const Handle &, FileStatus &)> statusOfHandle = ::statusOfHandle;
    SeamCall<SysResult(const std::string &, bool, FileStatus &)> statusOfPath = ::statusOfPath;
    SeamCall<SysResult(const OpenFolder &, const std::string &, bool, FileStatus &)> statusAt = ::statusAt;
    // Reading a target.
    SeamCall<SysResult(const std::string &, Handle &)> openForReading = ::openForReading;
    SeamCall<SysResult(const Handle &, char *, std::size_t, std::size_t &)> readChunk = ::readChunk;
    SeamCall<SysResult(const Handle &, std::uint64_t, char *, std::size_t, std::size_t &)> readChunkAt = ::readChunkAt;
    SeamCall<SysResult(const Handle &, Handle &)> watchForChanges = ::watchForChanges;
    SeamCall<SysResult(const Handle &, bool &)> hasChangedSince = ::hasChangedSince;
    SeamCall<SysResult(const Handle &)> stopWatching = ::stopWatching;
    // The walk.
    SeamCall<SysResult(const std::string &, OpenFolder &)> openStartFolder = ::openStartFolder;
    SeamCall<SysResult(const OpenFolder &, const std::string &, const ListedFolder &, OpenFolder &)> openSubfolder = ::openSubfolder;
    SeamCall<SysResult(const OpenFolder &, ListingBuffer &, const std::function<void(const FolderEntry &)> &)> listFolder =
        ::listFolder;
    SeamCall<SysResult(const OpenFolder &, bool &)> isVolumeRoot = ::isVolumeRoot;
    SeamCall<SysResult(const OpenFolder &, std::uint64_t &)> queryVolumeCapacity = ::queryVolumeCapacity;
    // The result file.
    SeamCall<SysResult(const std::string &, ResultPlace &)> openResultPlace = ::openResultPlace;
    SeamCall<SysResult(const ResultPlace &, FileStatus &)> statusOfPlace = ::statusOfPlace;
    SeamCall<SysResult(const ResultPlace &, Handle &)> createUnnamedFile = ::createUnnamedFile;
    SeamCall<SysResult(const ResultPlace &, const std::string &, Handle &)> createNamedFile = ::createNamedFile;
    SeamCall<SysResult(const ResultPlace &, Handle &)> openForWriting = ::openForWriting;
    SeamCall<SysResult(const ResultPlace &, Handle &)> openForAttributes = ::openForAttributes;
    SeamCall<SysResult(const Handle &, const std::string &)> writeAll = ::writeAll;
    SeamCall<SysResult(const Handle &)> truncateFile = ::truncateFile;
    SeamCall<SysResult(const Handle &)> flushFile = ::flushFile;
    SeamCall<SysResult(const Handle &)> tryLockFile = ::tryLockFile;
    SeamCall<SysResult(const FileStatus &, const Handle &)> copyOwner = ::copyOwner;
    SeamCall<SysResult(const FileStatus &, const Handle &)> copyPermissions = ::copyPermissions;
    SeamCall<SysResult(const Handle &, const Handle &)> copyExtendedAttributes = ::copyExtendedAttributes;
    SeamCall<SysResult(const ResultPlace &, const Handle &, const std::string &)> nameUnnamedFile = ::nameUnnamedFile;
    SeamCall<SysResult(const ResultPlace &, const Handle &, const std::string &)> renameOverResult = ::renameOverResult;
    SeamCall<SysResult(const ResultPlace &, const std::string &)> removeName = ::removeName;
    SeamCall<SysResult(const ResultPlace &, bool &)> isOwnedByUser = ::isOwnedByUser;
    // What the system and the process are: the rules for hard links, the process's rights.
    std::function<bool()> hardLinksProtected = ::hardLinksProtected;
    std::function<bool()> runsElevated = ::runsElevated;
    // What is not a system call's outcome: waits, the file size limit, and the steps a termination
    // signal waits for (none without a gate: its waits are then plain sleeps).
    std::function<void(int)> sleepMilliseconds = ::sleepMilliseconds;
    std::function<std::uint64_t()> largestWritableFileSize = ::largestWritableFileSize;
    TerminationGate *terminationGate = nullptr;
};
