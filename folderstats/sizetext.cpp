#include "sizetext.h"

// The size text where the system has none of its own; the Windows check compares the shell's
// own text against it.

namespace {

const char *const UnitNames[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
const int LargestUnit = 5;

// Index into UnitNames of the smallest unit in which bytes is below 1000 units (EB at the most).
int unitIndexFor(std::uint64_t bytes)
{
    int index = 0;
    while (index < LargestUnit && (bytes >> (10 * (index + 1))) >= 1000)
        ++index;
    return index;
}

int decimalsFor(std::uint64_t wholeUnits)
{
    return wholeUnits < 10 ? 2 : wholeUnits < 100 ? 1 : 0;
}

// The first `decimals` digits of remainder / 2^shift, truncated. One digit at a time, because
// remainder * 100 would overflow for EB while remainder * 10 (below 2^64) never does.
std::string fractionDigits(std::uint64_t remainder, int shift, int decimals)
{
    const std::uint64_t mask = (std::uint64_t(1) << shift) - 1;
    std::string digits;
    for (int i = 0; i < decimals; ++i) {
        remainder *= 10;
        digits += char('0' + (remainder >> shift));
        remainder &= mask;
    }
    return digits;
}

} // namespace

std::string formatEnUsByteSize(std::uint64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + " bytes";
    const int index = unitIndexFor(bytes);
    const int shift = 10 * (index + 1);
    const std::uint64_t whole = bytes >> shift;
    const int decimals = decimalsFor(whole);
    std::string text = std::to_string(whole);
    if (decimals > 0)
        text += "." + fractionDigits(bytes & ((std::uint64_t(1) << shift) - 1), shift, decimals);
    return text + " " + UnitNames[index];
}
