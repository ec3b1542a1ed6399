// The result file on Windows: its place, its making, naming, replacing and removal.
// The plumbing first: it sets the Windows version the system headers declare.
#include "platform/windows_internal.h"
#include "platform/results.h"
#include "platform/platform_windows.h"

#include <aclapi.h>

#include <cstring>
#include <vector>

using namespace windows_internal;

std::wstring win32PathOfSystemName(const std::wstring &systemName, const std::vector<std::pair<std::wstring, std::wstring>> &drives)
{
    for (const auto &drive : drives) {
        const std::wstring &device = drive.second;
        if (systemName.size() > device.size() && systemName.compare(0, device.size(), device) == 0 && systemName[device.size()] == L'\\')
            return L"\\\\?\\" + drive.first + systemName.substr(device.size());
    }
    return L"\\\\?\\GLOBALROOT" + systemName;
}

namespace {

// The drive letters and the device each names, as the system tells them now.
std::vector<std::pair<std::wstring, std::wstring>> driveDevices()
{
    std::vector<std::pair<std::wstring, std::wstring>> drives;
    const DWORD letters = GetLogicalDrives();
    for (int letter = 0; letter < 26; ++letter) {
        if (!(letters & (DWORD(1) << letter)))
            continue;
        const std::wstring drive{wchar_t(L'A' + letter), L':'};
        wchar_t device[MAX_PATH];
        // The first of the names it may have; a drive that vanished since is just skipped.
        if (SYS(QueryDosDeviceW, DWORD(0))(drive.c_str(), device, MAX_PATH) != 0)
            drives.emplace_back(drive, device);
    }
    return drives;
}

bool pathFromSystemNameOf(HANDLE handle, std::wstring &path)
{
    std::wstring systemName;
    if (!systemPathOf(handle, VOLUME_NAME_NT, systemName))
        return false;
    path = win32PathOfSystemName(systemName, driveDevices());
    return true;
}

// The path the system gives for an open handle, in extended-length form.
bool finalPathOf(HANDLE handle, std::wstring &path)
{
    // RAM disks and user-mode volumes that the mount manager does not know have no DOS name.
    return systemPathOf(handle, VOLUME_NAME_DOS, path) || pathFromSystemNameOf(handle, path);
}

} // namespace

SysResult pathFromSystemName(const Handle &file, std::string &path)
{
    std::wstring wide;
    if (!pathFromSystemNameOf(handleOf(file), wide))
        return lastError();
    path = bytesFrom(wide);
    return {};
}

namespace {

SysResult openPlaceFolder(const std::wstring &path, std::size_t separator, ResultPlace &place)
{
    const std::wstring folder = path.substr(0, separator + 1);
    Handle handle = owned(openWide(folder, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, ShareAll, 0));
    if (!handle.valid())
        return lastError();
    place.folder.handle = std::move(handle);
    place.folder.path = bytesFrom(folder);
    place.name = bytesFrom(path.substr(separator + 1));
    return {};
}

} // namespace

SysResult openResultPlace(const std::string &path, ResultPlace &place)
{
    if (isDeviceResultName(wideFrom(path)))
        return DeviceRefused;
    std::wstring wide = extendedLengthPath(wideFrom(path));
    // The name itself, unless it is a link: then where the system follows it to, named by the
    // system (a dangling link is refused: where Windows would create its file is not told).
    const Handle itself = owned(openWide(wide, FILE_READ_ATTRIBUTES, ShareAll, FILE_FLAG_OPEN_REPARSE_POINT));
    if (itself.valid()) {
        FileStatus status;
        const SysResult looked = statusOfHandle(itself, status);
        if (!looked.ok())
            return looked;
        if (status.type == EntryType::Link) {
            const Handle target = owned(openWide(wide, FILE_READ_ATTRIBUTES, ShareAll, 0));
            if (!target.valid())
                return lastError();
            if (!finalPathOf(handleOf(target), wide))
                return lastError();
        }
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        return lastError();
    }
    const std::size_t separator = wide.find_last_of(L'\\');
    if (separator == std::wstring::npos)
        return {SysError::Missing, ERROR_PATH_NOT_FOUND};
    return openPlaceFolder(wide, separator, place);
}

SysResult statusOfPlace(const ResultPlace &place, FileStatus &status)
{
    return statusAt(place.folder, place.name, false, status);
}

SysResult createUnnamedFile(const ResultPlace &, Handle &)
{
    return {SysError::NotSupported, ERROR_NOT_SUPPORTED};
}

