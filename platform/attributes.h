#pragma once

// What the earlier result file carries over to the one that replaces it (owner, permissions,
// attributes, access control lists, file flags), and whose the earlier file is.

#include "platform/results.h"
#include "platform/types.h"

// Gives file the owner and group of the status, where they differ.
SysResult copyOwner(const FileStatus &from, const Handle &file);

// Gives file the permissions (mode bits, or read-only, hidden and system attributes) of status.
SysResult copyPermissions(const FileStatus &from, const Handle &file);

// Gives file every extended attribute and access control list of the file from, and its
// user-settable file flags (no-dump, no-atime, compression; POSIX, where the file system has them).
SysResult copyExtendedAttributes(const Handle &from, const Handle &file);

// Stores in own whether the existing file of the place belongs to the process's user (its owner
// is the effective user; on Windows the token's user).
SysResult isOwnedByUser(const ResultPlace &place, bool &own);

// True when the system lets no user make a hard link to a file they do not own (Linux's
// fs.protected_hardlinks); false where it does, or cannot tell.
bool hardLinksProtected();
