// The plumbing first: it sets the Windows version the system headers declare.
#include "platform/windows_internal.h"
#include "platform/folders.h"
#include "platform/platform_windows.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace windows_internal;

namespace {

std::wstring joined(const std::string &folder, const std::string &name)
{
    std::wstring path = wideFrom(joinPath(folder, name));
    for (wchar_t &c : path)
        c = c == L'/' ? L'\\' : c;
    return path;
}

// Codes with which a file system or network redirector refuses an information class.
bool refusesInformationClass(DWORD code)
{
    return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_LEVEL || code == ERROR_NOT_SUPPORTED ||
           code == ERROR_INVALID_FUNCTION;
}

// The open file's name on its volume ("\\users\\x"), as the system gives it; empty where it
// gives none.
std::wstring nameOnVolume(HANDLE handle)
{
    std::vector<char> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    auto *info = reinterpret_cast<FILE_NAME_INFO *>(buffer.data());
    if (!SYS(GetFileInformationByHandleEx, FALSE)(handle, FileNameInfo, info, DWORD(buffer.size())))
        return std::wstring();
    return std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t));
}

} // namespace

SysResult openStartFolder(const std::string &path, OpenFolder &folder)
{
    if (isDeviceName(wideFrom(path)))
        return DeviceRefused;
    std::wstring prefix = extendedLengthPath(wideFrom(path));
    if (prefix.empty() || prefix.back() != L'\\')
        prefix += L'\\';
    Handle handle = owned(openWide(prefix, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, ShareAll, OPEN_EXISTING, 0));
    if (!handle.valid())
        return lastError();
    folder.nameOnVolume = bytesFrom(nameOnVolume(handleOf(handle)));
    folder.handle = std::move(handle);
    folder.path = bytesFrom(prefix);
    return {};
}

