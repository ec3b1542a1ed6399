#pragma once

#include <string>

// Returns text (UTF-16, unpaired surrogates allowed) as WTF-8: UTF-8 where it is valid, and each
// unpaired surrogate as its own three-byte sequence.
std::string wtf8FromUtf16(const std::u16string &text);

// Returns the UTF-16 text of WTF-8 (or UTF-8) bytes; the exact inverse of wtf8FromUtf16. A byte
// that starts no valid sequence becomes U+FFFD.
std::u16string utf16FromWtf8(const std::string &text);

// True when a and b are the same bytes but for the case of ASCII letters, as names are compared
// where the system ignores case (beyond ASCII, case is the system's matter and left alone).
bool equalsIgnoringAsciiCase(const std::string &a, const std::string &b);
