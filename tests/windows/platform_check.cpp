// Runs the Windows source of the platform layer under Wine and checks it against known facts:
// the shell's size text against the portable formatter the POSIX build uses, and the capacity of
// C:\ against the figure Linux reports for the folder Wine maps to it (passed as argument 1).
//
// Standard C++ only, besides the layer itself: it builds with the MinGW cross compiler, no Qt.

#include "platform/platform.h"
#include "platform/platform_windows.h"

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

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::printf("usage: platform_check CAPACITY_OF_C_DRIVE\n");
        return 2;
    }
    bool sameText = true;
    for (std::uint64_t bytes : sizeTextCounts())
        sameText = checkSizeText(bytes) && sameText;
    check(sameText, "the shell's size text equals the portable one for about 19,000 counts");
    checkVolumeCapacity(argv[1]);
    checkEntryTyping();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
