#include "platform.h"

#include <windows.h>
#include <shlwapi.h>

namespace {

std::wstring wideFromUtf8(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(std::size_t(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

std::string utf8FromWide(const wchar_t *text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return std::string();
    std::string narrow(std::size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], length, nullptr, nullptr);
    narrow.resize(std::size_t(length - 1)); // drop the terminating zero
    return narrow;
}

} // namespace

bool queryVolumeCapacity(const std::string &rootUtf8, std::uint64_t &capacity)
{
    ULARGE_INTEGER availableToCaller, totalBytes, totalFree;
    if (!GetDiskFreeSpaceExW(wideFromUtf8(rootUtf8).c_str(), &availableToCaller, &totalBytes, &totalFree))
        return false;
    capacity = totalBytes.QuadPart;
    return true;
}

std::string formatShortByteSize(std::uint64_t bytes)
{
    wchar_t buffer[100] = {};
    // The shell takes a signed count; its text is the one the viewer shows elsewhere.
    StrFormatByteSizeW(static_cast<LONGLONG>(bytes), buffer, 100);
    return utf8FromWide(buffer);
}
