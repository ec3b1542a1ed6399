#pragma once

// Thin wrappers over the operating system services the helper needs. Standard C++ types only,
// so each platform's source compiles on its own, without Qt.

#include <cstdint>
#include <filesystem>
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

// One entry of a folder listing, typed as the listing reported it.
struct ListedEntry {
    std::string path;       // the folder's path and the entry's name joined by one separator; set
                            // for folders and for entries the listing did not size
    bool isFolder = false;  // a real folder; a link or junction to one is never a folder here
    bool hasSize = false;   // the listing itself gave the size of a regular file...
    std::uint64_t size = 0; // ...which is this
    const std::filesystem::directory_entry *listed = nullptr; // the library's own entry, where the
                                                              // platform lists with it; valid during visit
};

// How a listing ended: every entry seen; not opened for a reason of the folder's own (missing,
// no permission, path too long), which reads as empty; not opened for another reason (too many
// open files, out of memory, an I/O error); or broken off after some entries.
enum class ListingEnd { Complete, NotListable, OpenFailed, BrokeOff };

// Lists folder (a UTF-8 path), calling visit once per entry but "." and ".." in the platform's
// order, with this one listing open. For OpenFailed and BrokeOff, failure holds the error's text.
ListingEnd listFolder(const std::string &folder, const std::function<void(const ListedEntry &)> &visit,
                      std::string &failure);

// Returns the size in bytes of a listed entry that is not a folder (a link is sized as its target).
// Throws a std::exception carrying the error's text when it is no regular file or cannot be sized.
std::uint64_t sizeOfListedEntry(const ListedEntry &entry);

// Windows only: types an entry from its find data (attributes, reparse tag, size), path not set.
// A name surrogate (symbolic link, junction) is neither a folder nor sized by the listing.
ListedEntry listedEntryFromFindData(std::uint32_t attributes, std::uint32_t reparseTag, std::uint64_t size);