namespace {

// True when the subfolder opened for relative is the one of that name below the start folder:
// a junction or link on the way (which FILE_OPEN_REPARSE_POINT, for the last name only, does not
// stop) gives the name of where it leads.
bool isReachedByName(const OpenFolder &start, const std::string &relative, HANDLE opened)
{
    std::wstring expected = wideFrom(start.nameOnVolume), got = nameOnVolume(opened);
    if (expected.empty() || got.empty())
        return true;
    if (expected.back() != L'\\')
        expected += L'\\';
    for (wchar_t c : wideFrom(relative))
        expected += c == L'/' ? L'\\' : c;
    return CompareStringOrdinal(expected.c_str(), int(expected.size()), got.c_str(), int(got.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

SysResult openSubfolder(const OpenFolder &start, const std::string &relative, OpenFolder &folder)
{
    // From the start folder's handle; the last name is opened as itself: a link or junction in its
    // place is never walked.
    Handle handle;
    const SysResult opened = openRelative(start, relative, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, ShareAll,
                                          FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT, handle);
    if (!opened.ok())
        return opened;
    const std::wstring path = joined(start.path, relative);
    BY_HANDLE_FILE_INFORMATION info;
    if (!SYS(GetFileInformationByHandle, FALSE)(handleOf(handle), &info))
        return lastError();
    if (kindOfWindowsEntry(info.dwFileAttributes, reparseTagOf(handleOf(handle), info.dwFileAttributes)) != WindowsEntryKind::Folder ||
        !isReachedByName(start, relative, handleOf(handle)))
        return {SysError::NotAFolder, ERROR_DIRECTORY};
    // A reparse point that stands for no other name (a cloud placeholder, deduplication, an HSM
    // stub) is opened again as the system presents it: opened as itself, a placeholder not yet
    // filled lists nothing, where Explorer shows and counts its contents.
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        Handle presented;
        const SysResult reopened = openRelative(start, relative, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, ShareAll,
                                                FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, presented);
        if (!reopened.ok())
            return reopened;
        // The same folder, not one swapped in between the two opens.
        BY_HANDLE_FILE_INFORMATION again;
        if (!SYS(GetFileInformationByHandle, FALSE)(handleOf(presented), &again))
            return lastError();
        if (!isSameFile(identityOf(handleOf(presented), again), identityOf(handleOf(handle), info)))
            return {SysError::NotAFolder, ERROR_DIRECTORY};
        handle = std::move(presented);
    }
    folder.handle = std::move(handle);
    folder.path = bytesFrom(path);
    return {};
}

WindowsEntryKind kindOfWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag)
{
    // Symbolic links and junctions stand for another name: never walked, so no cycles, and sized
    // as their target. Other reparse points (cloud files, deduplicated files) are what they seem.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && IsReparseTagNameSurrogate(reparseTag))
        return WindowsEntryKind::NameSurrogate;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? WindowsEntryKind::Folder : WindowsEntryKind::File;
}

namespace {

bool isDotOrDotDot(const wchar_t *name, std::size_t length)
{
    return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

// One listed name: typed from its attributes and reparse tag, a file sized by the listing.
void visitRecord(const wchar_t *name, std::size_t length, DWORD attributes, DWORD tag, std::uint64_t size,
                 FolderEntry &entry, const std::function<void(const FolderEntry &)> &visit)
{
    if (isDotOrDotDot(name, length))
        return;
    entry.name = bytesFrom(name, length);
    switch (kindOfWindowsEntry(attributes, tag)) {
    case WindowsEntryKind::Folder: entry.type = EntryType::Folder; break;
    case WindowsEntryKind::NameSurrogate: entry.type = EntryType::Link; break;
    default: entry.type = EntryType::Regular; break;
    }
    entry.sized = entry.type == EntryType::Regular;
    entry.size = entry.sized ? size : 0;
    visit(entry);
}

// Visits every record of one batch; both record kinds carry the fields used here. For a reparse
// point, the listing reports its reparse tag in the EA size field.
template <typename Record>
void visitBatch(const std::vector<std::uint64_t> &buffer, FolderEntry &entry,
                const std::function<void(const FolderEntry &)> &visit)
{
    const char *at = reinterpret_cast<const char *>(buffer.data());
    for (;;) {
        const auto &record = *reinterpret_cast<const Record *>(at);
        visitRecord(record.FileName, record.FileNameLength / sizeof(wchar_t), record.FileAttributes, record.EaSize,
                    std::uint64_t(record.EndOfFile.QuadPart), entry, visit);
        if (record.NextEntryOffset == 0)
            return;
        at += record.NextEntryOffset;
    }
}

// Lists through the folder's path with the call every Windows and redirector has.
SysResult listByFind(const OpenFolder &folder, const std::function<void(const FolderEntry &)> &visit)
{
    WIN32_FIND_DATAW data;
    const std::wstring pattern = joined(folder.path, "*");
    const NamesAsGiven unredirected;
    const HANDLE find = SYS(FindFirstFileExW, INVALID_HANDLE_VALUE)(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                         FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? SysResult{} : lastError();
    FolderEntry entry;
    DWORD code = ERROR_NO_MORE_FILES;
    do {
        const DWORD tag = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? data.dwReserved0 : 0;
        visitRecord(data.cFileName, wcslen(data.cFileName), data.dwFileAttributes, tag,
                    (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow, entry, visit);
        if (!SYS(FindNextFileW, FALSE)(find, &data))
            code = GetLastError();
        else
            code = ERROR_SUCCESS;
    } while (code == ERROR_SUCCESS);
    FindClose(find);
    return code == ERROR_NO_MORE_FILES ? SysResult{} : resultOf(long(code));
}

} // namespace

ListingBuffer makeListingBuffer()
{
    return ListingBuffer(64 * 1024 / sizeof(std::uint64_t)); // 8-byte aligned records
}

SysResult listFolderWith(const OpenFolder &folder, ListingClass first, ListingBuffer &buffer,
                         const std::function<void(const FolderEntry &)> &visit)
{
    const DWORD bufferSize = DWORD(buffer.size() * sizeof(std::uint64_t));
    FolderEntry entry;
    ListingClass listing = first;
    bool anyBatch = false;
    for (;;) {
        if (listing == ListingClass::Find)
            return listByFind(folder, visit);
        const FILE_INFO_BY_HANDLE_CLASS type = listing == ListingClass::FileIds ? FileIdBothDirectoryInfo : FileFullDirectoryInfo;
        if (!SYS(GetFileInformationByHandleEx, FALSE)(handleOf(folder.handle), type, buffer.data(), bufferSize)) {
            const DWORD code = GetLastError();
            // A file system or redirector that knows no such class (Windows 7 has no fuller one
            // without ids) is listed the next way; the first batch decides.
            if (!anyBatch && refusesInformationClass(code)) {
                listing = listing == ListingClass::FileIds ? ListingClass::Full : ListingClass::Find;
                continue;
            }
            // A folder without even "." and ".." (a FAT drive's root) has nothing to list.
            if (code == ERROR_NO_MORE_FILES || (!anyBatch && code == ERROR_FILE_NOT_FOUND))
                return {};
            return resultOf(long(code));
        }
        anyBatch = true;
        if (listing == ListingClass::FileIds)
            visitBatch<FILE_ID_BOTH_DIR_INFO>(buffer, entry, visit);
        else
            visitBatch<FILE_FULL_DIR_INFO>(buffer, entry, visit);
    }
}

SysResult listFolder(const OpenFolder &folder, ListingBuffer &buffer, const std::function<void(const FolderEntry &)> &visit)
{
    return listFolderWith(folder, ListingClass::FileIds, buffer, visit);
}

SysResult statusAt(const OpenFolder &folder, const std::string &name, bool followLinks, FileStatus &status)
{
    Handle handle;
    const SysResult opened = openRelative(folder, name, FILE_READ_ATTRIBUTES, ShareAll, FILE_OPEN,
                                          FILE_OPEN_FOR_BACKUP_INTENT | (followLinks ? 0 : FILE_OPEN_REPARSE_POINT), handle);
    return opened.ok() ? statusOfHandle(handle, status) : opened;
}

SysResult isVolumeRoot(const OpenFolder &folder, bool &root)
{
    // Without its volume, the system names a volume's root "\\": a drive, a FAT root (whose file
    // number is 0), a volume mounted in a folder, however the user spelled it. A share's volume is
    // the network redirector, and its name there begins with the server and the share:
    // "\\srv\share" alone is the share's root, reached by its name or through a mapped drive.
    std::wstring path, dos;
    if (!systemPathOf(handleOf(folder.handle), VOLUME_NAME_NONE, path))
        return lastError();
    if (path.size() > 1 && path.back() == L'\\')
        path.pop_back();
    const bool remote = systemPathOf(handleOf(folder.handle), VOLUME_NAME_DOS, dos) && hasPrefix(dos, L"\\\\?\\UNC\\");
    root = path == L"\\" || (remote && std::count(path.begin(), path.end(), L'\\') == 2);
    return {};
}

SysResult queryVolumeCapacity(const OpenFolder &folder, std::uint64_t &capacity)
{
    // From the open folder's handle: the volume it is on, whatever its drive letter names now.
    // The total as the user sees it, quotas applied, as GetDiskFreeSpaceExW gives it.
    const auto NtQueryVolumeInformationFile = lookedUpCalls().queryVolumeInformation;
    FILE_FS_FULL_SIZE_INFORMATION size = {};
    IO_STATUS_BLOCK io = {};
    if (NtQueryVolumeInformationFile &&
        SYS(NtQueryVolumeInformationFile, StatusUnsuccessful)(handleOf(folder.handle), &io, &size, sizeof size, FileFsFullSizeInformation) >= 0) {
        capacity = std::uint64_t(size.TotalAllocationUnits.QuadPart) * size.SectorsPerAllocationUnit * size.BytesPerSector;
        return {};
    }
    // A file system that does not answer it: by the path that opened the folder.
    ULARGE_INTEGER availableToCaller, totalBytes, totalFree;
    const NamesAsGiven unredirected;
    if (!SYS(GetDiskFreeSpaceExW, FALSE)(wideFrom(folder.path).c_str(), &availableToCaller, &totalBytes, &totalFree))
        return lastError();
    capacity = totalBytes.QuadPart;
    return {};
}

std::string systemByteSizeText(std::uint64_t bytes)
{
    wchar_t buffer[100] = {};
    // The shell takes a signed count; its text is the one the viewer shows elsewhere.
    StrFormatByteSizeW(static_cast<LONGLONG>(bytes), buffer, 100);
    return bytesFrom(buffer, wcslen(buffer));
}
