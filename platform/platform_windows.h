#pragma once

// Windows only: how the Windows listing types an entry, and its listing with the way chosen,
// shared with its check under Wine.

#include "platform.h"

#include <cstdint>

enum class WindowsEntryKind { Folder, File, NameSurrogate };

// Returns how the walk treats an entry with these attributes and reparse tag: a folder to walk, a
// file sized by the listing, or a symbolic link or junction (never walked, sized as its target).
WindowsEntryKind kindOfWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag);

// The ways a folder is listed, in the order listFolder tries them where one is refused: records
// with file ids, fuller records without (Windows 8 and later), and the find calls every Windows
// and redirector has.
enum class ListingClass { FileIds, Full, Find };

// The listing of listFolder, starting with the given way.
SysResult listFolderWith(const OpenFolder &folder, ListingClass first, const std::function<void(const FolderEntry &)> &visit,
                         std::uint64_t &entriesRead);

// The fault seam of the Windows tests' build (VURO_FAULT_SEAM): true when this call of the named
// function is the one to fail, with the error code stored in code. Not in the shipped program.
bool isFaultDue(const char *function, unsigned long &code);
