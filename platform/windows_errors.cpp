// The system's error codes: the kinds the rest tells apart, and the system's own words.
#include "platform/windows_internal.h"
#include "platform/platform_windows.h"

#include <cstring>
#include <vector>

using namespace windows_internal;

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
