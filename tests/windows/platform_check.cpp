// Runs the Windows source of the platform layer under Wine and checks it against known facts:
// the shell's size text against the portable formatter the POSIX build uses, the capacity of drive
// C: against the figure Linux reports for the folder Wine maps to it, and listings in a scratch folder.
//
// Standard C++ only, besides the layer itself: it builds with the MinGW cross compiler, no Qt.

#include "folderstats/sizetext.h"
#include "platform/platform.h"
#include "platform/platform_windows.h"
#include "platform/wtf8.h"
#include "report/writer.h"
#include "tests/support/seam.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

// The shell's arithmetic is exact only below 1000 GiB; above it, it may show one step lower.
const std::uint64_t ExactLimit = std::uint64_t(1000) << 30;

int passed = 0;
int failed = 0;

void check(bool ok, const std::string &what)
{
    ++(ok ? passed : failed);
    std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
}

bool checkSizeText(std::uint64_t bytes)
{
    const std::string shell = systemByteSizeText(bytes);
    const std::string portable = formatEnUsByteSize(bytes);
    if (shell != portable)
        std::printf("  %llu: shell \"%s\", portable \"%s\"\n", static_cast<unsigned long long>(bytes),
                    shell.c_str(), portable.c_str());
    return shell == portable;
}

// The first count shown at step `step` of a unit (2^shift bytes) with `decimals` decimals, and the
// last count before it: ceil(step * unit / 10^decimals) and one less.
void addStepBoundaries(std::vector<std::uint64_t> &counts, int shift, int decimals, std::uint64_t firstStep,
                       std::uint64_t lastStep)
{
    const std::uint64_t scale = decimals == 2 ? 100 : decimals == 1 ? 10 : 1;
    for (std::uint64_t step = firstStep; step <= lastStep; ++step) {
        const std::uint64_t first = ((step << shift) + scale - 1) / scale;
        counts.push_back(first - 1);
        counts.push_back(first);
    }
}

std::vector<std::uint64_t> sizeTextCounts()
{
    std::vector<std::uint64_t> counts;
    for (std::uint64_t bytes = 0; bytes < 1100; ++bytes)
        counts.push_back(bytes);
    for (int shift = 10; shift <= 30; shift += 10) {
        addStepBoundaries(counts, shift, 2, 97, 999); // 0.97 (1000 of the unit below) to 9.99
        addStepBoundaries(counts, shift, 1, 100, 999); // 10.0 to 99.9
        addStepBoundaries(counts, shift, 0, 100, 999); // 100 to 999
    }
    std::mt19937_64 random(20261207);
    for (int i = 0; i < 2000; ++i)
        counts.push_back(random() % ExactLimit);
    return counts;
}

void checkVolumeCapacity(const char *expectedText)
{
    std::uint64_t capacity = 0;
    OpenFolder root;
    const bool answered = openStartFolder("C:\\", root).ok() && queryVolumeCapacity(root, capacity).ok();
    check(answered && capacity > 0, "capacity of C:\\ is positive: " + std::to_string(capacity));
    const std::uint64_t expected = std::strtoull(expectedText, nullptr, 10);
    check(capacity == expected, "capacity of C:\\ " + std::to_string(capacity) + " equals statvfs " + expectedText);
    std::uint64_t untouched = 7;
    OpenFolder gone;
    gone.path = "Q:\\no\\such\\volume\\";
    check(!queryVolumeCapacity(gone, untouched).ok() && untouched == 7, "a failed query leaves the total untouched");
}

// Windows' reparse tags of the kinds the walk meets (winnt.h).
const std::uint32_t TagSymlink = 0xA000000C;
const std::uint32_t TagJunction = 0xA0000003;
const std::uint32_t TagCloud = 0x9000601A;
const std::uint32_t TagDedup = 0x80000013;
const std::uint32_t AttributeDirectory = 0x10;
const std::uint32_t AttributeReparse = 0x400;
const std::uint32_t AttributeArchive = 0x20;

