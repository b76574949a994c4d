#include "kestrow/config/text_util.h"

#include "kestrow/base/unicode.h"

#include <cctype>

namespace kestrow::config {
namespace {

bool IsContinuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

bool IsBlank(char32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && IsBlank(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(b, e - b));
}

std::string TrimRight(std::string_view s) {
    std::size_t e = s.size();
    while (e > 0 && IsBlank(static_cast<unsigned char>(s[e - 1]))) --e;
    return std::string(s.substr(0, e));
}

std::string CutToChars(std::string_view s, std::size_t maxChars) {
    std::size_t i = 0, chars = 0;
    while (i < s.size() && chars < maxChars) {
        ++i;
        while (i < s.size() && IsContinuation(s[i])) ++i;
        ++chars;
    }
    return std::string(s.substr(0, i));
}

std::string CutToBytes(std::string_view s, std::size_t maxBytes) {
    if (s.size() <= maxBytes) return std::string(s);
    std::size_t end = maxBytes;
    while (end > 0 && IsContinuation(s[end])) --end;
    return std::string(s.substr(0, end));
}

std::size_t CountCharacters(std::string_view s) { return base::CountCodePoints(s); }

std::u16string Utf8ToUtf16(std::string_view s) { return *base::Utf8ToUtf16(s, base::Malformed::Replace); }

std::string Utf16ToUtf8(std::u16string_view s) { return *base::Utf16ToUtf8(s, base::Malformed::Replace); }

std::vector<std::string> Split(std::string_view s, char sep) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == sep) {
            parts.emplace_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string ToUpperAscii(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace kestrow::config
