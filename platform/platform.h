#pragma once

// The operating system's calls, one small function each, over plain types that both platforms
// fill alike. Standard C++ only, so each platform's source compiles on its own. Nothing here
// decides what an outcome means for a report, how often to try again, or what a message says:
// that is written once, above this layer. Two things are this layer's all the same, each said at
// its function: how many links of a result's chain are read (as many as the kernel follows), and
// which names are devices and no files (Windows). Paths are bytes: as given on POSIX, WTF-8 on Windows
// (UTF-8 that keeps the unpaired surrogates NTFS names may hold).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <vector>

// The kinds of failure that something above this layer tells apart, whatever the system's own
// code; every other failure (an I/O error, a full disk, a loop of links) is Other.
enum class SysError {
    None,         // it worked
    Missing,      // no such file or folder, or a folder on the way is missing
    Denied,       // no permission, or refused by the system's rules (a protected link)
    Locked,       // held by another program: a sharing violation, a lock, busy
    Exists,       // a new name is taken already
    NotAFolder,   // a folder was needed (a file or a link in its place)
    NameTooLong,  // a name or path past the system's limit
    OutOfHandles, // no file handle left, for the process or the system
    OutOfMemory,  // no memory left
    ReadOnly,     // a read-only volume
    NotSupported, // the file system or call does not do this
    Gone,         // the device, the network share or the volume is gone, or no longer answers
    Other,        // anything else: the device failed, the volume is full, a loop of links
};

// The outcome of one call: its kind and the system's own code (errno, or a Windows error code).
struct SysResult {
    SysError kind = SysError::None;
    long code = 0;
    bool ok() const { return kind == SysError::None; }
};

// Out of memory is no failure of one file, folder or call: the whole mode is cut short, and with
// it the report. Throws std::bad_alloc when result says so; every mode reads outcomes this way.
inline void throwIfOutOfMemory(const SysResult &result)
{
    if (result.kind == SysError::OutOfMemory)
        throw std::bad_alloc();
}

// Returns the kind of the system's error code; 0 is None.
SysError errorKindOf(long code);

// Returns the system's own text for an error code, such as "Permission denied".
std::string errorTextOf(long code);

// Returns the outcome for an error code: None for 0, else its kind and the code.
inline SysResult resultOf(long code)
{
    return {errorKindOf(code), code};
}

// The characters that separate names in a path: "/", and on Windows "\\" (first) too.
extern const char PathSeparators[];

// Returns name below folder, joined by the platform's first separator unless folder ends in one;
// the other alone where one is empty. The one way paths are joined as text.
inline std::string joinPath(const std::string &folder, const std::string &name)
{
    if (folder.empty() || name.empty())
        return folder + name;
    const bool separated = std::string(PathSeparators).find(folder.back()) != std::string::npos;
    return separated ? folder + name : folder + PathSeparators[0] + name;
}

using NativeHandle = std::intptr_t;
const NativeHandle NoHandle = -1;

// Closes a descriptor or handle that the system gave.
void closeNativeHandle(NativeHandle handle);

