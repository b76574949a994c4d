#pragma once
// Small text helpers shared by the station files: UTF-8 <-> UTF-16, trimming,
// character-count limits and splitting.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kestrow::config {

// Blanks, tabs, CR, LF, VT and FF.
bool IsBlank(char32_t c);
// 0-9, a-f, A-F.
inline bool IsHex(char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
std::string Trim(std::string_view s);
std::string TrimRight(std::string_view s);

// Cuts `s` to at most `maxChars` characters (not bytes), never splitting one.
std::string CutToChars(std::string_view s, std::size_t maxChars);
// Cuts `s` to at most `maxBytes` bytes, never splitting a character.
std::string CutToBytes(std::string_view s, std::size_t maxBytes);

// Number of characters (code points) in UTF-8 text.
std::size_t CountCharacters(std::string_view s);

// The station's files are read on whatever they hold: a broken UTF-8 or
// UTF-16 sequence becomes U+FFFD (kestrow/base/unicode.h converts).
std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);

// Splits at every `sep`; "a,,b" gives {"a", "", "b"}, "" gives {""}.
std::vector<std::string> Split(std::string_view s, char sep);

bool StartsWith(std::string_view s, std::string_view prefix);
std::string ToUpperAscii(std::string s);

}  // namespace kestrow::config