SysResult createNamedFile(const ResultPlace &place, const std::string &name, Handle &file)
{
    // Made with the earlier file's access list from the start, where there is one: under the
    // folder's inherited list alone it could be readable by more than the earlier file, until
    // the list is copied. Shared for deletion, so that it can be renamed into place, or removed,
    // while it is open.
    PSECURITY_DESCRIPTOR earlier = nullptr;
    Handle existing;
    if (name != place.name && openRelative(place.folder, place.name, READ_CONTROL, ShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, existing).ok()) {
        PACL dacl = nullptr;
        if (SYS(GetSecurityInfo, DWORD(ERROR_ACCESS_DENIED))(handleOf(existing), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                                            nullptr, &dacl, nullptr, &earlier) != ERROR_SUCCESS)
            earlier = nullptr;
    }
    const SysResult created = openRelative(place.folder, name, GENERIC_WRITE | WRITE_DAC | READ_CONTROL | DELETE,
                                           FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_CREATE, FILE_NON_DIRECTORY_FILE, file, earlier);
    LocalFree(earlier);
    return created;
}

SysResult openForWriting(const ResultPlace &place, Handle &file)
{
    Handle opened;
    const SysResult result = openRelative(place.folder, place.name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, opened);
    if (!result.ok())
        return result;
    if (GetFileType(handleOf(opened)) != FILE_TYPE_DISK)
        return resultOf(ERROR_DIRECTORY);
    file = std::move(opened);
    return {};
}

SysResult openForAttributes(const ResultPlace &place, Handle &file)
{
    return openRelative(place.folder, place.name, READ_CONTROL | FILE_READ_ATTRIBUTES, ShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, file);
}

SysResult writeAll(const Handle &file, const std::string &bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD count = 0;
        if (!SYS(WriteFile, FALSE)(handleOf(file), bytes.data() + done, DWORD(bytes.size() - done), &count, nullptr))
            return lastError();
        if (count == 0)
            return resultOf(ERROR_DISK_FULL);
        done += count;
    }
    return {};
}

SysResult truncateFile(const Handle &file)
{
    LARGE_INTEGER start = {};
    return okIf(SYS(SetFilePointerEx, FALSE)(handleOf(file), start, nullptr, FILE_BEGIN) && SYS(SetEndOfFile, FALSE)(handleOf(file)));
}

SysResult flushFile(const Handle &file)
{
    return okIf(SYS(FlushFileBuffers, FALSE)(handleOf(file)));
}

SysResult tryLockFile(const Handle &file)
{
    OVERLAPPED whole = {};
    return okIf(SYS(LockFileEx, FALSE)(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole));
}

namespace {

// Sets the read-only attribute of the place's file on or off, through a handle of its own, and
// stores what its attributes were before (INVALID_FILE_ATTRIBUTES where they cannot be read);
// false when it cannot set them.
bool setPlaceReadOnly(const ResultPlace &place, bool on, DWORD &before)
{
    before = INVALID_FILE_ATTRIBUTES;
    Handle looked;
    if (openRelative(place.folder, place.name, FILE_READ_ATTRIBUTES, ShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, looked).ok())
        before = attributesOf(handleOf(looked));
    if (before == INVALID_FILE_ATTRIBUTES)
        return false;
    const DWORD wanted = on ? before | FILE_ATTRIBUTE_READONLY : before & ~DWORD(FILE_ATTRIBUTE_READONLY);
    if (wanted == before)
        return true;
    Handle target;
    return openRelative(place.folder, place.name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, ShareAll, FILE_OPEN,
                        FILE_OPEN_REPARSE_POINT, target).ok() &&
           setAttributesOf(handleOf(target), wanted);
}

} // namespace

SysResult nameUnnamedFile(const ResultPlace &, const Handle &, const std::string &)
{
    return {SysError::NotSupported, ERROR_NOT_SUPPORTED};
}