// An open file, folder or listing, closed when its owner goes. Move-only.
class Handle {
public:
    Handle() = default;
    explicit Handle(NativeHandle value) : value_(value) {}
    Handle(Handle &&other) noexcept : value_(other.value_) { other.value_ = NoHandle; }
    Handle &operator=(Handle &&other) noexcept
    {
        if (this != &other) {
            reset();
            value_ = other.value_;
            other.value_ = NoHandle;
        }
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle() { reset(); }

    bool valid() const { return value_ != NoHandle; }
    NativeHandle get() const { return value_; }
    // Closes the handle now; it holds none afterwards.
    void reset()
    {
        if (value_ != NoHandle)
            closeNativeHandle(value_);
        value_ = NoHandle;
    }

private:
    NativeHandle value_ = NoHandle;
};

// Which file or folder a handle refers to: its volume and file number there. A file system that
// gives no numbers (zero, or all ones) leaves it unknown.
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

// Returns the identity for a file number; unknown when the file system gave none.
inline FileIdentity makeFileIdentity(std::uint64_t volume, std::uint64_t fileHigh, std::uint64_t fileLow)
{
    const bool none = (fileHigh == 0 && fileLow == 0) || (fileHigh == ~std::uint64_t(0) && fileLow == ~std::uint64_t(0));
    return {!none, volume, fileHigh, fileLow};
}

enum class EntryType { Folder, Regular, Link, Other, Unknown };

// What the system says of a file: its type, identity, size, times, owner and permissions.
// POSIX fills mode, owner and group; Windows fills attributes.
struct FileStatus {
    EntryType type = EntryType::Unknown;
    FileIdentity identity;
    std::uint64_t size = 0;
    std::int64_t modified = 0; // nanoseconds, or the system's own ticks
    std::int64_t changed = 0;
    std::uint32_t links = 1;
    std::uint32_t mode = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint32_t attributes = 0;
};

// Stores what the open handle refers to in status.
SysResult statusOfHandle(const Handle &handle, FileStatus &status);

// Stores what path names in status, following links when followLinks.
SysResult statusOfPath(const std::string &path, bool followLinks, FileStatus &status);

// Opens the file at path for one read from start to end, following links, shared with every other
// reader, writer and remover, and without waiting on a FIFO in its place; what kind of file it
// opened is for the caller to look at (statusOfHandle).
SysResult openForReading(const std::string &path, Handle &file);

// Reads up to size bytes into buffer and stores the count in count: 0 at the end.
SysResult readChunk(const Handle &file, char *buffer, std::size_t size, std::size_t &count);

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

// Where a result file goes: its folder, opened, and its name there, links followed by the system
// under its own rules, so that a link the system refuses to follow is refused here too.
struct ResultPlace {
    OpenFolder folder;
    std::string name;
};

// Opens the folder of path and names the file path leads to there. A final link is followed by
// the system (its rules, its limit); a dangling one names the file the system would create, its
// chain read link by link up to the 40 links the kernel follows. A device name is refused.
SysResult openResultPlace(const std::string &path, ResultPlace &place);

// Stores what the place's name is in status, without following a link.
SysResult statusOfPlace(const ResultPlace &place, FileStatus &status);

// Creates a file without a name in the place's folder, for writing; NotSupported where the file
// system has no such files.
SysResult createUnnamedFile(const ResultPlace &place, Handle &file);

// Creates the new file name in the place's folder, for writing; Exists when the name is taken.
SysResult createNamedFile(const ResultPlace &place, const std::string &name, Handle &file);

// Opens the existing regular file of the place for reading and writing in place, without
// following a link and without waiting on a FIFO.
SysResult openForWriting(const ResultPlace &place, Handle &file);

// Opens the existing file of the place for reading its attributes, without following a link:
// for reading where the user may, else for writing, else for its attributes alone (POSIX).
SysResult openForAttributes(const ResultPlace &place, Handle &file);

// Writes every byte to the file at its current position.
SysResult writeAll(const Handle &file, const std::string &bytes);

// Empties the file and sets its position to the start.
SysResult truncateFile(const Handle &file);

// Waits until the file's bytes are on the device.
SysResult flushFile(const Handle &file);

// Takes an exclusive lock on the whole file without waiting; Locked when another holds one.
SysResult tryLockFile(const Handle &file);

// Gives file the owner and group of the status, where they differ.
SysResult copyOwner(const FileStatus &from, const Handle &file);

// Gives file the permissions (mode bits, or read-only, hidden and system attributes) of status.
SysResult copyPermissions(const FileStatus &from, const Handle &file);

// Gives file every extended attribute and access control list of the file from, and its
// user-settable file flags (no-dump, no-atime, compression; POSIX, where the file system has them).
SysResult copyExtendedAttributes(const Handle &from, const Handle &file);

// Gives the unnamed file the name `name` in the place's folder; Exists when it is taken, NotSupported
// where the system names no unnamed file for this process.
SysResult nameUnnamedFile(const ResultPlace &place, const Handle &file, const std::string &name);

// Renames the open file named from to the place's name, in the place's folder, replacing what is
// there; through the file's own handle where the system can (Windows).
SysResult renameOverResult(const ResultPlace &place, const Handle &file, const std::string &from);

// Removes the name from the place's folder.
SysResult removeName(const ResultPlace &place, const std::string &name);

// Stores in own whether the existing file of the place belongs to the process's user (its owner
// is the effective user; on Windows the token's user).
SysResult isOwnedByUser(const ResultPlace &place, bool &own);

// True when the system lets no user make a hard link to a file they do not own (Linux's
// fs.protected_hardlinks); false where it does, or cannot tell.
bool hardLinksProtected();

// True when the process has more rights than an ordinary user: root (effective user 0) on POSIX,
// an elevated token on Windows.
bool runsElevated();

// Returns a number that differs between runs and processes, to name temporary files.
std::uint64_t uniqueSeed();

// Sleeps for ms milliseconds.
void sleepMilliseconds(int ms);

// Stores in capacity the total bytes of the volume that holds the open folder, as the user sees it.
SysResult queryVolumeCapacity(const OpenFolder &folder, std::uint64_t &capacity);

// Returns the system's short size text of a byte count; empty where it has none of its own.
std::string systemByteSizeText(std::uint64_t bytes);

// Returns the process's arguments as given: argv's bytes on POSIX, the wide command line split
// by the system's rules on Windows. argv must be read before any framework changes it.
std::vector<std::string> commandLineArguments(int argc, char **argv);

// Returns the folder of the helper's own program file, ending in a separator; empty when unknown.
std::string ownProgramFolder();

// Returns the folders of the system's program search path (PATH), in order, as written there.
std::vector<std::string> programSearchFolders();

// True when path is absolute: it names the same file whatever the current folder.
bool isAbsolutePath(const std::string &path);

// True when path names an existing file that the system could start as a program.
bool isProgramFile(const std::string &path);

// Starts the program file at path detached and clean: in its own folder, holding none of the
// helper's handles (its standard streams on the null device), with every signal's default action
// and none blocked (POSIX); true when it started.
bool startDetached(const std::string &path);

// Returns the largest file size the process may write (its file size limit); all ones for none.
std::uint64_t largestWritableFileSize();

// What a termination signal waits for before it ends the process: the writer's steps that must
// not be cut short (from making a file or name to its rename or removal; from emptying a file to
// its last byte). Once a termination is pending no step begins, and the writer's waits end early.
class TerminationGate {
public:
    // Enters a step; false, entering none, once a termination is pending.
    bool enter()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        entered_ += ending_ ? 0 : 1;
        return !ending_;
    }
    // Leaves a step entered.
    void leave()
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        --entered_;
        changed_.notify_all();
    }
    // Sleeps for ms milliseconds; false, at once, when a termination is or becomes pending.
    bool sleepUnlessEnding(int ms)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ending_; });
    }
    // Makes a termination pending and waits, at most bound, until no step is entered.
    void waitForSteps(std::chrono::milliseconds bound)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        ending_ = true;
        changed_.notify_all();
        changed_.wait_for(lock, bound, [this] { return entered_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int entered_ = 0;
    bool ending_ = false;
};

// Sets what signals do for the whole run: a write to a closed pipe or past the file size limit
// fails with an error instead of ending the process. Nothing on Windows.
void prepareSignals();

// Runs work on a new thread with a stack of stackBytes and waits for it to end, while this thread
// takes SIGTERM, SIGINT, SIGHUP and SIGQUIT (those the caller ignored stay ignored): one ends the
// process as it would have, once gate has no step entered. Where the system gives no thread, work
// runs on this one. Windows, whose GUI programs get no such signals, only waits.
void runUntilTerminated(std::size_t stackBytes, const std::function<void()> &work, TerminationGate &gate);

// Puts the null device on each standard stream (input, output, error) the caller left closed, so
// that no file the helper opens takes its number and gets what is printed or logged. Nothing on
// Windows, whose handles are no small numbers.
void keepStandardStreamsOpen();

// Makes the system show the process every file as it is stored: a cloud file that is kept online
// as the placeholder it is, which Windows may otherwise disguise (Windows 10 1803 and later, where
// the call exists); nothing to do elsewhere.
void showFilesAsStored();

// Makes libraries loaded from now on come from the system's own folder only, never from the
// program's folder or the current one (Windows); nothing to do where the system has no such search.
void restrictLibrarySearch();

// Starts work on a new thread with a stack of stackBytes; false when the system refused it.
// The thread must be joined with joinThread.
bool startThread(std::size_t stackBytes, const std::function<void()> *work, NativeHandle &thread);

// Waits for a thread started by startThread to end, and releases it.
void joinThread(NativeHandle thread);

// Returns the bytes of one core's second-level cache of this processor; 0 where the system does
// not say.
std::size_t level2CacheBytes();

enum class DigestAlgorithm { Md5, Sha1 };

// A digest state of the system's own library (libcrypto, or CNG), released when it goes.
class DigestState {
public:
    DigestState() = default;
    DigestState(DigestState &&other) noexcept : context_(other.context_) { other.context_ = nullptr; }
    DigestState &operator=(DigestState &&) = delete;
    DigestState(const DigestState &) = delete;
    DigestState &operator=(const DigestState &) = delete;
    ~DigestState();

    // Starts a digest of algorithm; OutOfMemory or Other when the library refuses.
    SysResult start(DigestAlgorithm algorithm);
    // Adds size bytes.
    SysResult add(const char *bytes, std::size_t size);
    // Stores the digest of every byte added, raw, in value; the state is spent afterwards.
    SysResult finish(std::string &value);

private:
    void *context_ = nullptr;
};
