#pragma once

// The seam of platform operations, for the tests that watch calls or make them fail: every call
// of SystemCalls passed through one wrapper, so that none is missed when a mode gains one.

#include "platform/calls.h"

// Returns real with each of its calls replaced by wrap(name, call), named as SystemCalls names
// them; those that say what the system and the process are, and sleepMilliseconds,
// and largestWritableFileSize, are left as they are.
template <typename Wrap>
SystemCalls wrapEachCall(const SystemCalls &real, Wrap wrap)
{
    SystemCalls calls = real;
    calls.statusOfHandle = wrap("statusOfHandle", real.statusOfHandle);
    calls.statusOfPath = wrap("statusOfPath", real.statusOfPath);
    calls.statusAt = wrap("statusAt", real.statusAt);
    calls.openForReading = wrap("openForReading", real.openForReading);
    calls.readChunk = wrap("readChunk", real.readChunk);
    calls.readChunkAt = wrap("readChunkAt", real.readChunkAt);
    calls.watchForChanges = wrap("watchForChanges", real.watchForChanges);
    calls.hasChangedSince = wrap("hasChangedSince", real.hasChangedSince);
    calls.stopWatching = wrap("stopWatching", real.stopWatching);
    calls.openStartFolder = wrap("openStartFolder", real.openStartFolder);
    calls.openSubfolder = wrap("openSubfolder", real.openSubfolder);
    calls.listFolder = wrap("listFolder", real.listFolder);
    calls.isVolumeRoot = wrap("isVolumeRoot", real.isVolumeRoot);
    calls.queryVolumeCapacity = wrap("queryVolumeCapacity", real.queryVolumeCapacity);
    calls.openResultPlace = wrap("openResultPlace", real.openResultPlace);
    calls.statusOfPlace = wrap("statusOfPlace", real.statusOfPlace);
    calls.createUnnamedFile = wrap("createUnnamedFile", real.createUnnamedFile);
    calls.createNamedFile = wrap("createNamedFile", real.createNamedFile);
    calls.openForWriting = wrap("openForWriting", real.openForWriting);
    calls.openForAttributes = wrap("openForAttributes", real.openForAttributes);
    calls.writeAll = wrap("writeAll", real.writeAll);
    calls.truncateFile = wrap("truncateFile", real.truncateFile);
    calls.flushFile = wrap("flushFile", real.flushFile);
    calls.tryLockFile = wrap("tryLockFile", real.tryLockFile);
    calls.copyOwner = wrap("copyOwner", real.copyOwner);
    calls.copyPermissions = wrap("copyPermissions", real.copyPermissions);
    calls.copyExtendedAttributes = wrap("copyExtendedAttributes", real.copyExtendedAttributes);
    calls.nameUnnamedFile = wrap("nameUnnamedFile", real.nameUnnamedFile);
    calls.renameOverResult = wrap("renameOverResult", real.renameOverResult);
    calls.removeName = wrap("removeName", real.removeName);
    calls.isOwnedByUser = wrap("isOwnedByUser", real.isOwnedByUser);
    return calls;
}
