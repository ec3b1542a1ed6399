#pragma once

// Folders: the start folder and the subfolders opened below it, their listings, whether a folder
// is a volume's root, and the volume's capacity and size text.

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
    // The start folder's own name on its volume, read once as it opens, against which every
    // subfolder opened below it is checked (Windows); empty elsewhere, or where the system gives none.
    std::string nameOnVolume;
};

// Opens path as a folder to list, following links (the start folder as the user gave it).
SysResult openStartFolder(const std::string &path, OpenFolder &folder);

// Opens the folder at relative (names joined by '/') below the open start folder, from its handle
// (POSIX; from its path on Windows), following no link on the way at any depth and never leaving
// it: a link anywhere on the way is NotAFolder. Renaming the start folder or any folder above it
// changes nothing, and no folder above it needs search rights.
SysResult openSubfolder(const OpenFolder &start, const std::string &relative, OpenFolder &folder);

// Stores in root whether the open folder is a volume's root, by what was opened, whatever bytes
// named it: the system's root folder on POSIX, compared by identity; on Windows the root of the
// volume that holds it, as the system names the file (a drive, a share, a mounted folder).
SysResult isVolumeRoot(const OpenFolder &folder, bool &root);

// One entry of a listing, as the listing typed it. Windows listings size files themselves.
struct FolderEntry {
    std::string name;
    EntryType type = EntryType::Unknown;
    bool sized = false;
    std::uint64_t size = 0;
};

// Room for a listing's records, made once by each caller that lists (on the heap: a thread's stack
// may be small) and reused for every folder it lists.
using ListingBuffer = std::vector<std::uint64_t>;

// Returns a listing buffer of the size listFolder reads in one call.
ListingBuffer makeListingBuffer();

// Calls visit for every entry of the open folder but "." and "..", in the system's order, reading
// the records into buffer; on a failure, those visited before it were all the listing gave.
SysResult listFolder(const OpenFolder &folder, ListingBuffer &buffer, const std::function<void(const FolderEntry &)> &visit);

// Stores what the entry name of the open folder is in status, following a link when followLinks.
SysResult statusAt(const OpenFolder &folder, const std::string &name, bool followLinks, FileStatus &status);

// Stores in capacity the total bytes of the volume that holds the open folder, as the user sees it.
SysResult queryVolumeCapacity(const OpenFolder &folder, std::uint64_t &capacity);

// Returns the system's short size text of a byte count; empty where it has none of its own.
std::string systemByteSizeText(std::uint64_t bytes);
