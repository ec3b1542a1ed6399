#pragma once

// Listings: the entries of an open folder, as its listing types them, and a look at one of them.

#include "platform/folders.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One entry of a listing, as the listing typed it. Windows listings size files themselves.
struct FolderEntry {
    std::string name;
    EntryType type = EntryType::Unknown;
    bool sized = false;
    std::uint64_t size = 0;
    std::uint64_t fileId = 0; // its file number on the folder's volume (Windows listings that give one), else 0
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
