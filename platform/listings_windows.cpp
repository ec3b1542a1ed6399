// The plumbing first: it sets the Windows version the system headers declare.
#include "platform/windows_internal.h"
#include "platform/listings.h"
#include "platform/platform_windows.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

using namespace windows_internal;

namespace {

// Codes with which a file system or network redirector refuses an information class.
bool refusesInformationClass(DWORD code)
{
    return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_LEVEL || code == ERROR_NOT_SUPPORTED ||
           code == ERROR_INVALID_FUNCTION;
}

bool isDotOrDotDot(const wchar_t *name, std::size_t length)
{
    return (length == 1 && name[0] == L'.') || (length == 2 && name[0] == L'.' && name[1] == L'.');
}

// One listed name: typed from its attributes and reparse tag, a file sized by the listing.
void visitRecord(const wchar_t *name, std::size_t length, DWORD attributes, DWORD tag, std::uint64_t size, std::uint64_t fileId,
                 FolderEntry &entry, const std::function<void(const FolderEntry &)> &visit)
{
    if (isDotOrDotDot(name, length))
        return;
    entry.name = bytesFrom(name, length);
    entry.fileId = fileId;
    switch (kindOfWindowsEntry(attributes, tag)) {
    case WindowsEntryKind::Folder: entry.type = EntryType::Folder; break;
    case WindowsEntryKind::NameSurrogate: entry.type = EntryType::Link; break;
    default: entry.type = EntryType::Regular; break;
    }
    entry.sized = entry.type == EntryType::Regular;
    entry.size = entry.sized ? size : 0;
    visit(entry);
}

// The file number a record gives: none in the fuller records without ids; all ones (a number that
// does not fit, ReFS) is none.
std::uint64_t fileIdOf(const FILE_FULL_DIR_INFO &)
{
    return 0;
}

std::uint64_t fileIdOf(const FILE_ID_BOTH_DIR_INFO &record)
{
    const std::uint64_t number = std::uint64_t(record.FileId.QuadPart);
    return number == ~std::uint64_t(0) ? 0 : number;
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
                    std::uint64_t(record.EndOfFile.QuadPart), fileIdOf(record), entry, visit);
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
                    (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow, 0, entry, visit);
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
        // From the start on the first call: the start folder's own listing may have been read for
        // its "." entry as it opened.
        const FILE_INFO_BY_HANDLE_CLASS type = listing == ListingClass::FileIds ? (anyBatch ? FileIdBothDirectoryInfo : FileIdBothDirectoryRestartInfo)
                                                                               : FileFullDirectoryInfo;
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
