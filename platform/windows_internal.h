#pragma once

// Windows only: the plumbing every concern's Windows source shares: the fault seam of the tests'
// build, wide names, the looked-up native calls, the opens every concern makes, and error mapping.

// FILE_ID_INFO and the directory information classes; older systems answer them with an error,
// which is handled, not with a missing import.
#define _WIN32_WINNT 0x0602

#include "platform/types.h"
#include "platform/folders.h"
#include "platform/platform_windows.h"
#include "platform/wtf8.h"

#include <windows.h>
#include <winternl.h>

#include <cstring>
#include <string>
#include <vector>

// Every call below that can fail goes through SYS(function, failure value). In the shipped
// program it is the call itself; the Windows tests build a copy with VURO_FAULT_SEAM, in which a
// test makes the k-th call of one function fail with the error code it names.
// The seam also lets a test present answers no Wine volume gives (presentAnswer below).
#ifdef VURO_FAULT_SEAM
// The tests' build only: the hooks live with the tests.
#include "tests/windows/fault_hooks.h"
#define SYS(function, failure) faultSeam(#function, function, failure)
#else
#define SYS(function, failure) function
#endif

namespace windows_internal {

inline std::wstring wideFrom(const std::string &text)
{
    const std::u16string wide = utf16FromWtf8(text);
    return std::wstring(wide.begin(), wide.end());
}

inline std::string bytesFrom(const wchar_t *text, std::size_t length)
{
    return wtf8FromUtf16(std::u16string(text, text + length));
}

inline std::string bytesFrom(const std::wstring &text)
{
    return bytesFrom(text.c_str(), text.size());
}

inline SysResult lastError()
{
    return resultOf(long(GetLastError()));
}

inline SysResult okIf(bool done)
{
    return done ? SysResult{} : lastError();
}

inline HANDLE handleOf(const Handle &handle)
{
    return reinterpret_cast<HANDLE>(handle.get());
}

inline Handle owned(HANDLE handle)
{
    return Handle(handle == INVALID_HANDLE_VALUE ? NoHandle : reinterpret_cast<NativeHandle>(handle));
}

// Looks the named call up in module; null when it has none.
template <typename Function>
void resolve(HMODULE module, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

inline bool hasPrefix(const std::wstring &text, const wchar_t *prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The extended-length form of a path ("\\?\C:\..."), which Windows opens up to its own limit of
// about 32,767 characters instead of 260; the user's path made absolute and cleaned once.
std::wstring extendedLengthPath(const std::wstring &path);

const DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Calls looked up at run time, once, rather than imported: the native calls that open a name
// relative to an open folder (ntdll is in every process), and those that turn a 32-bit process's
// file system redirection off and on again for the calling thread (32-bit Windows may lack them).
struct LookedUpCalls {
    decltype(&NtCreateFile) createFile = nullptr;
    NTSTATUS(NTAPI *pathToSystemName)(PCWSTR, PUNICODE_STRING, PWSTR *, PVOID) = nullptr;
    BOOLEAN(NTAPI *pathToSystemNameOld)(PCWSTR, PUNICODE_STRING, PWSTR *, PVOID) = nullptr;
    decltype(&RtlFreeUnicodeString) freeUnicodeString = nullptr;
    decltype(&NtSetInformationFile) setInformationFile = nullptr;
    decltype(&NtQueryVolumeInformationFile) queryVolumeInformation = nullptr;
    decltype(&RtlNtStatusToDosError) statusToError = nullptr;
    decltype(&Wow64DisableWow64FsRedirection) disableRedirection = nullptr;
    decltype(&Wow64RevertWow64FsRedirection) revertRedirection = nullptr;
};

// The calls, looked up once.
const LookedUpCalls &lookedUpCalls();

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

// Opens the existing file or folder at path (a Win32 path, turned into the system's form by the
// system's own conversion) with NtCreateFile, as every open of the helper: for backup, with the
// security quality of service given (a pipe's server may only identify the helper), never
// FILE_OPEN_NO_RECALL. flags are CreateFileW's FILE_FLAG_OPEN_REPARSE_POINT and
// FILE_FLAG_SEQUENTIAL_SCAN; INVALID_HANDLE_VALUE with the last error set on failure.
HANDLE openWide(const std::wstring &path, DWORD access, DWORD share, DWORD flags);

// The outcome for a path that names a device: none of the helper's to open.
const SysResult DeviceRefused = {SysError::Missing, ERROR_INVALID_NAME};

// The status a failing call of ntdll or CNG gives where it says no more; the tests' fault seam
// fails such calls with it, the error code it names left as the last error.
const NTSTATUS StatusUnsuccessful = NTSTATUS(0xC0000001UL);

// What a server at the end of a name the helper opens (a named pipe) may do with its token: only
// identify it, never act as it (by default a pipe's client lends it its token: an elevated
// viewer's, an administrator's).
inline SECURITY_QUALITY_OF_SERVICE identificationOnly()
{
    SECURITY_QUALITY_OF_SERVICE quality = {};
    quality.Length = sizeof quality;
    quality.ImpersonationLevel = SecurityIdentification;
    quality.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    quality.EffectiveOnly = FALSE;
    return quality;
}

// The Windows error code of a failed native call's status.
DWORD errorOfStatus(NTSTATUS status);

// Opens name (names joined by separators) below the open folder, from the folder's own handle:
// no folder on the way to it is looked up again by its path. disposition and options are
// NtCreateFile's; names are compared without case, as Windows' own calls compare them.
SysResult openRelative(const OpenFolder &folder, const std::string &name, ACCESS_MASK access, ULONG share, ULONG disposition,
                       ULONG options, Handle &file, PSECURITY_DESCRIPTOR security = nullptr);

// The open file's volume serial number and file id; the 128-bit FILE_ID_INFO where the system
// has it (Windows 8 and later, ReFS), else the 64-bit index of BY_HANDLE_FILE_INFORMATION.
FileIdentity identityOf(HANDLE file, const BY_HANDLE_FILE_INFORMATION &info);

// The reparse tag of the open handle; 0 when it is none, or the file system will not say.
DWORD reparseTagOf(HANDLE handle, DWORD attributes);

// The path the system gives for an open handle, with the volume named as asked: the name it was
// opened by, which a share answers; a normalized one SMB builds by opening each folder on the way,
// and refuses where the user may not open one of them.
bool systemPathOf(HANDLE handle, DWORD volumeName, std::wstring &path);

// The process's token information of class, or empty where the system refuses it.
std::vector<char> processTokenInformation(TOKEN_INFORMATION_CLASS type);

// The file attributes of the open file, or INVALID_FILE_ATTRIBUTES.
DWORD attributesOf(HANDLE file);

// Gives the open file these attributes, its times left as they are; false when it cannot.
bool setAttributesOf(HANDLE file, DWORD attributes);

// Returns name below folder as one wide path with backslashes, for the calls that take paths.
inline std::wstring joined(const std::string &folder, const std::string &name)
{
    std::wstring path = wideFrom(joinPath(folder, name));
    for (wchar_t &c : path)
        c = c == L'/' ? L'\\' : c;
    return path;
}

} // namespace windows_internal
