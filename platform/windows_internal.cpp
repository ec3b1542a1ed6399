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

DWORD attributesOf(HANDLE file)
{
    FILE_BASIC_INFO basic;
    return SYS(GetFileInformationByHandleEx, FALSE)(file, FileBasicInfo, &basic, sizeof basic) ? basic.FileAttributes
                                                                                                : INVALID_FILE_ATTRIBUTES;
}

bool setAttributesOf(HANDLE file, DWORD attributes)
{
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SYS(SetFileInformationByHandle, FALSE)(file, FileBasicInfo, &basic, sizeof basic);
}

} // namespace windows_internal

void closeNativeHandle(NativeHandle handle)
{
    CloseHandle(reinterpret_cast<HANDLE>(handle));
}
