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

// The identity of the open folder by the number its own listing gives its "." entry, on volume:
// what a redirector that gives its handles no number may still give. Unknown where it gives none.
// Listing from the start again afterwards is for the listing's own first call (a restart).
FileIdentity identityByItsListing(HANDLE folder, std::uint64_t volume)
{
    std::vector<std::uint64_t> buffer(16 * 1024 / sizeof(std::uint64_t));
    if (!SYS(GetFileInformationByHandleEx, FALSE)(folder, FileIdBothDirectoryRestartInfo, buffer.data(), DWORD(buffer.size() * sizeof buffer[0])))
        return makeFileIdentity(volume, 0, 0);
    for (const char *at = reinterpret_cast<const char *>(buffer.data());;) {
        const auto &record = *reinterpret_cast<const FILE_ID_BOTH_DIR_INFO *>(at);
        const std::uint64_t number = std::uint64_t(record.FileId.QuadPart);
        if (record.FileNameLength == sizeof(wchar_t) && record.FileName[0] == L'.')
            return makeFileIdentity(volume, 0, number == ~std::uint64_t(0) ? 0 : number);
        if (record.NextEntryOffset == 0)
            return makeFileIdentity(volume, 0, 0);
        at += record.NextEntryOffset;
    }
}

} // namespace

SysResult openStartFolder(const std::string &path, OpenFolder &folder)
{
    if (isDeviceName(wideFrom(path)))
        return DeviceRefused;
    std::wstring prefix = extendedLengthPath(wideFrom(path));
    if (prefix.empty() || prefix.back() != L'\\')
        prefix += L'\\';
    Handle handle = owned(openWide(prefix, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, ShareAll, 0));
    if (!handle.valid())
        return lastError();
    BY_HANDLE_FILE_INFORMATION info;
    if (!SYS(GetFileInformationByHandle, FALSE)(handleOf(handle), &info))
        return lastError();
    folder.identity = identityOf(handleOf(handle), info);
    if (!folder.identity.known)
        folder.identity = identityByItsListing(handleOf(handle), folder.identity.volume);
    folder.handle = std::move(handle);
    folder.path = bytesFrom(prefix);
    return {};
}

