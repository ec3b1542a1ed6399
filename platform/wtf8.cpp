#include "wtf8.h"

// Windows names are UTF-16 that need not be valid (NTFS keeps unpaired surrogates); the Windows
// layer carries them as bytes, like every other path.

namespace {

void appendCodePoint(std::string &out, char32_t point)
{
    if (point < 0x80) {
        out += char(point);
    } else if (point < 0x800) {
        out += char(0xC0 | (point >> 6));
        out += char(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += char(0xE0 | (point >> 12));
        out += char(0x80 | ((point >> 6) & 0x3F));
        out += char(0x80 | (point & 0x3F));
    } else {
        out += char(0xF0 | (point >> 18));
        out += char(0x80 | ((point >> 12) & 0x3F));
        out += char(0x80 | ((point >> 6) & 0x3F));
        out += char(0x80 | (point & 0x3F));
    }
}

bool isHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The length of the sequence a lead byte starts and the bits it carries; 0 when it starts none.
int sequenceLength(unsigned char lead, char32_t &bits)
{
    if (lead < 0x80) { bits = lead; return 1; }
    if (lead >= 0xC2 && lead < 0xE0) { bits = lead & 0x1F; return 2; }
    if (lead >= 0xE0 && lead < 0xF0) { bits = lead & 0x0F; return 3; }
    if (lead >= 0xF0 && lead < 0xF5) { bits = lead & 0x07; return 4; }
    return 0;
}

void appendUtf16(std::u16string &out, char32_t point)
{
    if (point < 0x10000) {
        out += char16_t(point);
        return;
    }
    point -= 0x10000;
    out += char16_t(0xD800 + (point >> 10));
    out += char16_t(0xDC00 + (point & 0x3FF));
}

} // namespace

std::string wtf8FromUtf16(const std::u16string &text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = text[i];
        if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            appendCodePoint(out, 0x10000 + ((unit - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else {
            appendCodePoint(out, unit);
        }
    }
    return out;
}

std::u16string utf16FromWtf8(const std::string &text)
{
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t point = 0;
        const int length = sequenceLength(static_cast<unsigned char>(text[i]), point);
        bool valid = length > 0 && i + std::size_t(length) <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + std::size_t(k)]);
            valid = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms and points past Unicode are no sequence; surrogates are, in WTF-8.
        const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && point >= smallest[length] && point <= 0x10FFFF;
        if (!valid) {
            out += char16_t(0xFFFD);
            ++i;
            continue;
        }
        appendUtf16(out, point);
        i += std::size_t(length);
    }
    return out;
}

bool equalsIgnoringAsciiCase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}