// Wine cannot make symbolic links or junctions, so the typing of listing data is checked directly:
// links and junctions are never folders and never sized by the listing (no cycles, sized as their
// target); other reparse points are the folders and files they seem.
void checkEntryTyping()
{
    const WindowsEntryKind Folder = WindowsEntryKind::Folder, File = WindowsEntryKind::File,
                           Link = WindowsEntryKind::NameSurrogate;
    struct Row {
        const char *what;
        std::uint32_t attributes, tag;
        WindowsEntryKind kind;
    };
    const Row rows[] = {
        {"plain folder", AttributeDirectory, 0, Folder},
        {"plain file", AttributeArchive, 0, File},
        {"symbolic link to a folder", AttributeDirectory | AttributeReparse, TagSymlink, Link},
        {"junction", AttributeDirectory | AttributeReparse, TagJunction, Link},
        {"symbolic link to a file", AttributeArchive | AttributeReparse, TagSymlink, Link},
        {"cloud folder", AttributeDirectory | AttributeReparse, TagCloud, Folder},
        {"deduplicated file", AttributeArchive | AttributeReparse, TagDedup, File},
        {"tag without the reparse attribute", AttributeDirectory, TagSymlink, Folder},
    };
    bool ok = true;
    for (const Row &row : rows) {
        if (kindOfWindowsEntry(row.attributes, row.tag) != row.kind) {
            std::printf("  typed wrongly: %s\n", row.what);
            ok = false;
        }
    }
    check(ok, "listing data typed as links, junctions, folders and files");
}

// Guards against a file system that gives no file ids (zero or all ones) having all its folders
// taken for one another, and so for loops.
void checkUnknownIdentities()
{
    const FileIdentity zero = makeFileIdentity(7, 0, 0);
    const FileIdentity ones = makeFileIdentity(7, ~std::uint64_t(0), ~std::uint64_t(0));
    const FileIdentity real = makeFileIdentity(7, 0, 42);
    check(!zero.known && !ones.known && real.known, "ids of zero and all ones are unknown, others known");
    check(!isSameFile(zero, zero) && !isSameFile(ones, ones) && isSameFile(real, real),
          "an unknown identity equals nothing, not even itself");
}

// Guards against names with unpaired surrogates (which NTFS keeps) being changed on their way
// through the walk's byte strings: WTF-8 is the exact inverse, and UTF-8 where the text is valid.
void checkWtf8()
{
    struct Row {
        std::u16string text;
        std::string bytes;
    };
    const Row rows[] = {
        {u"abc", "abc"},
        {u"\u00e9", "\xc3\xa9"},
        {u"\U0001F600", "\xf0\x9f\x98\x80"},
        {std::u16string(1, char16_t(0xD800)) + u"x", "\xed\xa0\x80x"},
        {std::u16string(1, char16_t(0xDC00)), "\xed\xb0\x80"},
        {std::u16string{char16_t(0xDFFF), char16_t(0xDBFF)}, "\xed\xbf\xbf\xed\xaf\xbf"},
    };
    bool ok = true;
    for (const Row &row : rows)
        ok = ok && wtf8FromUtf16(row.text) == row.bytes && utf16FromWtf8(row.bytes) == row.text;
    check(ok, "WTF-8 round trip of names with unpaired surrogates");
}

struct Listing {
    SysResult end;
    std::vector<std::string> entries; // "name size" or "name/" for folders, in listing order
};

Listing listWith(const std::string &folder, ListingClass way)
{
    Listing listing;
    OpenFolder opened;
    listing.end = openStartFolder(folder, opened);
    ListingBuffer buffer = makeListingBuffer();
    if (listing.end.ok())
        listing.end = listFolderWith(opened, way, buffer, [&](const FolderEntry &entry) {
            listing.entries.push_back(entry.name + (entry.type == EntryType::Folder ? "/" : " " + std::to_string(entry.size)));
        });
    std::sort(listing.entries.begin(), listing.entries.end());
    return listing;
}

std::wstring wide(const std::string &text)
{
    const std::u16string utf16 = utf16FromWtf8(text);
    return std::wstring(utf16.begin(), utf16.end());
}

