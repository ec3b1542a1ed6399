// FILE_ID_INFO and the directory information classes; older systems answer them with an error,
// which is handled, not with a missing import.
#define _WIN32_WINNT 0x0602

#include "platform.h"
#include "platform_windows.h"

#include <windows.h>
#include <shlwapi.h>

#include <cstring>
#include <new>
#include <vector>

namespace {

std::wstring wideFromUtf8(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

std::string utf8FromWide(const wchar_t *text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return std::string();
    std::string narrow(std::size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], length, nullptr, nullptr);
    narrow.resize(std::size_t(length - 1)); // drop the terminating zero
    return narrow;
}

// The system's own text for an error code, without its trailing line end.
std::string errorText(DWORD code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring text = length > 0 && buffer ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : utf8FromWide(text.c_str());
}

// The same wording as the standard library's filesystem errors on the other platforms.
std::string failureText(const char *what, DWORD code, const std::wstring &path)
{
    return std::string("filesystem error: ") + what + ": " + errorText(code) + " [" + utf8FromWide(path.c_str()) + "]";
}

bool hasPrefix(const std::wstring &text, const wchar_t *prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The extended-length form of a path ("\\?\C:\..."), which Windows lists and opens up to its
// own limit of about 32,767 characters instead of 260. The walk passes such paths down, so only
// the start folder, given by the user, is made absolute and cleaned here.
std::wstring extendedLengthPath(const std::wstring &path)
{
    if (hasPrefix(path, L"\\\\?\\") || hasPrefix(path, L"\\\\.\\"))
        return path;
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed)
        return path;
    full.resize(length);
    if (hasPrefix(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Reasons that belong to the folder itself: gone, not a folder, closed to this user, a bad or
// too long name, or a drive without a medium. They read as an empty folder.
bool isFoldersOwnFailure(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_DIRECTORY:
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return true;
    default:
        return false;
    }
}

// Running out of memory is no failure of one entry or folder: the whole walk is then cut short.
void throwIfOutOfMemory(DWORD code)
{
    if (code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_OUTOFMEMORY)
        throw std::bad_alloc();
}

ListingEnd openFailure(DWORD code, const std::wstring &path, std::string &failure)
{
    throwIfOutOfMemory(code);
    if (isFoldersOwnFailure(code))
        return ListingEnd::NotListable;
    failure = failureText("directory iterator cannot open directory", code, path);
    return ListingEnd::OpenFailed;
}

// The open folder's volume serial number and file id; the 128-bit FILE_ID_INFO where the system
// has it (Windows 8 and later, ReFS), else the 64-bit index of BY_HANDLE_FILE_INFORMATION.
bool identityOf(HANDLE folder, FolderIdentity &identity)
{
    FILE_ID_INFO id;
    if (GetFileInformationByHandleEx(folder, FileIdInfo, &id, sizeof id)) {
        identity.volume = id.VolumeSerialNumber;
        std::memcpy(&identity.fileHigh, id.FileId.Identifier + 8, 8);
        std::memcpy(&identity.fileLow, id.FileId.Identifier, 8);
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info))
        return false;
    identity.volume = info.dwVolumeSerialNumber;
    identity.fileHigh = 0;
    identity.fileLow = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

// Sizes a symbolic link or junction as what it leads to, when that is a file.
void sizeLinkTarget(const std::wstring &path, ListedEntry &entry)
{
    const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        throwIfOutOfMemory(code);
        entry.failure = failureText("cannot get file size", code, path);
        return;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info);
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!known)
        entry.failure = failureText("cannot get file size", code, path);
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        entry.failure = "filesystem error: cannot get file size: Is a directory [" + utf8FromWide(path.c_str()) + "]";
    else
        entry.size = (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

bool isDotOrDotDot(const wchar_t *name, std::size_t length)
{
    return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

// Fills entry from one record of the folder's listing; prefix is the folder's path ending in one
// separator. A file is sized by the record itself, so only links and folders need a path.
void fillEntry(const FILE_ID_BOTH_DIR_INFO &record, const std::wstring &prefix, ListedEntry &entry)
{
    clearListedEntry(entry);
    // For a reparse point, the directory listing reports its reparse tag in the EA size field.
    const WindowsEntryKind kind = kindOfWindowsEntry(record.FileAttributes, record.EaSize);
    if (kind == WindowsEntryKind::File) {
        entry.size = std::uint64_t(record.EndOfFile.QuadPart);
        return;
    }
    const std::wstring path = prefix + std::wstring(record.FileName, record.FileNameLength / sizeof(wchar_t));
    if (kind == WindowsEntryKind::Folder) {
        entry.isFolder = true;
        entry.path = utf8FromWide(path.c_str());
        return;
    }
    sizeLinkTarget(path, entry);
}

// Closes a handle when the listing ends, however it ends.
struct HandleCloser {
    HANDLE handle;
    ~HandleCloser() { CloseHandle(handle); }
};

} // namespace

bool queryVolumeCapacity(const std::string &rootUtf8, std::uint64_t &capacity)
{
    ULARGE_INTEGER availableToCaller, totalBytes, totalFree;
    if (!GetDiskFreeSpaceExW(wideFromUtf8(rootUtf8).c_str(), &availableToCaller, &totalBytes, &totalFree))
        return false;
    capacity = totalBytes.QuadPart;
    return true;
}

std::string formatShortByteSize(std::uint64_t bytes)
{
    wchar_t buffer[100] = {};
    // The shell takes a signed count; its text is the one the viewer shows elsewhere.
    StrFormatByteSizeW(static_cast<LONGLONG>(bytes), buffer, 100);
    return utf8FromWide(buffer);
}

void ignoreBrokenPipes()
{
    // Windows has no such signal: a write to a closed pipe fails with an error.
}

WindowsEntryKind kindOfWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag)
{
    // Symbolic links and junctions stand for another name: never walked, so no cycles, and sized
    // as their target. Other reparse points (cloud files, deduplicated files) are what they seem.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparseTag))
        return WindowsEntryKind::NameSurrogate;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? WindowsEntryKind::Folder : WindowsEntryKind::File;
}

ListingEnd listFolder(const std::string &folder, const std::function<bool(const FolderIdentity &)> &enter,
                      const std::function<void(const ListedEntry &)> &visit, std::string &failure)
{
    // Entries are this prefix and their name: one separator, also after a drive root's own.
    std::wstring prefix = extendedLengthPath(wideFromUtf8(folder));
    if (prefix.empty() || prefix.back() != L'\\')
        prefix += L'\\';
    // One open handle gives the folder's identity and then its listing, in batches of records that
    // hold names, attributes, reparse tags and sizes, so no file needs a query of its own.
    const HANDLE handle = CreateFileW(prefix.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return openFailure(GetLastError(), prefix, failure);
    const HandleCloser closer{handle};
    FolderIdentity identity;
    if (!identityOf(handle, identity))
        return openFailure(GetLastError(), prefix, failure);
    if (!enter(identity))
        return ListingEnd::Declined;
    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t)); // 8-byte aligned records
    const DWORD bufferSize = DWORD(buffer.size() * sizeof(std::uint64_t));
    ListedEntry entry;
    bool anyRecord = false;
    while (GetFileInformationByHandleEx(handle, FileIdBothDirectoryInfo, buffer.data(), bufferSize)) {
        anyRecord = true;
        const char *record = reinterpret_cast<const char *>(buffer.data());
        for (;;) {
            const auto &info = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(record);
            if (!isDotOrDotDot(info.FileName, info.FileNameLength / sizeof(wchar_t))) {
                fillEntry(info, prefix, entry);
                visit(entry);
            }
            if (info.NextEntryOffset == 0)
                break;
            record += info.NextEntryOffset;
        }
    }
    const DWORD code = GetLastError();
    throwIfOutOfMemory(code);
    // A folder without even "." and ".." (a FAT drive's root) has nothing to list from the start.
    const bool empty = !anyRecord && code == ERROR_FILE_NOT_FOUND;
    if (code != ERROR_NO_MORE_FILES && !empty) {
        failure = failureText("directory iterator cannot advance", code, prefix);
        return ListingEnd::BrokeOff;
    }
    return ListingEnd::Complete;
}
