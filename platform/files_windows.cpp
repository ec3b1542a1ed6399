// The plumbing first: it sets the Windows version the system headers declare.
#include "platform/windows_internal.h"
#include "platform/files.h"
#include "platform/platform_windows.h"

#include <algorithm>

using namespace windows_internal;

namespace {

std::int64_t ticksOf(const FILETIME &time)
{
    return std::int64_t((std::uint64_t(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

} // namespace

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
    const Handle handle = owned(openWide(extendedLengthPath(wideFrom(path)), FILE_READ_ATTRIBUTES, ShareAll,
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
    Handle opened = owned(openWide(extendedLengthPath(wideFrom(path)), GENERIC_READ, ShareAll, FILE_FLAG_SEQUENTIAL_SCAN));
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

SysResult readChunkAt(const Handle &file, std::uint64_t offset, char *buffer, std::size_t size, std::size_t &count)
{
    // On a handle opened for synchronous reads the offset is where this one read starts.
    OVERLAPPED at = {};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD read = 0;
    if (!SYS(ReadFile, FALSE)(handleOf(file), buffer, DWORD(size > 0x40000000 ? 0x40000000 : size), &read, &at)) {
        if (GetLastError() != ERROR_HANDLE_EOF)
            return lastError();
        read = 0;
    }
    count = read;
    return {};
}

SysResult watchForChanges(const Handle &, Handle &)
{
    // A change notification names folders' entries, not one open file's writes.
    return {SysError::NotSupported, ERROR_NOT_SUPPORTED};
}

SysResult hasChangedSince(const Handle &, bool &changed)
{
    changed = false;
    return {SysError::NotSupported, ERROR_NOT_SUPPORTED};
}

SysResult stopWatching(const Handle &)
{
    return {SysError::NotSupported, ERROR_NOT_SUPPORTED};
}
