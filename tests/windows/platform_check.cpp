// Runs the Windows source of the platform layer under Wine and checks it against known facts:
// the shell's size text against the portable formatter the POSIX build uses, the capacity of drive
// C: against the figure Linux reports for the folder Wine maps to it, and listings in a scratch folder.
//
// Standard C++ only, besides the layer itself: it builds with the MinGW cross compiler, no Qt.

#include "platform/platform.h"
#include "platform/platform_windows.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
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
    const std::string shell = formatShortByteSize(bytes);
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
    const bool answered = queryVolumeCapacity("C:\\", capacity);
    check(answered && capacity > 0, "capacity of C:\\ is positive: " + std::to_string(capacity));
    const std::uint64_t expected = std::strtoull(expectedText, nullptr, 10);
    check(capacity == expected, "capacity of C:\\ " + std::to_string(capacity) + " equals statvfs " + expectedText);
    std::uint64_t untouched = 7;
    check(!queryVolumeCapacity("Q:\\no\\such\\volume\\", untouched) && untouched == 7,
          "a failed query leaves the total untouched");
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
    ListingEnd end = ListingEnd::OpenFailed;
    std::vector<std::string> entries; // "name size" or "name/" for folders, in listing order
};

Listing listWith(const std::string &folder, bool withFileIds)
{
    Listing listing;
    std::string failure;
    listing.end = listFolderAs(folder, true, withFileIds, [](const FileIdentity &) { return true; },
                               [&](const ListedEntry &entry) {
                                   listing.entries.push_back(entry.isFolder ? entry.path + "/" : std::to_string(entry.size));
                               }, failure);
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
    const Listing withIds = listWith(root, true);
    const Listing without = listWith(root, false);
    check(withIds.end == ListingEnd::Complete && withIds.entries.size() == (made ? 3u : 2u) && withIds.entries == without.entries,
          "the listing without file ids gives what the one with them gives (" + std::to_string(without.entries.size()) + " entries)");
    if (!made) {
        std::printf("skipped: Wine cannot create a name with an unpaired surrogate here\n");
        return;
    }
    std::string folderPath;
    for (const std::string &entry : withIds.entries) {
        if (!entry.empty() && entry.back() == '/')
            folderPath = entry.substr(0, entry.size() - 1);
    }
    const Listing inside = listWith(folderPath, true);
    check(inside.end == ListingEnd::Complete && inside.entries.size() == 1,
          "a folder named with an unpaired surrogate is listed through its WTF-8 path");
}

} // namespace

int main(int argc, char **argv)
{
    // The emulator tells what Linux reports for the folder Wine maps to drive C:.
    const char *capacity = std::getenv("VURO_C_DRIVE_CAPACITY");
    if (argc < 2 || !capacity) {
        std::printf("usage: platform_check SCRATCH_FOLDER, with VURO_C_DRIVE_CAPACITY set (tests/windows/wine-run sets it)\n");
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
    checkListings(argv[1]);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
