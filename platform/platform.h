#pragma once

// Thin wrappers over the operating system services the helper needs. Standard C++ types only,
// so each platform's source compiles on its own, without Qt.

#include <cstdint>
#include <functional>
#include <string>

// Stores in capacity the total number of bytes of the volume whose root is rootUtf8 (a UTF-8 path).
// Returns false and leaves capacity untouched when the volume cannot be queried.
bool queryVolumeCapacity(const std::string &rootUtf8, std::uint64_t &capacity);

// Returns the platform's short size text of a byte count as UTF-8, such as "1.30 KB";
// the empty text when the platform produced none.
std::string formatShortByteSize(std::uint64_t bytes);

// Returns the short size text of the en-US Windows shell for any 64-bit count, computed exactly
// and without the locale: "532 bytes", "1.30 KB", "22.9 KB", "100 KB", "15.9 EB".
std::string formatEnUsByteSize(std::uint64_t bytes);

// Makes writes to a closed pipe or console fail with an error instead of ending the process, so
// that the trace on standard output never decides whether the work gets done.
void ignoreBrokenPipes();

// Which folder a listing opened: its volume and its file number there, so two names of one folder
// (a bind mount, a link the platform lists as a folder) have equal identities, and two volumes never do.
struct FolderIdentity {
    std::uint64_t volume = 0;
    std::uint64_t fileHigh = 0;
    std::uint64_t fileLow = 0;
};

inline bool operator==(const FolderIdentity &a, const FolderIdentity &b)
{
    return a.volume == b.volume && a.fileHigh == b.fileHigh && a.fileLow == b.fileLow;
}

// One entry of a folder listing, typed as the listing reported it, never following a link.
struct ListedEntry {
    bool isFolder = false;  // a real folder; a link or junction to one is never a folder here
    std::string path;       // a folder's path: the listed folder's path and the entry's name joined
                            // by one separator; empty for other entries
    std::uint64_t size = 0; // another entry's size in bytes, a link sized as its target...
    std::string failure;    // ...unless this holds why it has none (no regular file, or its size
                            // could not be read), in the standard library's wording with its path
};

// Empties entry for the next one of a listing, keeping its texts' storage for reuse.
inline void clearListedEntry(ListedEntry &entry)
{
    entry.isFolder = false;
    entry.path.clear();
    entry.size = 0;
    entry.failure.clear();
}

// How a listing ended: every entry seen; not opened for a reason of the folder's own (missing,
// no permission, path too long), which reads as empty; not opened for another reason (too many
// open files, an I/O error); declined by the caller on seeing the folder's identity; or broken off
// after some entries.
enum class ListingEnd { Complete, NotListable, OpenFailed, Declined, BrokeOff };

// Opens folder (a UTF-8 path) and asks enter with its identity whether to list it; then calls
// visit once per entry but "." and ".." in the platform's order, with this one listing open. For
// OpenFailed and BrokeOff, failure holds the error's text. Throws std::bad_alloc when the system
// is out of memory, which says nothing about the folder.
ListingEnd listFolder(const std::string &folder, const std::function<bool(const FolderIdentity &)> &enter,
                      const std::function<void(const ListedEntry &)> &visit, std::string &failure);
