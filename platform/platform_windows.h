#pragma once

// Windows only: how the Windows listing types an entry, and its listing with the way chosen,
// shared with its check under Wine.

#include "platform.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

enum class WindowsEntryKind { Folder, File, NameSurrogate };

// Returns how the walk treats an entry with these attributes and reparse tag: a folder to walk, a
// file sized by the listing, or a symbolic link or junction (never walked, sized as its target).
WindowsEntryKind kindOfWindowsEntry(std::uint32_t attributes, std::uint32_t reparseTag);

// The ways a folder is listed, in the order listFolder tries them where one is refused: records
// with file ids, fuller records without (Windows 8 and later), and the find calls every Windows
// and redirector has.
enum class ListingClass { FileIds, Full, Find };

// The listing of listFolder, starting with the given way.
SysResult listFolderWith(const OpenFolder &folder, ListingClass first, ListingBuffer &buffer,
                         const std::function<void(const FolderEntry &)> &visit);

// Returns a path that opens the file the system names systemName (\Device\HarddiskVolume2\a),
// given the drives as pairs of "X:" and the device each names: under the drive that names its
// device, else under \\?\GLOBALROOT, which every Windows call that takes a path opens as well.
std::wstring win32PathOfSystemName(const std::wstring &systemName, const std::vector<std::pair<std::wstring, std::wstring>> &drives);

// Gives the path of an open file or folder built from the system's own name of it, as for volumes
// without a DOS name (RAM disks, user-mode volumes), where the result's links are resolved so.
SysResult pathFromSystemName(const Handle &file, std::string &path);

// Returns the arguments of a command line as the caller meant them: split by the system's rules,
// except that a backslash before a double quote that ends an argument is a backslash ("D:\" is
// D:\), where the system's split would put a double quote, which no Windows name holds, in one.
std::vector<std::string> splitCommandLine(const std::wstring &line);

// True when path, a target to read, names no file as the system reads it: a path of the device
// namespace (\\.\), of the object namespace but a drive, a share or a volume (\\?\GLOBALROOT,
// \\?\pipe), a server's pipes or mailslots (\\srv\pipe\x), or, in a drive-absolute,
// drive-relative or relative path, a last name that is a device's (CON, NUL, AUX, PRN, COM1 to
// COM9, LPT1 to LPT9, with the superscript digits, CONIN$ and CONOUT$) in any letter case,
// whatever follows its first dot or colon. \\?\ and UNC paths reach the file system as written.
bool isDeviceName(const std::wstring &path);

// True when path, a result to write, names a device as isDeviceName says, or has a device's last
// name in any spelling: the viewer reads the result by a plain path, where that name is a device.
bool isDeviceResultName(const std::wstring &path);

