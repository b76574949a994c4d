#pragma once
// Small text helpers shared by the station files: UTF-8 <-> UTF-16LE, trimming,
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

// UTF-16 code units (host order) from UTF-8; malformed bytes become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view s);
// UTF-8 from UTF-16 code units; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view s);

// The file's bytes as UTF-16LE code units, without interpretation of a
// byte-order mark; an odd last byte is dropped.
std::u16string DecodeUtf16Le(std::string_view bytes);
// UTF-16LE bytes of the code units.
std::string EncodeUtf16Le(std::u16string_view units);

// Splits at every `sep`; "a,,b" gives {"a", "", "b"}, "" gives {""}.
std::vector<std::string> Split(std::string_view s, char sep);

bool StartsWith(std::string_view s, std::string_view prefix);
std::string ToUpperAscii(std::string s);

}  // namespace kestrow::config
