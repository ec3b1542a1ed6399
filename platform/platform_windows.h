#pragma once

// Windows only: how the Windows listing types an entry, shared with its check under Wine.

#include <cstdint>

enum class WindowsEntryKind { Folder, File, NameSurrogate };

// Returns how the walk treats an entry with these attributes and reparse tag: a folder to walk, a
// file sized by the listing, or a symbolic link or junction (never walked, sized as its target).
WindowsEntryKind kindOfWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag);
