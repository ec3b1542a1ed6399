#include "platform.h"

#include <windows.h>
#include <shlwapi.h>

#include <stdexcept>

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

bool isDotOrDotDot(const wchar_t *name)
{
    return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0;
}

// folderPrefix is the folder's path ending in one separator.
ListedEntry entryFromFindData(const std::wstring &folderPrefix, const WIN32_FIND_DATAW &data)
{
    const std::uint64_t size = (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    ListedEntry entry = listedEntryFromFindData(data.dwFileAttributes, data.dwReserved0, size);
    // A file sized by the listing needs no path at all.
    if (!entry.hasSize)
        entry.path = utf8FromWide((folderPrefix + data.cFileName).c_str());
    return entry;
}

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

ListedEntry listedEntryFromFindData(std::uint32_t attributes, std::uint32_t reparseTag, std::uint64_t size)
{
    ListedEntry entry;
    // Symbolic links and junctions stand for another name: never walked, so no cycles, and sized
    // as their target. Other reparse points (cloud files, deduplicated files) are what they seem.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparseTag))
        return entry;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        entry.isFolder = true;
        return entry;
    }
    entry.hasSize = true;
    entry.size = size;
    return entry;
}

ListingEnd listFolder(const std::string &folder, const std::function<void(const ListedEntry &)> &visit,
                      std::string &failure)
{
    // Entries are this prefix and their name: one separator, also after a drive root's own.
    std::wstring path = extendedLengthPath(wideFromUtf8(folder));
    if (path.empty() || path.back() != L'\\')
        path += L'\\';
    const std::wstring pattern = path + L'*';
    WIN32_FIND_DATAW data;
    // Names, attributes, reparse tags and sizes in one call, so no file needs a query of its own.
    const HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                         nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (isFoldersOwnFailure(code))
            return ListingEnd::NotListable;
        failure = failureText("directory iterator cannot open directory", code, path);
        return ListingEnd::OpenFailed;
    }
    do {
        if (!isDotOrDotDot(data.cFileName))
            visit(entryFromFindData(path, data));
    } while (FindNextFileW(find, &data));
    const DWORD code = GetLastError();
    FindClose(find);
    if (code != ERROR_NO_MORE_FILES) {
        failure = failureText("directory iterator cannot advance", code, path);
        return ListingEnd::BrokeOff;
    }
    return ListingEnd::Complete;
}

std::uint64_t sizeOfListedEntry(const ListedEntry &entry)
{
    if (entry.hasSize)
        return entry.size;
    // A link: open what it leads to and size that, when it is a file.
    const std::wstring path = extendedLengthPath(wideFromUtf8(entry.path));
    const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error(failureText("cannot get file size", GetLastError(), path));
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(file, &info);
    const DWORD code = GetLastError();
    CloseHandle(file);
    if (!known)
        throw std::runtime_error(failureText("cannot get file size", code, path));
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        throw std::runtime_error("filesystem error: cannot get file size: Is a directory [" + utf8FromWide(path.c_str()) + "]");
    return (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}
