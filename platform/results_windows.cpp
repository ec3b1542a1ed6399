// FILE_ID_INFO and the directory information classes; older systems answer them with an error,
// which is handled, not with a missing import.
#define _WIN32_WINNT 0x0602

#include "platform.h"
#include "platform_windows.h"

#include "platform/wtf8.h"

#include <windows.h>
#include <accctrl.h>
#include <aclapi.h>
#include <bcrypt.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <vector>

// Every call below that can fail goes through SYS(function, failure value). In the shipped
// program it is the call itself; the Windows tests build a copy with VURO_FAULT_SEAM, in which a
// test makes the k-th call of one function fail with the error code it names.
// The seam also lets a test present answers no Wine volume gives (presentAnswer below).
#ifdef VURO_FAULT_SEAM
template <typename Result, typename... Arguments>
void presentAnswer(Result &, Arguments...)
{
}

// Opens: the seam notes whether the handle stands for a reparse point as itself.
inline void presentAnswer(NTSTATUS &status, PHANDLE opened, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, PLARGE_INTEGER,
                          ULONG, ULONG, ULONG, ULONG options, PVOID, ULONG)
{
    if (status >= 0)
        notePresentedOpen(*opened, (options & FILE_OPEN_REPARSE_POINT) != 0);
}

inline void presentAnswer(HANDLE &opened, LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD flags, HANDLE)
{
    if (opened != INVALID_HANDLE_VALUE)
        notePresentedOpen(opened, (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0);
}

inline void presentAnswer(BOOL &ok, HANDLE file, LPBY_HANDLE_FILE_INFORMATION info)
{
    bool asItself = false;
    if (ok)
        presentHandle(file, info->dwFileAttributes, nullptr, asItself);
}

template <typename Record>
void presentRecords(void *buffer)
{
    for (char *at = static_cast<char *>(buffer);;) {
        auto &record = *reinterpret_cast<Record *>(at);
        presentRecord(record.FileName, record.FileNameLength / sizeof(wchar_t), record.FileAttributes, record.EaSize);
        if (record.NextEntryOffset == 0)
            return;
        at += record.NextEntryOffset;
    }
}

// Attribute queries and listings: a placeholder as the cloud volume shows it; one opened as
// itself lists nothing, as one whose contents were never fetched.
inline void presentAnswer(BOOL &ok, HANDLE file, FILE_INFO_BY_HANDLE_CLASS type, LPVOID buffer, DWORD)
{
    if (!ok)
        return;
    bool asItself = false;
    unsigned long ignored = 0;
    switch (type) {
    case FileAttributeTagInfo: {
        auto &info = *static_cast<FILE_ATTRIBUTE_TAG_INFO *>(buffer);
        presentHandle(file, info.FileAttributes, &info.ReparseTag, asItself);
        break;
    }
    case FileBasicInfo: presentHandle(file, static_cast<FILE_BASIC_INFO *>(buffer)->FileAttributes, nullptr, asItself); break;
    case FileIdBothDirectoryInfo:
    case FileFullDirectoryInfo:
        if (presentHandle(file, ignored, nullptr, asItself) && (asItself || presentedFetchFailure())) {
            ok = FALSE;
            SetLastError(asItself ? ERROR_NO_MORE_FILES : presentedFetchFailure());
        } else if (type == FileIdBothDirectoryInfo) {
            presentRecords<FILE_ID_BOTH_DIR_INFO>(buffer);
        } else {
            presentRecords<FILE_FULL_DIR_INFO>(buffer);
        }
        break;
    default: break;
    }
}

// Names: a share's answers (see presentName).
inline void presentAnswer(DWORD &length, HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    presentName(file, flags, path, size, length);
}

template <typename Result, typename... Arguments>
auto faultSeam(const char *name, Result(WINAPI *function)(Arguments...), Result failure)
{
    return [=](Arguments... arguments) -> Result {
        unsigned long code = 0;
        if (isFaultDue(name, code)) {
            SetLastError(DWORD(code));
            return failure;
        }
        Result result = function(arguments...);
        presentAnswer(result, arguments...);
        return result;
    };
}
#define SYS(function, failure) faultSeam(#function, function, failure)
#else
#define SYS(function, failure) function
#endif

namespace {

std::wstring wideFrom(const std::string &text)
{
    const std::u16string wide = utf16FromWtf8(text);
    return std::wstring(wide.begin(), wide.end());
}

std::string bytesFrom(const wchar_t *text, std::size_t length)
{
    return wtf8FromUtf16(std::u16string(text, text + length));
}

std::string bytesFrom(const std::wstring &text)
{
    return bytesFrom(text.c_str(), text.size());
}

SysResult lastError()
{
    return resultOf(long(GetLastError()));
}

SysResult okIf(bool done)
{
    return done ? SysResult{} : lastError();
}

HANDLE handleOf(const Handle &handle)
{
    return reinterpret_cast<HANDLE>(handle.get());
}

Handle owned(HANDLE handle)
{
    return Handle(handle == INVALID_HANDLE_VALUE ? NoHandle : reinterpret_cast<NativeHandle>(handle));
}

// Looks the named call up in module; null when it has none.
template <typename Function>
void resolve(HMODULE module, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

bool hasPrefix(const std::wstring &text, const wchar_t *prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The extended-length form of a path ("\\?\C:\..."), which Windows opens up to its own limit of
// about 32,767 characters instead of 260; the user's path made absolute and cleaned once.
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

std::wstring joined(const std::string &folder, const std::string &name)
{
    std::wstring path = wideFrom(joinPath(folder, name));
    for (wchar_t &c : path)
        c = c == L'/' ? L'\\' : c;
    return path;
}

const DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Calls looked up at run time, once, rather than imported: the native calls that open a name
// relative to an open folder (ntdll is in every process), and those that turn a 32-bit process's
// file system redirection off and on again for the calling thread (32-bit Windows may lack them).
struct LookedUpCalls {
    decltype(&NtCreateFile) createFile = nullptr;
    decltype(&NtSetInformationFile) setInformationFile = nullptr;
    decltype(&NtQueryVolumeInformationFile) queryVolumeInformation = nullptr;
    decltype(&RtlNtStatusToDosError) statusToError = nullptr;
    decltype(&Wow64DisableWow64FsRedirection) disableRedirection = nullptr;
    decltype(&Wow64RevertWow64FsRedirection) revertRedirection = nullptr;
};

const LookedUpCalls &lookedUpCalls()
{
    static const LookedUpCalls calls = [] {
        LookedUpCalls found;
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll"), kernel32 = GetModuleHandleW(L"kernel32.dll");
        resolve(ntdll, "NtCreateFile", found.createFile);
        resolve(ntdll, "NtSetInformationFile", found.setInformationFile);
        resolve(ntdll, "NtQueryVolumeInformationFile", found.queryVolumeInformation);
        resolve(ntdll, "RtlNtStatusToDosError", found.statusToError);
        resolve(kernel32, "Wow64DisableWow64FsRedirection", found.disableRedirection);
        resolve(kernel32, "Wow64RevertWow64FsRedirection", found.revertRedirection);
        return found;
    }();
    return calls;
}

// While it lives, the calling thread's opens name what a 64-bit program names: on 64-bit Windows
// the system otherwise takes System32 for SysWOW64 in a 32-bit process, and the paths the helper
// is given come from Explorer and other 64-bit programs. Only around the helper's own opens: a
// library loaded meanwhile would come from the 64-bit folder.
class NamesAsGiven {
public:
    NamesAsGiven()
    {
        if (lookedUpCalls().disableRedirection && lookedUpCalls().revertRedirection)
            active_ = lookedUpCalls().disableRedirection(&state_) != FALSE;
    }
    NamesAsGiven(const NamesAsGiven &) = delete;
    NamesAsGiven &operator=(const NamesAsGiven &) = delete;
    ~NamesAsGiven()
    {
        if (active_) {
            const DWORD code = GetLastError();
            lookedUpCalls().revertRedirection(state_);
            SetLastError(code);
        }
    }

private:
    PVOID state_ = nullptr;
    bool active_ = false;
};

HANDLE openWide(const std::wstring &path, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    const NamesAsGiven unredirected;
    // Should a name still reach a named pipe, its server may only identify the helper, never act
    // as it (by default a pipe's client lends it its token: an elevated viewer's, an administrator's).
    return SYS(CreateFileW, INVALID_HANDLE_VALUE)(path.c_str(), access, share, nullptr, disposition,
                                                  FILE_FLAG_BACKUP_SEMANTICS | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION | flags, nullptr);
}

} // namespace

bool isDeviceName(const std::wstring &path)
{
    // "\\?\" and "\??\" reach the whole object namespace (pipes, disks, GLOBALROOT): only a drive,
    // a share and a volume are files' names. "\\.\" names devices alone.
    std::wstring upper = path;
    for (wchar_t &c : upper)
        c = c == L'/' ? L'\\' : (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c;
    if (hasPrefix(upper, L"\\\\.\\"))
        return true;
    if (hasPrefix(upper, L"\\\\?\\") || hasPrefix(upper, L"\\??\\")) {
        const std::wstring rest = upper.substr(4);
        const bool drive = rest.size() >= 3 && rest[0] >= L'A' && rest[0] <= L'Z' && rest[1] == L':' && rest[2] == L'\\';
        if (!drive && !hasPrefix(rest, L"UNC\\") && !hasPrefix(rest, L"VOLUME{"))
            return true;
    }
    const std::size_t slash = path.find_last_of(L"\\/:");
    std::wstring base = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
    base = base.substr(0, base.find(L'.'));
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    for (wchar_t &c : base)
        c = (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c;
    static const wchar_t *const Devices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    for (const wchar_t *device : Devices) {
        if (base == device)
            return true;
    }
    const bool port = base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0);
    const wchar_t digit = port ? base[3] : L'0';
    return port && ((digit >= L'1' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' || digit == L'\u00b3');
}

namespace {

// The outcome for a path that names a device: none of the helper's to open.
const SysResult DeviceRefused = {SysError::Missing, ERROR_INVALID_NAME};

// The status a failing call of ntdll or CNG gives where it says no more; the tests' fault seam
// fails such calls with it, the error code it names left as the last error.
const NTSTATUS StatusUnsuccessful = NTSTATUS(0xC0000001UL);

// The Windows error code of a failed native call's status.
DWORD errorOfStatus(NTSTATUS status)
{
#ifdef VURO_FAULT_SEAM
    if (status == StatusUnsuccessful)
        return GetLastError();
#endif
    return lookedUpCalls().statusToError ? lookedUpCalls().statusToError(status) : DWORD(ERROR_GEN_FAILURE);
}

// Opens name (names joined by separators) below the open folder, from the folder's own handle:
// no folder on the way to it is looked up again by its path. disposition and options are
// NtCreateFile's; names are compared without case, as Windows' own calls compare them.
SysResult openRelative(const OpenFolder &folder, const std::string &name, ACCESS_MASK access, ULONG share, ULONG disposition,
                       ULONG options, Handle &file, PSECURITY_DESCRIPTOR security = nullptr)
{
    const auto NtCreateFile = lookedUpCalls().createFile;
    if (!NtCreateFile)
        return {SysError::NotSupported, ERROR_PROC_NOT_FOUND};
    std::wstring wide = wideFrom(name);
    for (wchar_t &c : wide)
        c = c == L'/' ? L'\\' : c;
    if (wide.size() * sizeof(wchar_t) > 0xFFFE)
        return {SysError::NameTooLong, ERROR_FILENAME_EXCED_RANGE};
    UNICODE_STRING text;
    text.Buffer = &wide[0];
    text.Length = text.MaximumLength = USHORT(wide.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, handleOf(folder.handle), security);
    IO_STATUS_BLOCK io = {};
    HANDLE opened = nullptr;
    const NamesAsGiven unredirected;
    const NTSTATUS status = SYS(NtCreateFile, StatusUnsuccessful)(&opened, access | SYNCHRONIZE, &attributes, &io, nullptr,
                                                                  FILE_ATTRIBUTE_NORMAL, share, disposition,
                                                                  options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0)
        return resultOf(long(errorOfStatus(status)));
    file = Handle(reinterpret_cast<NativeHandle>(opened));
    return {};
}

// The open file's volume serial number and file id; the 128-bit FILE_ID_INFO where the system
// has it (Windows 8 and later, ReFS), else the 64-bit index of BY_HANDLE_FILE_INFORMATION.
FileIdentity identityOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION &info)
{
    FILE_ID_INFO id;
    if (SYS(GetFileInformationByHandleEx, FALSE)(file, FileIdInfo, &id, sizeof id)) {
        std::uint64_t high = 0, low = 0;
        std::memcpy(&high, id.FileId.Identifier + 8, 8);
        std::memcpy(&low, id.FileId.Identifier, 8);
        return makeFileIdentity(id.VolumeSerialNumber, high, low);
    }
    const std::uint64_t low = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    // The 64-bit index of all ones is the 128-bit one of all ones seen through the old call.
    return makeFileIdentity(info.dwVolumeSerialNumber, low == ~std::uint64_t(0) ? low : 0, low);
}

std::int64_t ticksOf(const FILETIME &time)
{
    return std::int64_t((std::uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// Codes with which a file system or network redirector refuses an information class.
bool refusesInformationClass(DWORD code)
{
    return code == ERROR_INVALID_PARAMETER || code == ERROR_INVALID_LEVEL || code == ERROR_NOT_SUPPORTED ||
           code == ERROR_INVALID_FUNCTION;
}

// The reparse tag of the open handle; 0 when it is none, or the file system will not say.
DWORD reparseTagOf(HANDLE handle, DWORD attributes)
{
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return 0;
    FILE_ATTRIBUTE_TAG_INFO info;
    if (SYS(GetFileInformationByHandleEx, FALSE)(handle, FileAttributeTagInfo, &info, sizeof info))
        return info.ReparseTag;
    // Without the tag, a reparse point is taken for a link: never walked.
    return IO_REPARSE_TAG_SYMLINK;
}

} // namespace

const char PathSeparators[] = "\\/";

namespace {

// A cloud files volume's provider (OneDrive, a company's sync app) failing to fetch what it keeps
// online: stopped, offline, slow or cancelled (Windows 10 1709 and later; the headers lack them).
const DWORD CloudProviderNotRunning = 362, CloudNetworkUnavailable = 388, CloudUnsuccessful = 389, CloudRequestAborted = 393,
            CloudRequestCanceled = 398, CloudRequestTimeout = 426;

} // namespace

SysError errorKindOf(long code)
{
    switch (DWORD(code)) {
    case ERROR_SUCCESS: return SysError::None;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return SysError::Missing;
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_NETNAME_DELETED:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_NOT_READY:
    case ERROR_INVALID_DRIVE:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_REM_NOT_LIST:
    case ERROR_NETWORK_BUSY:
    case ERROR_SEM_TIMEOUT:
    case ERROR_NO_NET_OR_BAD_PATH:
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_CONNECTION_ABORTED:
    case CloudProviderNotRunning:
    case CloudNetworkUnavailable:
    case CloudUnsuccessful:
    case CloudRequestAborted:
    case CloudRequestCanceled:
    case CloudRequestTimeout:
        return SysError::Gone;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_CANT_ACCESS_FILE:
        return SysError::Denied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return SysError::Locked;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return SysError::Exists;
    case ERROR_DIRECTORY:
        return SysError::NotAFolder;
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_BUFFER_OVERFLOW:
        return SysError::NameTooLong;
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NOT_ENOUGH_QUOTA:
        return SysError::OutOfHandles;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return SysError::OutOfMemory;
    case ERROR_WRITE_PROTECT:
        return SysError::ReadOnly;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_INVALID_LEVEL:
        return SysError::NotSupported;
    default:
        return SysError::Other;
    }
}

std::string errorTextOf(long code)
{
    wchar_t *buffer = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::wstring text = length > 0 && buffer ? std::wstring(buffer, length) : std::wstring();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    return text.empty() ? "error " + std::to_string(code) : bytesFrom(text);
}

void closeNativeHandle(NativeHandle handle)
{
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}

SysResult statusOfHandle(const Handle &handle, FileStatus &status)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!SYS(GetFileInformationByHandle, FALSE)(handleOf(handle), &info))
        return lastError();
    const DWORD tag = reparseTagOf(handleOf(handle), info.dwFileAttributes);
    switch (kindOfWindowsEntry(info.dwFileAttributes, tag)) {
    case WindowsEntryKind::Folder: status.type = EntryType::Folder; break;
    case WindowsEntryKind::NameSurrogate: status.type = EntryType::Link; break;
    default: status.type = GetFileType(handleOf(handle)) == FILE_TYPE_DISK ? EntryType::Regular : EntryType::Other; break;
    }
    status.identity = identityOf(handleOf(handle), info);
    status.size = (std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status.modified = ticksOf(info.ftLastWriteTime);
    FILE_BASIC_INFO basic;
    status.changed = SYS(GetFileInformationByHandleEx, FALSE)(handleOf(handle), FileBasicInfo, &basic, sizeof basic)
                         ? basic.ChangeTime.QuadPart : status.modified;
    status.links = info.nNumberOfLinks;
    status.attributes = info.dwFileAttributes;
    return {};
}

SysResult statusOfPath(const std::string &path, bool followLinks, FileStatus &status)
{
    if (isDeviceName(wideFrom(path)))
        return DeviceRefused;
    const Handle handle = owned(openWide(extendedLengthPath(wideFrom(path)), FILE_READ_ATTRIBUTES, ShareAll, OPEN_EXISTING,
                                         followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
    if (!handle.valid())
        return lastError();
    return statusOfHandle(handle, status);
}

SysResult openForReading(const std::string &path, Handle &file)
{
    if (isDeviceName(wideFrom(path)))
        return DeviceRefused;
    // Shared with every reader, writer and remover: Explorer may rename or delete it meanwhile. A
    // file whose data is in the cloud only is fetched as the system does for every reader; where
    // it refuses (offline, the provider gone), the open or a read fails and there is no report.
    Handle opened = owned(openWide(extendedLengthPath(wideFrom(path)), GENERIC_READ, ShareAll, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN));
    if (!opened.valid())
        return lastError();
    file = std::move(opened);
    return {};
}

SysResult readChunk(const Handle &file, char *buffer, std::size_t size, std::size_t &count)
{
    DWORD read = 0;
    if (!SYS(ReadFile, FALSE)(handleOf(file), buffer, DWORD(size > 0x40000000 ? 0x40000000 : size), &read, nullptr))
        return lastError();
    count = read;
    return {};
}

namespace {

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

// The path the system gives for an open handle, with the volume named as asked: the name it was
// opened by, which a share answers; a normalized one SMB builds by opening each folder on the way,
// and refuses where the user may not open one of them.
bool systemPathOf(HANDLE handle, DWORD volumeName, std::wstring &path)
{
    const DWORD needed = SYS(GetFinalPathNameByHandleW, DWORD(0))(handle, nullptr, 0, FILE_NAME_OPENED | volumeName);
    if (needed == 0)
        return false;
    path.assign(needed, L'\0');
    const DWORD length = SYS(GetFinalPathNameByHandleW, DWORD(0))(handle, &path[0], needed, FILE_NAME_OPENED | volumeName);
    if (length == 0 || length >= needed)
        return false;
    path.resize(length);
    return true;
}

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
    Handle handle = owned(openWide(folder, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, ShareAll, OPEN_EXISTING, 0));
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
    if (isDeviceName(wideFrom(path)))
        return DeviceRefused;
    std::wstring wide = extendedLengthPath(wideFrom(path));
    // The name itself, unless it is a link: then where the system follows it to, named by the
    // system (a dangling link is refused: where Windows would create its file is not told).
    const Handle itself = owned(openWide(wide, FILE_READ_ATTRIBUTES, ShareAll, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT));
    if (itself.valid()) {
        FileStatus status;
        const SysResult looked = statusOfHandle(itself, status);
        if (!looked.ok())
            return looked;
        if (status.type == EntryType::Link) {
            const Handle target = owned(openWide(wide, FILE_READ_ATTRIBUTES, ShareAll, OPEN_EXISTING, 0));
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

SysResult copyOwner(const FileStatus &, const Handle &)
{
    // A new file's owner is whoever replaces the earlier one, as Windows' own replacement does.
    return {};
}

namespace {

// The file attributes of the open file, or INVALID_FILE_ATTRIBUTES.
DWORD attributesOf(HANDLE file)
{
    FILE_BASIC_INFO basic;
    return SYS(GetFileInformationByHandleEx, FALSE)(file, FileBasicInfo, &basic, sizeof basic) ? basic.FileAttributes
                                                                                                : INVALID_FILE_ATTRIBUTES;
}

// Gives the open file these attributes, its times left as they are.
bool setAttributesOf(HANDLE file, DWORD attributes)
{
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SYS(SetFileInformationByHandle, FALSE)(file, FileBasicInfo, &basic, sizeof basic);
}

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

SysResult copyPermissions(const FileStatus &from, const Handle &file)
{
    const DWORD kept = from.attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                          FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    // Read-only last, in a step of its own: a file system that keeps the other attributes beside
    // the file's permissions (Wine's, in an extended attribute) may refuse to store them once the
    // file is read-only to its owner.
    const DWORD others = kept & ~DWORD(FILE_ATTRIBUTE_READONLY);
    if (others != kept && !setAttributesOf(handleOf(file), others))
        return lastError();
    return okIf(setAttributesOf(handleOf(file), kept));
}

SysResult copyExtendedAttributes(const Handle &from, const Handle &file)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    DWORD code = SYS(GetSecurityInfo, DWORD(ERROR_ACCESS_DENIED))(handleOf(from), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                 nullptr, &descriptor);
    if (code != ERROR_SUCCESS)
        return code == ERROR_NOT_SUPPORTED || code == ERROR_INVALID_FUNCTION ? SysResult{} : resultOf(long(code));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION |
                                      ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                      : UNPROTECTED_DACL_SECURITY_INFORMATION);
    code = SYS(SetSecurityInfo, DWORD(ERROR_ACCESS_DENIED))(handleOf(file), SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
    LocalFree(descriptor);
    return resultOf(long(code));
}

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

namespace {

// The process's token information of class, or empty where the system refuses it.
std::vector<char> processTokenInformation(TOKEN_INFORMATION_CLASS type)
{
    HANDLE token = nullptr;
    if (!SYS(OpenProcessToken, FALSE)(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    DWORD size = 0;
    GetTokenInformation(token, type, nullptr, 0, &size);
    std::vector<char> information(size);
    if (size == 0 || !SYS(GetTokenInformation, FALSE)(token, type, information.data(), size, &size))
        information.clear();
    CloseHandle(token);
    return information;
}

} // namespace

SysResult isOwnedByUser(const ResultPlace &place, bool &own)
{
    own = false;
    Handle file;
    const SysResult opened = openRelative(place.folder, place.name, READ_CONTROL, ShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, file);
    if (!opened.ok())
        return opened;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code = SYS(GetSecurityInfo, DWORD(ERROR_ACCESS_DENIED))(handleOf(file), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                                                       &owner, nullptr, nullptr, nullptr, &descriptor);
    if (code != ERROR_SUCCESS)
        return resultOf(long(code));
    const std::vector<char> user = processTokenInformation(TokenUser);
    own = !user.empty() && owner && EqualSid(owner, reinterpret_cast<const TOKEN_USER *>(user.data())->User.Sid);
    LocalFree(descriptor);
    return {};
}

bool hardLinksProtected()
{
    // Whoever may write a file's attributes may give it another name: nothing to rely on.
    return false;
}

bool runsElevated()
{
    const std::vector<char> elevation = processTokenInformation(TokenElevation);
    return elevation.size() >= sizeof(TOKEN_ELEVATION) && reinterpret_cast<const TOKEN_ELEVATION *>(elevation.data())->TokenIsElevated;
}

std::uint64_t uniqueSeed()
{
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    return GetTickCount64() ^ (std::uint64_t(GetCurrentProcessId()) << 32) ^ std::uint64_t(counter.QuadPart);
}

void sleepMilliseconds(int ms)
{
    Sleep(DWORD(ms));
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

namespace {

// The command line split by the system's rules, each argument as WTF-8.
std::vector<std::string> splitBySystem(const std::wstring &line)
{
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t **split = CommandLineToArgvW(line.c_str(), &count);
    if (!split)
        return arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(bytesFrom(split[i], wcslen(split[i])));
    LocalFree(split);
    return arguments;
}

// Where the program's name ends in the command line: it is split by its own rule, quotes alone.
std::size_t programNameEnd(const std::wstring &line)
{
    if (!line.empty() && line[0] == L'"') {
        const std::size_t quote = line.find(L'"', 1);
        return quote == std::wstring::npos ? line.size() : quote + 1;
    }
    const std::size_t space = line.find_first_of(L" \t");
    return space == std::wstring::npos ? line.size() : space;
}

} // namespace

std::vector<std::string> splitCommandLine(const std::wstring &line)
{
    // A backslash before a double quote escapes it, so "D:\" ends no argument and swallows the
    // next. No Windows name holds a double quote: an argument that does is read as meant, the
    // backslash before a quote that ends an argument (a space or the end after it) a backslash.
    std::wstring meant = line;
    std::vector<std::string> arguments = splitBySystem(meant);
    for (std::size_t from = programNameEnd(meant);;) {
        const bool quoteInAName = std::any_of(arguments.begin() + std::min<std::size_t>(1, arguments.size()), arguments.end(),
                                              [](const std::string &argument) { return argument.find('"') != std::string::npos; });
        if (!quoteInAName)
            return arguments;
        std::size_t quote = meant.find(L'"', from);
        while (quote != std::wstring::npos) {
            std::size_t backslashes = 0;
            while (backslashes < quote - from && meant[quote - 1 - backslashes] == L'\\')
                ++backslashes;
            const bool endsArgument = quote + 1 == meant.size() || meant[quote + 1] == L' ' || meant[quote + 1] == L'\t';
            if (backslashes % 2 == 1 && endsArgument)
                break;
            quote = meant.find(L'"', quote + 1);
        }
        if (quote == std::wstring::npos)
            return arguments;
        meant.insert(quote, 1, L'\\');
        from = quote + 2;
        arguments = splitBySystem(meant);
    }
}

std::vector<std::string> commandLineArguments(int, char **)
{
    return splitCommandLine(GetCommandLineW());
}

std::string ownProgramFolder()
{
    std::wstring self(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, &self[0], DWORD(self.size()));
    if (length == 0 || length >= self.size())
        return std::string();
    self.resize(length);
    return bytesFrom(self.substr(0, self.find_last_of(L"\\/") + 1));
}

std::vector<std::string> programSearchFolders()
{
    std::vector<std::string> folders;
    std::wstring rest(32768, L'\0');
    const DWORD size = GetEnvironmentVariableW(L"PATH", &rest[0], DWORD(rest.size()));
    rest.resize(size < rest.size() ? size : 0);
    for (std::size_t semicolon; !rest.empty(); rest = semicolon == std::wstring::npos ? std::wstring() : rest.substr(semicolon + 1)) {
        semicolon = rest.find(L';');
        folders.push_back(bytesFrom(rest.substr(0, semicolon)));
    }
    return folders;
}

bool isAbsolutePath(const std::string &path)
{
    return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
           (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/'));
}

bool isProgramFile(const std::string &path)
{
    const DWORD attributes = SYS(GetFileAttributesW, INVALID_FILE_ATTRIBUTES)(wideFrom(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool startDetached(const std::string &path)
{
    const std::wstring program = wideFrom(path);
    std::wstring commandLine = L"\"" + program + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // Its own folder as current folder: the helper's is often the folder being viewed, which the
    // viewer would otherwise keep busy (a USB stick that cannot be ejected, a folder not renamed).
    const std::wstring folder = program.substr(0, program.find_last_of(L"\\/") + 1);
    // No handle of the helper's is inherited: a caller reading its output sees the end when it
    // exits. Out of the caller's job where the job allows it, so that closing a job that kills its
    // processes on close (a terminal tab, a launcher, an updater) leaves the new viewer running;
    // where it does not, the viewer stays in the job.
    const DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;
    const wchar_t *const current = folder.empty() ? nullptr : folder.c_str();
    if (!SYS(CreateProcessW, FALSE)(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, flags | CREATE_BREAKAWAY_FROM_JOB,
                                    nullptr, current, &startup, &process) &&
        (GetLastError() != ERROR_ACCESS_DENIED ||
         !SYS(CreateProcessW, FALSE)(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, flags, nullptr, current, &startup, &process)))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::uint64_t largestWritableFileSize()
{
    // Windows sets no file size limit on a process.
    return ~std::uint64_t(0);
}

void prepareSignals()
{
    // Windows has no such signals: a write to a closed pipe fails with an error.
}

void keepStandardStreamsOpen()
{
    // A file's handle is never taken for a standard stream's.
}

void showFilesAsStored()
{
    // PHCM_EXPOSE_PLACEHOLDERS: every placeholder then carries its reparse point and is met as
    // one, whatever the system's default for this program.
    using SetMode = CHAR(NTAPI *)(CHAR);
    SetMode setMode = nullptr;
    resolve(GetModuleHandleW(L"ntdll.dll"), "RtlSetProcessPlaceholderCompatibilityMode", setMode);
    if (setMode)
        setMode(2);
}

void restrictLibrarySearch()
{
    // Windows 8 and later, and Windows 7 with KB2533623, have it; it is looked up, not imported,
    // so that a Windows 7 without that update still starts the helper.
    decltype(&SetDefaultDllDirectories) setDefaultDirectories = nullptr;
    resolve(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories", setDefaultDirectories);
    if (!setDefaultDirectories || !setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L""); // at least the current folder is out of the search then
}

namespace {

DWORD WINAPI runWork(void *argument)
{
    (*static_cast<const std::function<void()> *>(argument))();
    return 0;
}

// CNG's calls, from bcrypt.dll in the system folder only: a DLL of that name in the viewer's folder
// is never loaded in its place (it is not one of the loader's known DLLs).
struct CngCalls {
    decltype(&BCryptOpenAlgorithmProvider) openAlgorithmProvider = nullptr;
    decltype(&BCryptCloseAlgorithmProvider) closeAlgorithmProvider = nullptr;
    decltype(&BCryptCreateHash) createHash = nullptr;
    decltype(&BCryptDestroyHash) destroyHash = nullptr;
    decltype(&BCryptHashData) hashData = nullptr;
    decltype(&BCryptGetProperty) getProperty = nullptr;
    decltype(&BCryptFinishHash) finishHash = nullptr;
};

CngCalls loadCng()
{
    CngCalls calls;
    HMODULE module = LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) {
        // Windows 7 without the update that knows the flag: the system folder's path then.
        wchar_t system[MAX_PATH];
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        if (length == 0 || length >= MAX_PATH - 12)
            return calls;
        module = LoadLibraryW((std::wstring(system, length) + L"\\bcrypt.dll").c_str());
        if (!module)
            return calls;
    }
    resolve(module, "BCryptOpenAlgorithmProvider", calls.openAlgorithmProvider);
    resolve(module, "BCryptCloseAlgorithmProvider", calls.closeAlgorithmProvider);
    resolve(module, "BCryptCreateHash", calls.createHash);
    resolve(module, "BCryptDestroyHash", calls.destroyHash);
    resolve(module, "BCryptHashData", calls.hashData);
    resolve(module, "BCryptGetProperty", calls.getProperty);
    resolve(module, "BCryptFinishHash", calls.finishHash);
    return calls;
}

// The calls, loaded once; null when the library or any call is missing.
const CngCalls *cngCalls()
{
    static const CngCalls calls = loadCng();
    const bool complete = calls.openAlgorithmProvider && calls.closeAlgorithmProvider && calls.createHash &&
                          calls.destroyHash && calls.hashData && calls.getProperty && calls.finishHash;
    return complete ? &calls : nullptr;
}

// One CNG hash: its algorithm provider and the hash object on it.
struct CngDigest {
    const CngCalls &calls;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    explicit CngDigest(const CngCalls &calls) : calls(calls) {}
    CngDigest(const CngDigest &) = delete;
    CngDigest &operator=(const CngDigest &) = delete;
    ~CngDigest()
    {
        if (hash)
            calls.destroyHash(hash);
        if (algorithm)
            calls.closeAlgorithmProvider(algorithm, 0);
    }
};

SysResult resultOfStatus(NTSTATUS status)
{
    if (status >= 0)
        return {};
    // STATUS_NO_MEMORY
    if (ULONG(status) == 0xC0000017UL)
        return {SysError::OutOfMemory, ERROR_NOT_ENOUGH_MEMORY};
    return {SysError::Other, long(ERROR_GEN_FAILURE)};
}

} // namespace

bool startThread(std::size_t stackBytes, const std::function<void()> *work, NativeHandle &thread)
{
    // A reservation only: the walk does not recurse, so small stacks do, and a 32-bit process
    // keeps its address space.
    const HANDLE started = SYS(CreateThread, HANDLE(nullptr))(nullptr, stackBytes, runWork, const_cast<std::function<void()> *>(work),
                                        STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (!started)
        return false;
    thread = reinterpret_cast<NativeHandle>(started);
    return true;
}

void joinThread(NativeHandle thread)
{
    WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
    CloseHandle(reinterpret_cast<HANDLE>(thread));
}

void runUntilTerminated(std::size_t stackBytes, const std::function<void()> &work, TerminationGate &)
{
    // A GUI program gets no termination signal: TerminateProcess ends it wherever it is.
    NativeHandle thread;
    if (startThread(stackBytes, &work, thread))
        joinThread(thread);
    else
        work();
}

std::size_t level2CacheBytes()
{
    // Windows XP SP3 and later: one record per cache of each processor group's cores.
    DWORD bytes = 0;
    GetLogicalProcessorInformation(nullptr, &bytes);
    std::vector<SYSTEM_LOGICAL_PROCESSOR_INFORMATION> records(bytes / sizeof(SYSTEM_LOGICAL_PROCESSOR_INFORMATION));
    if (records.empty() || !GetLogicalProcessorInformation(records.data(), &bytes))
        return 0;
    for (const SYSTEM_LOGICAL_PROCESSOR_INFORMATION &record : records) {
        if (record.Relationship == RelationCache && record.Cache.Level == 2 &&
            (record.Cache.Type == CacheData || record.Cache.Type == CacheUnified))
            return record.Cache.Size;
    }
    return 0;
}

DigestState::~DigestState()
{
    delete static_cast<CngDigest *>(context_);
}

SysResult DigestState::start(DigestAlgorithm algorithm)
{
    delete static_cast<CngDigest *>(context_);
    context_ = nullptr;
    const CngCalls *calls = cngCalls();
    if (!calls)
        return {SysError::NotSupported, ERROR_PROC_NOT_FOUND};
    CngDigest *cng = new CngDigest(*calls);
    context_ = cng;
    const wchar_t *name = algorithm == DigestAlgorithm::Md5 ? BCRYPT_MD5_ALGORITHM : BCRYPT_SHA1_ALGORITHM;
    SysResult result = resultOfStatus(SYS(calls->openAlgorithmProvider, StatusUnsuccessful)(&cng->algorithm, name, nullptr, 0));
    if (result.ok())
        result = resultOfStatus(SYS(calls->createHash, StatusUnsuccessful)(cng->algorithm, &cng->hash, nullptr, 0, nullptr, 0, 0));
    return result;
}

SysResult DigestState::add(const char *bytes, std::size_t size)
{
    CngDigest *cng = static_cast<CngDigest *>(context_);
    if (!cng || !cng->hash)
        return {SysError::Other, ERROR_INVALID_HANDLE};
    return resultOfStatus(SYS(cng->calls.hashData, StatusUnsuccessful)(cng->hash, reinterpret_cast<PUCHAR>(const_cast<char *>(bytes)),
                                                                       ULONG(size), 0));
}

SysResult DigestState::finish(std::string &value)
{
    CngDigest *cng = static_cast<CngDigest *>(context_);
    if (!cng || !cng->hash)
        return {SysError::Other, ERROR_INVALID_HANDLE};
    DWORD size = 0, written = 0;
    SysResult result = resultOfStatus(SYS(cng->calls.getProperty, StatusUnsuccessful)(
        cng->hash, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&size), sizeof size, &written, 0));
    std::string digest(size, '\0');
    if (result.ok())
        result = resultOfStatus(SYS(cng->calls.finishHash, StatusUnsuccessful)(cng->hash, reinterpret_cast<PUCHAR>(&digest[0]), size, 0));
    delete cng;
    context_ = nullptr;
    if (result.ok())
        value = digest;
    return result;
}
