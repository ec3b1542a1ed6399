#pragma once

// The writer's seam, for the tests that watch its calls or make them fail: every call of
// FileCalls passed through one wrapper, so that none is missed when the writer gains one.

#include "report/writer.h"

// Returns real with each of its calls replaced by wrap(name, call), named as FileCalls names
// them; sleepMilliseconds, largestWritableFileSize and publishPendingUndo are left as they are.
template <typename Wrap>
FileCalls wrapEachCall(const FileCalls &real, Wrap wrap)
{
    FileCalls calls = real;
    calls.statusOfPlace = wrap("statusOfPlace", real.statusOfPlace);
    calls.createUnnamedFile = wrap("createUnnamedFile", real.createUnnamedFile);
    calls.createNamedFile = wrap("createNamedFile", real.createNamedFile);
    calls.openForWriting = wrap("openForWriting", real.openForWriting);
    calls.openForAttributes = wrap("openForAttributes", real.openForAttributes);
    calls.readChunk = wrap("readChunk", real.readChunk);
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
    return calls;
}
