#pragma once

// What every part of the platform layer speaks in: the kinds of failure, the outcome of a call,
// paths as text, open handles, and what the system says of a file.

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

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
// it the report. Throws std::bad_alloc when result says so: the seam does for every call's outcome
// (calls.h), and the few callers that take an outcome unraised do once they are done.
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