namespace {

const ACCESS_MASK ListingAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES;

// The file number of an open file; 0 where the file system gives none.
std::uint64_t numberOf(const BY_HANDLE_FILE_INFORMATION &info)
{
    return (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// True when the opened folder is the one its parent's listing named: on the start folder's volume
// with the file number the listing gave. A junction or link on the way, which
// FILE_OPEN_REPARSE_POINT (for the last name only) does not stop, leads to another.
bool isListedFolder(const OpenFolder &start, const ListedFolder &listed, HANDLE opened, const BY_HANDLE_FILE_INFORMATION &info)
{
    // Where the start folder's identity is unknown, its volume cannot be compared: the number alone.
    return numberOf(info) == listed.fileId && (!start.identity.known || identityOf(opened, info).volume == start.identity.volume);
}

// Opens the parent of relative (all but its last name) from the start folder's handle into parent,
// checked by identity against the one the walk opened, and stores the last name in name; the
// start folder itself where relative is one name.
SysResult openParentOf(const OpenFolder &start, const std::string &relative, const ListedFolder &listed, OpenFolder &parent,
                       std::string &name)
{
    const std::size_t slash = relative.rfind('/');
    name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    if (slash == std::string::npos)
        return {};
    const SysResult opened = openRelative(start, relative.substr(0, slash), ListingAccess, ShareAll, FILE_OPEN,
                                          FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT, parent.handle);
    if (!opened.ok())
        return opened;
    BY_HANDLE_FILE_INFORMATION info;
    if (!SYS(GetFileInformationByHandle, FALSE)(handleOf(parent.handle), &info))
        return lastError();
    // Where the file system gives no numbers there is nothing to compare.
    const FileIdentity reached = identityOf(handleOf(parent.handle), info);
    if (reached.known && listed.parent.known && !isSameFile(reached, listed.parent))
        return {SysError::NotAFolder, ERROR_DIRECTORY};
    return {};
}

} // namespace

namespace {

// Opens the subfolder at relative as openSubfolder does, checked against the listing's file
// number where it gave one.
SysResult openListedFolder(const OpenFolder &start, const std::string &relative, const ListedFolder &listed, OpenFolder &folder)
{
    // By its whole path from the start folder's handle where the listing gave its file number, by
    // its name from its parent's where not; the last name is opened as itself: a link or junction
    // in its place is never walked.
    OpenFolder parent;
    std::string name = relative;
    if (listed.fileId == 0) {
        const SysResult parentOpened = openParentOf(start, relative, listed, parent, name);
        if (!parentOpened.ok())
            return parentOpened;
    }
    const OpenFolder &base = parent.handle.valid() ? parent : start;
    Handle handle;
    const SysResult opened = openRelative(base, name, ListingAccess, ShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT,
                                          handle);
    if (!opened.ok())
        return opened;
    const std::wstring path = joined(start.path, relative);
    BY_HANDLE_FILE_INFORMATION info;
    if (!SYS(GetFileInformationByHandle, FALSE)(handleOf(handle), &info))
        return lastError();
    if (kindOfWindowsEntry(info.dwFileAttributes, reparseTagOf(handleOf(handle), info.dwFileAttributes)) != WindowsEntryKind::Folder ||
        (listed.fileId != 0 && !isListedFolder(start, listed, handleOf(handle), info)))
        return {SysError::NotAFolder, ERROR_DIRECTORY};
    // A reparse point that stands for no other name (a cloud placeholder, deduplication, an HSM
    // stub, a DFS link) is opened again as the system presents it: opened as itself, a
    // placeholder not yet filled lists nothing, a DFS link nothing at all, where Explorer shows
    // and counts their contents.
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        Handle presented;
        const SysResult reopened = openRelative(base, name, ListingAccess, ShareAll, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_FOR_BACKUP_INTENT,
                                                presented);
        if (!reopened.ok())
            return reopened;
        // The same folder, not one swapped in between the two opens: the same number, or where
        // either open gives none, the same volume and creation time. A folder on another volume
        // only where the tag means one, as a DFS link opens (a share of another server), walked
        // as Explorer walks it: a loop through it is caught by identity, as every other.
        BY_HANDLE_FILE_INFORMATION again;
        if (!SYS(GetFileInformationByHandle, FALSE)(handleOf(presented), &again))
            return lastError();
        const FileIdentity itself = identityOf(handleOf(handle), info), shown = identityOf(handleOf(presented), again);
        const bool numbered = itself.known && shown.known;
        const bool same = numbered ? isSameFile(shown, itself)
                                   : shown.volume == itself.volume && CompareFileTime(&info.ftCreationTime, &again.ftCreationTime) == 0;
        const DWORD tag = reparseTagOf(handleOf(handle), info.dwFileAttributes);
        const bool elsewhere = (tag == IO_REPARSE_TAG_DFS || tag == IO_REPARSE_TAG_DFSR) && shown.volume != itself.volume;
        if (!same && !elsewhere)
            return {SysError::NotAFolder, ERROR_DIRECTORY};
        handle = std::move(presented);
    }
    folder.handle = std::move(handle);
    folder.path = bytesFrom(path);
    return {};
}

} // namespace

SysResult openSubfolder(const OpenFolder &start, const std::string &relative, const ListedFolder &listed, OpenFolder &folder)
{
    const SysResult opened = openListedFolder(start, relative, listed, folder);
    if (opened.kind != SysError::NotAFolder || listed.fileId == 0)
        return opened;
    // Opened as another folder than the listing named: a redirector may give its handles other
    // numbers than its listing, or none. Once more through its parent, checked by identity, as
    // where the listing gives no number; given up only where the folder there is still another
    // one: a number, not the listing's.
    ListedFolder byParent = listed;
    byParent.fileId = 0;
    const SysResult again = openListedFolder(start, relative, byParent, folder);
    BY_HANDLE_FILE_INFORMATION info;
    if (!again.ok())
        return again;
    if (!SYS(GetFileInformationByHandle, FALSE)(handleOf(folder.handle), &info))
        return lastError();
    if (numberOf(info) != 0 && numberOf(info) != listed.fileId) {
        folder = OpenFolder();
        return {SysError::NotAFolder, ERROR_DIRECTORY};
    }
    return again;
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

// True when the folder was opened as a drive letter's root ("\\?\S:\"): an entry of the drive
// list, whatever backs it (a volume, a subst folder, a share or a folder of one), as Explorer
// shows it, with a capacity.
bool isDriveRoot(const OpenFolder &folder)
{
    const std::wstring path = wideFrom(folder.path);
    return path.size() == 7 && hasPrefix(path, L"\\\\?\\") && ((path[4] >= L'A' && path[4] <= L'Z') || (path[4] >= L'a' && path[4] <= L'z')) &&
           path[5] == L':' && path[6] == L'\\';
}

} // namespace

SysResult isVolumeRoot(const OpenFolder &folder, bool &root)
{
    if (isDriveRoot(folder)) {
        root = true;
        return {};
    }
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
