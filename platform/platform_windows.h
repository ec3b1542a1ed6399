#pragma once

// Windows only: how the Windows listing types an entry, shared with its check under Wine.

#include "platform.h"

#include <cstdint>

enum class WindowsEntryKind { Folder, File, NameSurrogate };

// Returns how the walk treats an entry with these attributes and reparse tag: a folder to walk, a
// file sized by the listing, or a symbolic link or junction (never walked, sized as its target).
WindowsEntryKind kindOfWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag);

// The listing of listFolder, with the record kind chosen: with file ids (what listFolder asks
// for first), or without them (what it falls back to where a file system refuses ids).
ListingEnd listFolderAs(const std::string &folder, bool followLink, bool withFileIds,
                        const std::function<bool(const FileIdentity &)> &enter,
                        const std::function<void(const ListedEntry &)> &visit, std::string &failure);
