#include "platform/windows_internal.h"
#include "platform/platform_windows.h"

#include <aclapi.h>

#include <cstring>
#include <vector>

using namespace windows_internal;

namespace windows_internal {

std::wstring extendedLengthPath(const std::wstring &path)
{
    if (hasPrefix(path, L"\\\\?\\") || hasPrefix(path, L"\\\\.\\"))
        return path;
    // The object manager's own prefix, which the system takes as the extended-length one; the
    // full path of it would be a folder "??" on the current drive.
    if (path.size() >= 4 && (path[0] == L'\\' || path[0] == L'/') && path[1] == L'?' && path[2] == L'?' &&
        (path[3] == L'\\' || path[3] == L'/'))
        return L"\\\\?\\" + path.substr(4);
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed)
        return path;
    full.resize(length);
    // "//?/Z:/a" comes back as "\\?\Z:\a", the extended-length form itself: no share.
    if (hasPrefix(full, L"\\\\?\\") || hasPrefix(full, L"\\\\.\\"))
        return full;
    if (hasPrefix(full, L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

const LookedUpCalls &lookedUpCalls()
{
    static const LookedUpCalls calls = [] {
        LookedUpCalls found;
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll"), kernel32 = GetModuleHandleW(L"kernel32.dll");
        resolve(ntdll, "NtCreateFile", found.createFile);
        // The _WithStatus form: Windows 7 and later; the older one on every Windows.
        resolve(ntdll, "RtlDosPathNameToNtPathName_U_WithStatus", found.pathToSystemName);
        resolve(ntdll, "RtlDosPathNameToNtPathName_U", found.pathToSystemNameOld);
        resolve(ntdll, "RtlFreeUnicodeString", found.freeUnicodeString);
        resolve(ntdll, "NtSetInformationFile", found.setInformationFile);
        resolve(ntdll, "NtQueryVolumeInformationFile", found.queryVolumeInformation);
        resolve(ntdll, "RtlNtStatusToDosError", found.statusToError);
        resolve(kernel32, "Wow64DisableWow64FsRedirection", found.disableRedirection);
        resolve(kernel32, "Wow64RevertWow64FsRedirection", found.revertRedirection);
        return found;
    }();
    return calls;
}

HANDLE openWide(const std::wstring &path, DWORD access, DWORD share, DWORD flags)
{
    const LookedUpCalls &calls = lookedUpCalls();
    const auto NtCreateFileByPath = calls.createFile;
    UNICODE_STRING name = {};
    const bool converted = calls.pathToSystemName ? calls.pathToSystemName(path.c_str(), &name, nullptr, nullptr) >= 0
                           : calls.pathToSystemNameOld && calls.pathToSystemNameOld(path.c_str(), &name, nullptr, nullptr);
    if (!NtCreateFileByPath || !calls.freeUnicodeString || !converted) {
        SetLastError(converted || !NtCreateFileByPath ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_QUALITY_OF_SERVICE quality = identificationOnly();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    attributes.SecurityQualityOfService = &quality;
    const ULONG options = FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT |
                          ((flags & FILE_FLAG_OPEN_REPARSE_POINT) ? FILE_OPEN_REPARSE_POINT : 0) |
                          ((flags & FILE_FLAG_SEQUENTIAL_SCAN) ? FILE_SEQUENTIAL_ONLY : 0);
    IO_STATUS_BLOCK io = {};
    HANDLE opened = nullptr;
    NTSTATUS status;
    {
        const NamesAsGiven unredirected;
        // As CreateFileW asks: waitable, and its attributes readable.
        status = SYS(NtCreateFileByPath, StatusUnsuccessful)(&opened, access | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes, &io,
                                                             nullptr, FILE_ATTRIBUTE_NORMAL, share, FILE_OPEN, options, nullptr, 0);
    }
    calls.freeUnicodeString(&name);
    if (status < 0) {
        SetLastError(errorOfStatus(status));
        return INVALID_HANDLE_VALUE;
    }
    return opened;
}

DWORD errorOfStatus(NTSTATUS status)
{
#ifdef VURO_FAULT_SEAM
    if (status == StatusUnsuccessful)
        return GetLastError();
#endif
    return lookedUpCalls().statusToError ? lookedUpCalls().statusToError(status) : DWORD(ERROR_GEN_FAILURE);
}

SysResult openRelative(const OpenFolder &folder, const std::string &name, ACCESS_MASK access, ULONG share, ULONG disposition,
                       ULONG options, Handle &file, PSECURITY_DESCRIPTOR security)
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
    SECURITY_QUALITY_OF_SERVICE quality = identificationOnly();
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, handleOf(folder.handle), security);
    attributes.SecurityQualityOfService = &quality;
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

} // namespace windows_internal

namespace {

// True when text begins with a volume's name and the backslash that makes it its root folder,
// "VOLUME{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\\" (upper case): without that backslash it names
// the volume's device, as "\\\\?\\C:" does.
bool isVolumeName(const std::wstring &text)
{
    const std::wstring form = L"VOLUME{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}\\";
    if (text.size() < form.size())
        return false;
    for (std::size_t i = 0; i < form.size(); ++i) {
        const wchar_t c = text[i];
        const bool hex = (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
        if (form[i] == L'X' ? !hex : c != form[i])
            return false;
    }
    return true;
}

} // namespace

namespace {

// The path in upper case with backslashes: the form the system's rules are read in.
std::wstring upperWithBackslashes(const std::wstring &path)
{
    std::wstring upper = path;
    for (wchar_t &c : upper)
        c = c == L'/' ? L'\\' : (c >= L'a' && c <= L'z') ? wchar_t(c - L'a' + L'A') : c;
    return upper;
}

// True when server, a UNC path's rest ("SERVER\\SHARE\\..."), is a server's pipe or mailslot
// namespace: an open there connects to a pipe server.
bool isPipeShare(const std::wstring &server)
{
    const std::size_t slash = server.find(L'\\');
    if (slash == std::wstring::npos)
        return false;
    const std::size_t end = server.find(L'\\', slash + 1);
    const std::wstring share = server.substr(slash + 1, end == std::wstring::npos ? std::wstring::npos : end - slash - 1);
    return share == L"PIPE" || share == L"MAILSLOT";
}

// True when the upper-case path is of a namespace that holds no files: the device namespace
// ("\\.\\"), anything of the object namespace but a drive, a share or a volume ("\\?\\" and
// "\\??\\": pipes, disks, GLOBALROOT), and a server's pipes and mailslots.
bool isOfDeviceNamespace(const std::wstring &upper)
{
    if (hasPrefix(upper, L"\\\\.\\"))
        return true;
    if (hasPrefix(upper, L"\\\\?\\") || hasPrefix(upper, L"\\??\\")) {
        const std::wstring rest = upper.substr(4);
        const bool drive = rest.size() >= 3 && rest[0] >= L'A' && rest[0] <= L'Z' && rest[1] == L':' && rest[2] == L'\\';
        if (hasPrefix(rest, L"UNC\\"))
            return isPipeShare(rest.substr(4));
        return !drive && !isVolumeName(rest);
    }
    return hasPrefix(upper, L"\\\\") && isPipeShare(upper.substr(2));
}

// True when the upper-case path goes to the file system as written, with no reserved names:
// "\\?\\" and "\\??\\" paths and UNC paths.
bool isTakenAsWritten(const std::wstring &upper)
{
    return hasPrefix(upper, L"\\\\") || hasPrefix(upper, L"\\??\\");
}

// True when the path's last name is a reserved device name as a drive-absolute, drive-relative
// or relative path reads it.
bool hasReservedName(const std::wstring &path)
{
    // The system's own reading: a name it would turn into a device's path ("\\.\\COM1"), whatever
    // the rules of this version of Windows.
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    if (needed > 0 && GetFullPathNameW(path.c_str(), needed, &full[0], nullptr) < needed && hasPrefix(full, L"\\\\.\\"))
        return true;
    // And the rule as Windows 10 and earlier read it, for a version that reads more: the last
    // name (after a drive's colon, "c:prn"), cut at its first dot or colon ("nul:", "NUL:.bin",
    // "prn:.txt"), without its trailing spaces ("con .json").
    const std::size_t slash = path.find_last_of(L"\\/");
    std::wstring base = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
    if (slash == std::wstring::npos && base.size() >= 2 && base[1] == L':')
        base = base.substr(2);
    base = base.substr(0, base.find_first_of(L".:"));
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

} // namespace

bool isDeviceName(const std::wstring &path)
{
    const std::wstring upper = upperWithBackslashes(path);
    return isOfDeviceNamespace(upper) || (!isTakenAsWritten(upper) && hasReservedName(path));
}

bool isDeviceResultName(const std::wstring &path)
{
    return isOfDeviceNamespace(upperWithBackslashes(path)) || hasReservedName(path);
}

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
