#pragma once

// The report's way into its file, the same on every platform: written whole under a temporary
// name (or none) in the result's folder and renamed over the earlier file, keeping what the user
// set on that file; written in place under a lock where a replacement could not keep it.

#include "platform/platform.h"

#include <functional>
#include <string>

// The system calls the writer makes, so that a test can watch them or make any of them fail.
struct FileCalls {
    std::function<SysResult(const ResultPlace &, FileStatus &)> statusOfPlace = ::statusOfPlace;
    std::function<SysResult(const ResultPlace &, Handle &)> createUnnamedFile = ::createUnnamedFile;
    std::function<SysResult(const ResultPlace &, const std::string &, Handle &)> createNamedFile = ::createNamedFile;
    std::function<SysResult(const ResultPlace &, Handle &)> openForWriting = ::openForWriting;
    std::function<SysResult(const ResultPlace &, Handle &)> openForAttributes = ::openForAttributes;
    std::function<SysResult(const Handle &, char *, std::size_t, std::size_t &)> readChunk = ::readChunk;
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
    std::function<void(int)> sleepMilliseconds = ::sleepMilliseconds;
    std::function<std::uint64_t()> largestWritableFileSize = ::largestWritableFileSize;
    std::function<void(const PendingUndo *)> publishPendingUndo = ::publishPendingUndo;
};

// The waits between tries of a rename or lock refused because another program holds the file
// (a reader, a scanner, an indexer): about 2.5 s in all, then the writer gives up.
extern const int RetryDelaysMs[7];

// Writes bytes as the file of the place, replacing an earlier file whole and at once. Returns
// false, with the earlier file as it was and no file of the writer's own left behind, when it
// cannot, or when the place holds something that is no regular file. Throws std::bad_alloc when
// memory runs out.
bool writeResultFile(const ResultPlace &place, const std::string &bytes, const FileCalls &calls = FileCalls());

// True when the existing file at the place might be the target of the report, of which the system
// said target and whose path's last name is targetName: the report must never replace it. The
// same identity, or (one file seen through two mounts has two) the same size and modification
// time; without identities, the same name in any letter case.
bool mightBeTarget(const ResultPlace &place, const FileStatus &target, const std::string &targetName);
