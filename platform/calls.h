#pragma once

// The platform's operations as one set of calls, the seam below every mode: the writer, the walk
// and the digests make their system calls through it, so that one set of tests can watch any of
// them, or make any fail, whatever the mode, on Linux and under Wine alike. Each defaults to the
// platform's own function (platform.h says what each does).

#include "platform/platform.h"

#include <functional>

struct SystemCalls {
    // What a path, a handle or a listed name is.
    std::function<SysResult(const Handle &, FileStatus &)> statusOfHandle = ::statusOfHandle;
    std::function<SysResult(const std::string &, bool, FileStatus &)> statusOfPath = ::statusOfPath;
    std::function<SysResult(const OpenFolder &, const std::string &, bool, FileStatus &)> statusAt = ::statusAt;
    // Reading a target.
    std::function<SysResult(const std::string &, Handle &)> openForReading = ::openForReading;
    std::function<SysResult(const Handle &, char *, std::size_t, std::size_t &)> readChunk = ::readChunk;
    std::function<SysResult(const Handle &, std::uint64_t, char *, std::size_t, std::size_t &)> readChunkAt = ::readChunkAt;
    std::function<SysResult(const Handle &, Handle &)> watchForChanges = ::watchForChanges;
    std::function<SysResult(const Handle &, bool &)> hasChangedSince = ::hasChangedSince;
    std::function<SysResult(const Handle &)> stopWatching = ::stopWatching;
    // The walk.
    std::function<SysResult(const std::string &, OpenFolder &)> openStartFolder = ::openStartFolder;
    std::function<SysResult(const OpenFolder &, const std::string &, const ListedFolder &, OpenFolder &)> openSubfolder = ::openSubfolder;
    std::function<SysResult(const OpenFolder &, ListingBuffer &, const std::function<void(const FolderEntry &)> &)> listFolder =
        ::listFolder;
    std::function<SysResult(const OpenFolder &, bool &)> isVolumeRoot = ::isVolumeRoot;
    std::function<SysResult(const OpenFolder &, std::uint64_t &)> queryVolumeCapacity = ::queryVolumeCapacity;
    // The result file.
    std::function<SysResult(const std::string &, ResultPlace &)> openResultPlace = ::openResultPlace;
    std::function<SysResult(const ResultPlace &, FileStatus &)> statusOfPlace = ::statusOfPlace;
    std::function<SysResult(const ResultPlace &, Handle &)> createUnnamedFile = ::createUnnamedFile;
    std::function<SysResult(const ResultPlace &, const std::string &, Handle &)> createNamedFile = ::createNamedFile;
    std::function<SysResult(const ResultPlace &, Handle &)> openForWriting = ::openForWriting;
    std::function<SysResult(const ResultPlace &, Handle &)> openForAttributes = ::openForAttributes;
    std::function<SysResult(const Handle &, const std::string &)> writeAll = ::writeAll;
    std::function<SysResult(const Handle &)> truncateFile = ::truncateFile;
    std::function<SysResult(const Handle &)> flushFile = ::flushFile;
    std::function<SysResult(const Handle &)> tryLockFile = ::tryLockFile;
    std::function<SysResult(const FileStatus &, const Handle &)> copyOwner = ::copyOwner;
    std::function<SysResult(const FileStatus &, const Handle &)> copyPermissions = ::copyPermissions;
    std::function<SysResult(const Handle &, const Handle &)> copyExtendedAttributes = ::copyExtendedAttributes;
    std::function<SysResult(const ResultPlace &, const Handle &, const std::string &)> nameUnnamedFile = ::nameUnnamedFile;
    std::function<SysResult(const ResultPlace &, const Handle &, const std::string &)> renameOverResult = ::renameOverResult;
    std::function<SysResult(const ResultPlace &, const std::string &)> removeName = ::removeName;
    std::function<SysResult(const ResultPlace &, bool &)> isOwnedByUser = ::isOwnedByUser;
    // What the system and the process are: the rules for hard links, the process's rights.
    std::function<bool()> hardLinksProtected = ::hardLinksProtected;
    std::function<bool()> runsElevated = ::runsElevated;
    // What is not a system call's outcome: waits, the file size limit, and the steps a termination
    // signal waits for (none without a gate: its waits are then plain sleeps).
    std::function<void(int)> sleepMilliseconds = ::sleepMilliseconds;
    std::function<std::uint64_t()> largestWritableFileSize = ::largestWritableFileSize;
    TerminationGate *terminationGate = nullptr;
};