namespace {

// NtSetInformationFile's classes and flags of Windows 10 1709 and later, which the headers lack.
const int FileDispositionInformationExClass = 64, FileRenameInformationExClass = 65;
const ULONG RenameReplaceIfExists = 0x1, RenamePosixSemantics = 0x2, RenameIgnoreReadOnly = 0x40;
const ULONG DispositionDelete = 0x1, DispositionPosixSemantics = 0x2, DispositionIgnoreReadOnly = 0x10;

// Sets information of the class on the open file through the native call.
NTSTATUS setFileInformation(HANDLE file, void *information, ULONG size, int informationClass)
{
    const auto NtSetInformationFile = lookedUpCalls().setInformationFile;
    if (!NtSetInformationFile)
        return StatusUnsuccessful;
    IO_STATUS_BLOCK io = {};
    return SYS(NtSetInformationFile, StatusUnsuccessful)(file, &io, information, size, FILE_INFORMATION_CLASS(informationClass));
}

// Renames the open file to name in the open folder, replacing what is there, by the class given:
// flags go where the older class has its replace-if-exists byte.
NTSTATUS renameByHandle(HANDLE file, HANDLE folder, const std::wstring &name, int informationClass, ULONG flags)
{
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    std::memcpy(buffer.data(), &flags, sizeof flags);
    rename->RootDirectory = folder;
    rename->FileNameLength = DWORD(name.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, name.c_str(), rename->FileNameLength);
    return setFileInformation(file, rename, ULONG(buffer.size()), informationClass);
}

} // namespace

SysResult renameOverResult(const ResultPlace &place, const Handle &file, const std::string &)
{
    // Renamed through its own open handle, so no other program meets it between a close and the
    // rename (a scanner would hold it there), into the folder by the folder's handle. The native
    // call takes the name as it is; the Win32 one would make a relative name a path of its own.
    const std::wstring name = wideFrom(place.name);
    // In one step where the system can (NTFS on Windows 10 1709 and later): over a file others
    // hold open (the viewer, an indexer, a scanner, each sharing deletion) and over a read-only one.
    NTSTATUS status = renameByHandle(handleOf(file), handleOf(place.folder.handle), name, FileRenameInformationExClass,
                                     RenameReplaceIfExists | RenamePosixSemantics | RenameIgnoreReadOnly);
    if (status >= 0)
        return {};
    // Elsewhere (Windows 7 and 8, FAT, SMB) Windows refuses to replace a read-only file: the
    // attribute is lifted for the move (the new file carries it already) and put back if the move
    // fails. A missing earlier file has none.
    DWORD before = INVALID_FILE_ATTRIBUTES;
    const bool lifted = setPlaceReadOnly(place, false, before) && (before & FILE_ATTRIBUTE_READONLY);
    // Where the lift is refused, the move may still be allowed (Wine, for a user other than root):
    // the new file must end read-only all the same.
    const bool wasReadOnly = before != INVALID_FILE_ATTRIBUTES && (before & FILE_ATTRIBUTE_READONLY);
    status = renameByHandle(handleOf(file), handleOf(place.folder.handle), name, FileRenameInformation, TRUE);
    if (status >= 0) {
        // Some file systems drop the attribute that was set on the open file: put it on again.
        const DWORD now = attributesOf(handleOf(file));
        if (wasReadOnly && now != INVALID_FILE_ATTRIBUTES && !(now & FILE_ATTRIBUTE_READONLY))
            setAttributesOf(handleOf(file), now | FILE_ATTRIBUTE_READONLY);
        return {};
    }
    const SysResult failed = resultOf(long(errorOfStatus(status)));
    DWORD ignored = 0;
    if (lifted)
        setPlaceReadOnly(place, true, ignored);
    return failed;
}

SysResult removeName(const ResultPlace &place, const std::string &name)
{
    // By a handle of the file's own, opened by the folder's handle: gone at once where the system
    // can (POSIX semantics, read-only or not); else when its last handle closes, as DeleteFileW
    // does it, its read-only attribute lifted first (Windows refuses to delete a read-only file).
    Handle doomed;
    SysResult opened = openRelative(place.folder, name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, ShareAll, FILE_OPEN,
                                    FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, doomed);
    if (!opened.ok())
        return opened;
    ULONG flags = DispositionDelete | DispositionPosixSemantics | DispositionIgnoreReadOnly;
    if (setFileInformation(handleOf(doomed), &flags, sizeof flags, FileDispositionInformationExClass) >= 0)
        return {};
    const DWORD attributes = attributesOf(handleOf(doomed));
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        setAttributesOf(handleOf(doomed), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    Handle closing;
    return openRelative(place.folder, name, DELETE, ShareAll, FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_DELETE_ON_CLOSE,
                        closing);
}

std::uint64_t uniqueSeed()
{
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    return GetTickCount64() ^ (std::uint64_t(GetCurrentProcessId()) << 32) ^ std::uint64_t(counter.QuadPart);
}

std::uint64_t largestWritableFileSize()
{
    // Windows sets no file size limit on a process.
    return ~std::uint64_t(0);
}
