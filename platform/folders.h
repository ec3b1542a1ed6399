#pragma once

// Folders: the start folder and the subfolders opened below it, whether a folder is a volume's
// root, and the volume's capacity and size text (their listings: listings.h).

#include "platform/types.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// A folder opened for listing: its handle, and its path as text for messages (and for the
// Windows calls that take paths).
struct OpenFolder {
    Handle handle;
    std::string path;
    // The start folder's identity, read once as it opens, whose volume every subfolder opened
    // below it must be on (Windows); unknown elsewhere.
    FileIdentity identity;
};

// What the walk knows of a subfolder it is about to open: the file number its parent's listing
// gave for its name (0 where the listing gives none), and its parent's identity.
struct ListedFolder {
    std::uint64_t fileId = 0;
    FileIdentity parent;
};

// Opens path as a folder to list, following links (the start folder as the user gave it).
SysResult openStartFolder(const std::string &path, OpenFolder &folder);

// Opens the folder at relative (names joined by '/') below the open start folder, from its handle,
// following no link on the way at any depth and never leaving it: a link anywhere on the way, or
// (Windows, where junctions on the way are followed) a folder other than the one listed, is
// NotAFolder. On Windows the opened folder must have the file number its parent's listing gave
// (listed), or where the listing gave none, is opened by its name from its parent, opened by its
// path and checked by identity. Renaming the start folder or any folder above it changes nothing,
// and no folder above it needs search rights.
SysResult openSubfolder(const OpenFolder &start, const std::string &relative, const ListedFolder &listed, OpenFolder &folder);

// Stores in root whether the open folder is a volume's root, by what was opened, whatever bytes
// named it: the system's root folder on POSIX, compared by identity; on Windows the root of the
// volume that holds it, as the system names the file (a drive, a share, a mounted folder).
SysResult isVolumeRoot(const OpenFolder &folder, bool &root);

// Stores in capacity the total bytes of the volume that holds the open folder, as the user sees it.
SysResult queryVolumeCapacity(const OpenFolder &folder, std::uint64_t &capacity);

// Returns the system's short size text of a byte count; empty where it has none of its own.
std::string systemByteSizeText(std::uint64_t bytes);
