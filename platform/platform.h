#pragma once

// Thin wrappers over the operating system services the helper needs. Standard C++ types only,
// so each platform's source compiles on its own, without Qt. Paths are UTF-8 (WTF-8 on Windows,
// so that names with unpaired surrogates survive).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Which file or folder an open handle refers to: its volume and its file number there, so two
// names of one file (links, hard links, bind mounts) have equal identities and two volumes never
// do. A file system that gives no numbers leaves the identity unknown.
struct FileIdentity {
    bool known = false;
    std::uint64_t volume = 0;
    std::uint64_t fileHigh = 0;
    std::uint64_t fileLow = 0;
};

// True when both identities are known and name the same file; an unknown one equals nothing.
inline bool isSameFile(const FileIdentity &a, const FileIdentity &b)
{
    return a.known && b.known && a.volume == b.volume && a.fileHigh == b.fileHigh && a.fileLow == b.fileLow;
}

// Returns the identity for a file number, unknown when the file system gave none (zero or all ones).
inline FileIdentity makeFileIdentity(std::uint64_t volume, std::uint64_t fileHigh, std::uint64_t fileLow)
{
    const bool none = (fileHigh == 0 && fileLow == 0) || (fileHigh == ~std::uint64_t(0) && fileLow == ~std::uint64_t(0));
    return {!none, volume, fileHigh, fileLow};
}

// How an operation on a file ended: done; refused for a reason of the file's own (no permission,
// a sharing lock, gone), which the caller may answer for it; or failed for a reason that says
// nothing about the file (out of file handles, an I/O error).
enum class FileOutcome { Done, Refused, Failed };

// Stores in capacity the total number of bytes of the volume whose root is rootUtf8.
// Returns false and leaves capacity untouched when the volume cannot be queried.
bool queryVolumeCapacity(const std::string &rootUtf8, std::uint64_t &capacity);

// Returns the platform's short size text of a byte count as UTF-8, such as "1.30 KB";
// the empty text when the platform produced none.
std::string formatShortByteSize(std::uint64_t bytes);

// Returns the short size text of the en-US Windows shell for any 64-bit count, computed exactly
// and without the locale: "532 bytes", "1.30 KB", "22.9 KB", "100 KB", "15.9 EB".
std::string formatEnUsByteSize(std::uint64_t bytes);

// Returns text (UTF-16, unpaired surrogates allowed) as WTF-8: UTF-8 where it is valid, and each
// unpaired surrogate as its own three-byte sequence.
std::string wtf8FromUtf16(const std::u16string &text);

// Returns the UTF-16 text of WTF-8 (or UTF-8) bytes; the exact inverse of wtf8FromUtf16. A byte
// that starts no valid sequence becomes U+FFFD.
std::u16string utf16FromWtf8(const std::string &text);

// Makes writes to a closed pipe or console fail with an error instead of ending the process, so
// that the trace on standard output never decides whether the work gets done.
void ignoreBrokenPipes();

// Runs work on this thread and on up to extraThreads new ones, each new one with a stack of
// stackBytes, and returns once every run has returned. Threads the system refuses are left out.
void runOnThreads(int extraThreads, std::size_t stackBytes, const std::function<void()> &work);

// The digests the helper computes.
enum class DigestAlgorithm { Md5, Sha1 };

// A running digest, computed by the system's own library (libcrypto on POSIX, CNG on Windows),
// which uses the processor's SHA instructions where it has them. Not copyable.
struct RunningDigest {
    void *context = nullptr;
};

// Starts a digest; throws std::bad_alloc when the library has no memory for it.
void startDigest(DigestAlgorithm algorithm, RunningDigest &digest);

// Adds size bytes to the digest.
void addToDigest(RunningDigest &digest, const char *bytes, std::size_t size);

// Returns the digest of all bytes added, as raw bytes, and releases the digest's state.
std::string finishDigest(RunningDigest &digest);

// Releases a digest's state without finishing it; nothing when it holds none.
void discardDigest(RunningDigest &digest);

// An open file read from start to end. Not copyable; closeReadFile releases it.
struct InputFile {
    std::intptr_t handle = -1;
    FileIdentity identity;
};

// Opens a regular file for one sequential read, following links, and takes its identity.
// Refused for the file's own reasons (no permission, a sharing lock); Failed for others.
FileOutcome openReadFile(const std::string &pathUtf8, InputFile &file);

// Reads up to size bytes into buffer; returns the count, 0 at the end, -1 on a read error.
// Throws std::bad_alloc when the system is out of memory.
std::int64_t readFileChunk(const InputFile &file, char *buffer, std::size_t size);

// Closes a file opened by openReadFile.
void closeReadFile(InputFile &file);

// Stores in identity what pathUtf8 names, following links. Refused when nothing is there, Failed
// when that cannot be told.
FileOutcome identityOfPath(const std::string &pathUtf8, FileIdentity &identity);

// Resolves pathUtf8 as the system does when it opens the path: every link followed, a dangling
// final link naming the file to create beside it. Stores in resolved a path without links; false
// when a folder on the way is missing, there are more links than the system follows, or a loop.
bool resolveResultPath(const std::string &pathUtf8, std::string &resolved);

// Replaces the regular file at pathUtf8 (a path without links; created when missing) with bytes,
// whole and at once: written under a short temporary name in the same folder and renamed over it.
// Where the folder takes no new file, or the rename is refused for a while (a reader holds the
// file), writes in place under an exclusive lock. Failed leaves the earlier file as it was and no
// temporary file behind; Refused means pathUtf8 names something that is no regular file.
FileOutcome replaceFileContent(const std::string &pathUtf8, const std::string &bytes);

// How a listing ended: every entry seen; not opened because the folder is closed to this user
// (reads as empty); gone or past the path limit (reads as empty); no longer a folder, or a link
// (not walked); not opened for a reason that says nothing about the folder (an I/O error); out
// of file handles, at the open or part way; declined by the caller on seeing its identity;
// broken off after some entries.
enum class ListingEnd { Complete, Closed, Gone, NotAFolder, OpenFailed, Exhausted, Declined, BrokeOff };

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

// Opens folder, following a final link only when followLink (the start folder), and asks enter
// with its identity whether to list it; then calls visit once per entry but "." and ".." in the
// platform's order, with this one listing open. For NotAFolder, OpenFailed, Exhausted and
// BrokeOff, failure holds the error's text. Throws std::bad_alloc when out of memory.
ListingEnd listFolder(const std::string &folder, bool followLink,
                      const std::function<bool(const FileIdentity &)> &enter,
                      const std::function<void(const ListedEntry &)> &visit, std::string &failure);
