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
    calls.statusOfHandle = wrap("statusOfHandle", real.statusOfHandle.function());
    calls.statusOfPath = wrap("statusOfPath", real.statusOfPath.function());
    calls.statusAt = wrap("statusAt", real.statusAt.function());
    calls.openForReading = wrap("openForReading", real.openForReading.function());
    calls.readChunk = wrap("readChunk", real.readChunk.function());
    calls.readChunkAt = wrap("readChunkAt", real.readChunkAt.function());
    calls.watchForChanges = wrap("watchForChanges", real.watchForChanges.function());
    calls.hasChangedSince = wrap("hasChangedSince", real.hasChangedSince.function());
    calls.stopWatching = wrap("stopWatching", real.stopWatching.function());
    calls.openStartFolder = wrap("openStartFolder", real.openStartFolder.function());
    calls.openSubfolder = wrap("openSubfolder", real.openSubfolder.function());
    calls.listFolder = wrap("listFolder", real.listFolder.function());
    calls.isVolumeRoot = wrap("isVolumeRoot", real.isVolumeRoot.function());
    calls.queryVolumeCapacity = wrap("queryVolumeCapacity", real.queryVolumeCapacity.function());
    calls.openResultPlace = wrap("openResultPlace", real.openResultPlace.function());
    calls.statusOfPlace = wrap("statusOfPlace", real.statusOfPlace.function());
    calls.createUnnamedFile = wrap("createUnnamedFile", real.createUnnamedFile.function());
    calls.createNamedFile = wrap("createNamedFile", real.createNamedFile.function());
    calls.openForWriting = wrap("openForWriting", real.openForWriting.function());
    calls.openForAttributes = wrap("openForAttributes", real.openForAttributes.function());
    calls.writeAll = wrap("writeAll", real.writeAll.function());
    calls.truncateFile = wrap("truncateFile", real.truncateFile.function());
    calls.flushFile = wrap("flushFile", real.flushFile.function());
    calls.tryLockFile = wrap("tryLockFile", real.tryLockFile.function());
    calls.copyOwner = wrap("copyOwner", real.copyOwner.function());
    calls.copyPermissions = wrap("copyPermissions", real.copyPermissions.function());
    calls.copyExtendedAttributes = wrap("copyExtendedAttributes", real.copyExtendedAttributes.function());
    calls.nameUnnamedFile = wrap("nameUnnamedFile", real.nameUnnamedFile.function());
    calls.renameOverResult = wrap("renameOverResult", real.renameOverResult.function());
    calls.removeName = wrap("removeName", real.removeName.function());
    calls.isOwnedByUser = wrap("isOwnedByUser", real.isOwnedByUser.function());
    return calls;
}
