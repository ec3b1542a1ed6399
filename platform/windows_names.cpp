// Names as the system reads them: device names in every spelling, and the separators.
#include "platform/windows_internal.h"
#include "platform/platform_windows.h"

using namespace windows_internal;

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