// Guards against a file system that refuses the listing with file ids giving a different walk
// than one that has it, and against a name with an unpaired surrogate (NTFS keeps them) being
// lost on its way through the walk's byte strings. Works in a scratch folder (argument 2).
void checkListings(const std::string &scratch)
{
    const std::string root = scratch + "\\listing";
    CreateDirectoryW(wide(root).c_str(), nullptr);
    // A folder named "a", an unpaired high surrogate and "b".
    const std::string odd = root + "\\a" + wtf8FromUtf16(std::u16string(1, char16_t(0xD834))) + "b";
    const bool made = CreateDirectoryW(wide(odd).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
    for (const std::string &file : {root + "\\f1", root + "\\f2", odd + "\\inner"}) {
        const HANDLE handle = CreateFileW(wide(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(handle, "12345", DWORD(file.size() % 5 + 1), &written, nullptr);
        CloseHandle(handle);
    }
    const Listing withIds = listWith(root, ListingClass::FileIds);
    const Listing without = listWith(root, ListingClass::Full);
    const Listing found = listWith(root, ListingClass::Find);
    check(withIds.end.ok() && withIds.entries.size() == (made ? 3u : 2u) && withIds.entries == without.entries &&
              withIds.entries == found.entries,
          "the listings without file ids and by the find calls give what the one with ids gives (" +
              std::to_string(found.entries.size()) + " entries)");
    if (!made) {
        std::printf("skipped: Wine cannot create a name with an unpaired surrogate here\n");
        return;
    }
    std::string folderName;
    for (const std::string &entry : withIds.entries) {
        if (!entry.empty() && entry.back() == '/')
            folderName = entry.substr(0, entry.size() - 1);
    }
    const Listing inside = listWith(root + "\\" + folderName, ListingClass::FileIds);
    check(inside.end.ok() && inside.entries.size() == 1,
          "a folder named with an unpaired surrogate is listed through its WTF-8 path");
}

std::string readWhole(const std::string &path)
{
    const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<none>";
    std::string bytes(4096, '\0');
    DWORD read = 0;
    ReadFile(file, &bytes[0], DWORD(bytes.size()), &read, nullptr);
    CloseHandle(file);
    bytes.resize(read);
    return bytes;
}

void writeWhole(const std::string &path, const std::string &bytes)
{
    SetFileAttributesW(wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
    const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

// Guards against an error read as the wrong kind. Where a call made here gives the error, the
// row is that call's outcome: the platform's own call, on files made here, with another handle
// that shares nothing or holds a lock where one is wanted; the rest are the codes alone, for
// what no call here gives on demand (a full disk, a share gone).
void checkErrorKinds(const std::string &scratch)
{
    const std::string folder = scratch + "\\kinds", named = folder + "\\f";
    CreateDirectoryW(wide(folder).c_str(), nullptr);
    writeWhole(named, "x");
    FileStatus status;
    Handle file;
    ResultPlace place;
    if (!openResultPlace(named, place).ok())
        check(false, "error kinds: the place of " + named);
    // Another program's handle: one with the file's one byte locked, or one that shares nothing.
    const auto heldBy = [&](DWORD share, bool locked, const std::function<SysResult()> &call) {
        const HANDLE other = CreateFileW(wide(named).c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
        OVERLAPPED at = {};
        if (locked)
            LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at);
        const SysResult result = call();
        CloseHandle(other);
        return result;
    };
    const struct {
        const char *what;
        SysError kind;
        std::function<SysResult()> call;
    } calls[] = {
        {"a file that is there", SysError::None, [&] { return statusOfPath(named, true, status); }},
        {"no such file", SysError::Missing, [&] { return statusOfPath(folder + "\\missing", true, status); }},
        {"no such folder on the way", SysError::Missing, [&] { return statusOfPath(folder + "\\missing\\x", true, status); }},
        {"a name taken", SysError::Exists, [&] { return createNamedFile(place, "f", file); }},
        {"a file locked by another", SysError::Locked, [&] {
             return heldBy(FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true, [&] {
                 const SysResult result = openForWriting(place, file);
                 return result.ok() ? tryLockFile(file) : result;
             });
         }},
        {"a file another shares with none", SysError::Locked, [&] { return heldBy(0, false, [&] { return openForWriting(place, file); }); }},
    };
    for (const auto &row : calls) {
        file.reset();
        const SysResult result = row.call();
        check(result.kind == row.kind, std::string("error kinds: ") + row.what + " (code " + std::to_string(result.code) + ")");
    }
    const struct {
        DWORD code;
        SysError kind;
    } codes[] = {
        // A file opened as a folder (STATUS_NOT_A_DIRECTORY): Wine answers the start folder's
        // open of a file with ERROR_INVALID_NAME instead, so no call here gives it.
        {ERROR_DIRECTORY, SysError::NotAFolder}, {ERROR_FILE_EXISTS, SysError::Exists},
        {ERROR_BAD_NETPATH, SysError::Gone}, {ERROR_ACCESS_DENIED, SysError::Denied},
        {ERROR_ALREADY_EXISTS, SysError::Exists}, {ERROR_CANT_RESOLVE_FILENAME, SysError::Other},
        {ERROR_FILENAME_EXCED_RANGE, SysError::NameTooLong}, {ERROR_TOO_MANY_OPEN_FILES, SysError::OutOfHandles},
        {ERROR_NO_SYSTEM_RESOURCES, SysError::OutOfHandles}, {ERROR_NOT_ENOUGH_MEMORY, SysError::OutOfMemory},
        {ERROR_OUTOFMEMORY, SysError::OutOfMemory}, {ERROR_DISK_FULL, SysError::Other}, {ERROR_WRITE_PROTECT, SysError::ReadOnly},
        {ERROR_NOT_SUPPORTED, SysError::NotSupported}, {ERROR_INVALID_FUNCTION, SysError::NotSupported},
        {ERROR_IO_DEVICE, SysError::Other}, {ERROR_NETNAME_DELETED, SysError::Gone}, {ERROR_UNEXP_NET_ERR, SysError::Gone},
        {ERROR_NOT_READY, SysError::Gone}, {ERROR_INVALID_PARAMETER, SysError::Other},
    };
    for (const auto &row : codes)
        check(errorKindOf(long(row.code)) == row.kind, "error kinds: code " + std::to_string(row.code) + " alone");
}

// The names in folder other than keep: what a writer left behind.
std::vector<std::string> leftovers(const std::string &folder, const std::string &keep)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW(wide(folder + "\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = wtf8FromUtf16(std::u16string(data.cFileName, data.cFileName + wcslen(data.cFileName)));
        if (name != "." && name != ".." && name != keep)
            names.push_back(name);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// Guards against any one failing Windows call of the writer losing the earlier result, leaving a
// temporary file or part of a report behind, or passing for success: each call of a new and of a
// replacing write fails in turn with the codes real file systems, redirectors and scanners give
// (sharing and lock violations go away on the next try, as a scanner's hold does).
void checkWriterFaults(const std::string &scratch)
{
    const std::string folder = scratch + "\\writer";
    CreateDirectoryW(wide(folder).c_str(), nullptr);
    const std::string path = folder + "\\r.json";
    const std::string report = "[\r\n    {\r\n        \"MD5\": \"\"\r\n    }\r\n]\r\n";
    const std::string earlier = "the earlier result";
    const DWORD codes[] = {ERROR_INVALID_PARAMETER, ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED, ERROR_ACCESS_DENIED,
                           ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_NETNAME_DELETED, ERROR_UNEXP_NET_ERR,
                           ERROR_IO_DEVICE, ERROR_NOT_ENOUGH_MEMORY, ERROR_TOO_MANY_OPEN_FILES, ERROR_DISK_FULL};
    int runs = 0, bad = 0;
    for (bool exists : {false, true}) {
        for (int k = 1; k <= 40; ++k) {
            for (DWORD code : codes) {
                DeleteFileW(wide(path).c_str());
                if (exists)
                    writeWhole(path, earlier);
                int made = 0;
                const SysResult failure = resultOf(long(code));
                SystemCalls calls;
                const SystemCalls real;
                const auto failing = [&](auto call) {
                    return [&, call](auto &&...args) {
                        return ++made == k ? failure : call(std::forward<decltype(args)>(args)...);
                    };
                };
                calls = wrapEachCall(real, [&](const char *, auto call) { return failing(call); });
                calls.sleepMilliseconds = [](int) {};
                bool written = false, threw = false;
                ResultPlace place;
                if (!openResultPlace(path, place).ok()) {
                    ++bad;
                    continue;
                }
                try {
                    written = writeResultFile(place, report, calls);
                } catch (const std::bad_alloc &) {
                    threw = true;
                }
                if (made < k)
                    break;
                ++runs;
                const std::string after = readWhole(path);
                const bool fine = (!threw || code == ERROR_NOT_ENOUGH_MEMORY) &&
                                  (written ? after == report : after == (exists ? earlier : "<none>")) &&
                                  leftovers(folder, "r.json").empty();
                if (!fine) {
                    ++bad;
                    std::printf("  call %d failing with %lu, %s result: %s, file holds \"%s\", %d other files\n", k,
                                static_cast<unsigned long>(code), exists ? "existing" : "new", written ? "written" : "not written",
                                after.c_str(), int(leftovers(folder, "r.json").size()));
                }
            }
        }
    }
    check(bad == 0, "the writer's Windows calls failing in turn (" + std::to_string(runs) + " runs): the report, the earlier file or none");
}

// Guards against a read-only earlier result staying stale (Windows refuses to replace it), and
// against a replaced result losing its read-only and hidden attributes.
void checkDecoratedResult(const std::string &scratch)
{
    const std::string path = scratch + "\\decorated.json";
    writeWhole(path, "stale");
    // Hidden first: Wine keeps it in an extended attribute, which a user other than root cannot
    // set on a file once it is read-only, as Windows' own order of the two would have it.
    SetFileAttributesW(wide(path).c_str(), FILE_ATTRIBUTE_HIDDEN);
    SetFileAttributesW(wide(path).c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    ResultPlace place;
    const bool written = openResultPlace(path, place).ok() && writeResultFile(place, "fresh");
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    check(written && readWhole(path) == "fresh" && attributes != INVALID_FILE_ATTRIBUTES &&
              (attributes & FILE_ATTRIBUTE_READONLY) && (attributes & FILE_ATTRIBUTE_HIDDEN),
          "a read-only, hidden earlier result is replaced and keeps both attributes (written: " +
              std::to_string(written) + ", holds \"" + readWhole(path) + "\", attributes " + std::to_string(attributes) + ")");
    SetFileAttributesW(wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}


// Guards against a file being hashed being locked against Explorer: renamed while the helper reads it.
void checkReadsShareDeletion(const std::string &scratch)
{
    const std::string path = scratch + "\\being-read", moved = scratch + "\\moved-away";
    writeWhole(path, "contents");
    DeleteFileW(wide(moved).c_str());
    Handle file;
    const bool opened = openForReading(path, file).ok();
    const bool renamed = MoveFileW(wide(path).c_str(), wide(moved).c_str()) != 0;
    check(opened && renamed, "a file open for reading can be renamed by another program meanwhile");
    file.reset();
    DeleteFileW(wide(moved).c_str());
}

// Guards against a result whose folder is on a volume without a DOS name (a RAM disk, a user-mode
// volume) getting no report: its system name is mapped back to the drive that names the device,
// or else reached under \\?\GLOBALROOT; a device whose name merely begins like a drive's is not
// taken for it.
void checkSystemNamePaths(const std::string &scratch)
{
    const std::vector<std::pair<std::wstring, std::wstring>> drives = {
        {L"C:", L"\\Device\\HarddiskVolume2"}, {L"R:", L"\\Device\\ImDisk0"}};
    struct Row {
        const wchar_t *systemName, *expected;
    };
    const Row rows[] = {
        {L"\\Device\\ImDisk0\\results\\r.json", L"\\\\?\\R:\\results\\r.json"},
        {L"\\Device\\ImDisk0\\", L"\\\\?\\R:\\"},
        {L"\\Device\\ImDisk01\\r.json", L"\\\\?\\GLOBALROOT\\Device\\ImDisk01\\r.json"},
        {L"\\Device\\Volume{4c1b}\\r.json", L"\\\\?\\GLOBALROOT\\Device\\Volume{4c1b}\\r.json"},
    };
    bool mapped = true;
    for (const Row &row : rows)
        mapped = win32PathOfSystemName(row.systemName, drives) == row.expected && mapped;
    check(mapped, "system names mapped to the drive of their device, else under GLOBALROOT");

    // The same, live: this system's own names of a file on the scratch drive and on drive C:.
    bool same = true;
    writeWhole(scratch + "\\system-named", "x");
    for (const std::string &path : {scratch + "\\system-named", std::string("C:\\windows\\win.ini")}) {
        Handle file, again;
        FileStatus status, statusAgain;
        std::string rebuilt;
        same = openForReading(path, file).ok() && statusOfHandle(file, status).ok() &&
               pathFromSystemName(file, rebuilt).ok() && openForReading(rebuilt, again).ok() &&
               statusOfHandle(again, statusAgain).ok() && isSameFile(status.identity, statusAgain.identity) && same;
        if (!same)
            std::printf("  %s came back as \"%s\"\n", path.c_str(), rebuilt.c_str());
    }
    check(same, "a file's path built from its system name opens the same file");
}

// Guards against a DLL that the helper's QtCore loads on first use (winmm.dll, version.dll and
// the like, no known DLLs) being taken from another folder than the system's: the folder of planted
// copies (argument 3) is put in the search, as the viewer's folder is, before the search is restricted.
void checkLibrarySearch(const std::string &planted)
{
    const std::wstring marker = wide(planted + "\\winmm.dll.loaded");
    DeleteFileW(marker.c_str());
    SetDllDirectoryW(wide(planted).c_str());
    restrictLibrarySearch();
    const HMODULE module = LoadLibraryW(L"winmm.dll");
    const bool plantedLoaded = GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
    check(module && !plantedLoaded, "after the search is restricted, winmm.dll comes from the system, not from a planted copy");
    if (module)
        FreeLibrary(module);
}

} // namespace

// Guards against an argument read other than the caller meant it: a quoted folder that ends in
// a backslash ("D:\\"), which the system's split reads as an escaped quote, swallowing the next
// argument; and against other arguments read differently from the system's rules.
void checkCommandLines()
{
    struct Case {
        const wchar_t *line;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {L"h.exe 3 \"D:\\\" \"C:\\temp\\res\"", {"h.exe", "3", "D:\\", "C:\\temp\\res"}},
        {L"\"C:\\a b\\h.exe\" 0 \"C:\\some folder\\\" out", {"C:\\a b\\h.exe", "0", "C:\\some folder\\", "out"}},
        {L"h.exe 3 \"D:\\\"", {"h.exe", "3", "D:\\"}},
        {L"h.exe 0 \"C:\\a b\\c\" r", {"h.exe", "0", "C:\\a b\\c", "r"}},
        {L"h.exe 0 C:\\x\\ y", {"h.exe", "0", "C:\\x\\", "y"}},
        {L"h.exe 2 \"a\\\\\" b", {"h.exe", "2", "a\\", "b"}},
    };
    bool ok = true;
    for (const Case &c : cases) {
        const std::vector<std::string> split = splitCommandLine(c.line);
        if (split != c.expected) {
            std::string seen;
            for (const std::string &argument : split)
                seen += "[" + argument + "]";
            std::printf("  %ls read as %s\n", c.line, seen.c_str());
            ok = false;
        }
    }
    check(ok, "command lines read as meant: a backslash before a quote that ends an argument is a backslash");
}

// Guards against a device name taken for a file name, or a file name for a device's: Microsoft's
// reserved names in any letter case, with any extension, and names that only look like them.
void checkDeviceNames()
{
    const wchar_t *const devices[] = {L"C:\\r\\con", L"C:\\r\\NUL.json", L"aux.txt", L"C:/r/Com1.log", L"lpt9",
                                      L"C:\\r\\prn .json", L"\\\\.\\C:", L"conin$", L"COM\u00b9.json", L"C:\\r\\con.a.b",
                                      L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789ABCDEF}", L"\\\\?\\Volume{0123}\\r.json",
                                      L"C:\\r\\nul:", L"C:\\r\\nul::", L"C:\\r\\COM1:", L"CoM4:", L"lpt1:", L"C:\\r\\NUL:.bin",
                                      L"prn:.txt", L"c:PRN:.txt", L"c:com5:", L"C:\\r\\con .json", L"c:nul . . :",
                                      // A server's pipes and mailslots: an open connects to a pipe server.
                                      L"\\\\localhost\\pipe\\NAME", L"\\\\srv\\mailslot\\X", L"//srv/PIPE/x", L"\\\\?\\UNC\\srv\\pipe\\x"};
    const wchar_t *const files[] = {L"C:\\r\\console.json", L"C:\\con\\r.json", L"com10", L"lpt0.json", L"nul-x", L"C:\\r\\auxiliary",
                                    L"\\\\?\\C:\\r\\report.json", L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789ABCDEF}\\r.json",
                                    L"//?/C:/r/report.json", L"\\??\\C:\\r\\report.json", L"C:\\r\\nullx", L"COM0", L"C:\\r\\COM10",
                                    L"c:\\lpt0.txt", L"c:nul0",
                                    // As written: \\?\ and UNC paths have no reserved names.
                                    L"\\\\?\\Z:\\r\\dev\\nul", L"\\\\srv\\share\\con", L"\\\\?\\UNC\\srv\\share\\COM1", L"\\\\?\\C:\\r\\aux.txt",
                                    L"\\\\srv\\share\\LPT\u00b9", L"\\\\srv\\share\\CONIN$", L"//srv/share/con .x", L"\\\\?\\C:\\r\\nul. ", L"\\\\srv\\con\\f"};
    // Results are read back by the viewer's plain paths: a device's name is refused in any spelling.
    const wchar_t *const resultDevices[] = {L"C:\\r\\nul", L"COM1", L"C:\\r\\con .x", L"nul.", L"LPT\u00b9", L"\\\\?\\C:\\r\\nul",
                                            L"\\\\srv\\share\\con", L"\\\\localhost\\pipe\\r"};
    bool ok = true;
    for (const wchar_t *path : devices) {
        if (!isDeviceName(path)) {
            std::printf("  %ls taken for a file\n", path);
            ok = false;
        }
    }
    for (const wchar_t *path : files) {
        if (isDeviceName(path)) {
            std::printf("  %ls taken for a device\n", path);
            ok = false;
        }
    }
    for (const wchar_t *path : resultDevices) {
        if (!isDeviceResultName(path)) {
            std::printf("  result %ls taken for a file\n", path);
            ok = false;
        }
    }
    if (isDeviceResultName(L"C:\\r\\CLOCK$")) {
        std::printf("  result CLOCK$ taken for a device\n");
        ok = false;
    }
    check(ok, "device names told from file names");
}

int main(int argc, char **argv)
{
    // The emulator tells what Linux reports for the folder Wine maps to drive C:.
    const char *capacity = std::getenv("VURO_C_DRIVE_CAPACITY");
    if (argc < 3 || !capacity) {
        std::printf("usage: platform_check SCRATCH_FOLDER PLANTED_DLLS_FOLDER, with VURO_C_DRIVE_CAPACITY set (tests/windows/wine-run sets it)\n");
        return 2;
    }
    bool sameText = true;
    for (std::uint64_t bytes : sizeTextCounts())
        sameText = checkSizeText(bytes) && sameText;
    check(sameText, "the shell's size text equals the portable one for about 19,000 counts");
    checkVolumeCapacity(capacity);
    checkEntryTyping();
    checkUnknownIdentities();
    checkWtf8();
    // The scratch folder is this program's own: made here, so that it runs again alone.
    CreateDirectoryW(std::wstring(argv[1], argv[1] + std::strlen(argv[1])).c_str(), nullptr);
    checkListings(argv[1]);
    checkErrorKinds(argv[1]);
    checkCommandLines();
    checkDeviceNames();
    checkWriterFaults(argv[1]);
    checkDecoratedResult(argv[1]);
    checkReadsShareDeletion(argv[1]);
    checkSystemNamePaths(argv[1]);
    checkLibrarySearch(argv[2]); // last: it changes where this process loads libraries from
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
