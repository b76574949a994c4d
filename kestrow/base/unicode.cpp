#include "kestrow/base/unicode.h"

namespace kestrow::base {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kBroken = 0xFFFFFFFF;

bool IsContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes the character at s[i] and moves i past it. A broken sequence gives
// kBroken and moves i past its lead byte and the continuation bytes that
// belonged to it.
char32_t NextCodePoint(std::string_view s, std::size_t& i) {
    const auto b = static_cast<unsigned char>(s[i++]);
    if (b < 0x80) return b;
    const int extra = b >= 0xF0 && b < 0xF8 ? 3 : b >= 0xE0 && b < 0xF0 ? 2 : b >= 0xC2 && b < 0xE0 ? 1 : -1;
    if (extra < 0) return kBroken;
    char32_t c = b & (0x3F >> extra);
    for (int k = 0; k < extra; ++k) {
        if (i >= s.size() || !IsContinuation(static_cast<unsigned char>(s[i]))) return kBroken;
        c = (c << 6) | (static_cast<unsigned char>(s[i++]) & 0x3F);
    }
    if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)) || (c >= 0xD800 && c < 0xE000))
        return kBroken;
    return c;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8, Malformed policy) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        char32_t c = NextCodePoint(utf8, i);
        if (c == kBroken) {
            if (policy == Malformed::Refuse) return std::nullopt;
            c = kReplacement;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

std::optional<std::string> Utf16ToUtf8(std::u16string_view units, Malformed policy) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            if (policy == Malformed::Refuse) return std::nullopt;
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::size_t CountCodePoints(std::string_view utf8) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < utf8.size(); ++count) NextCodePoint(utf8, i);
    return count;
}

std::u16string DecodeUtf16(std::string_view bytes, ByteOrder order) {
    const std::size_t high = order == ByteOrder::Little ? 1 : 0;
    std::u16string units(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i + 1 - high]) |
                                         (static_cast<unsigned char>(bytes[2 * i + high]) << 8));
    return units;
}

std::string EncodeUtf16(std::u16string_view units, ByteOrder order) {
    const std::size_t high = order == ByteOrder::Little ? 1 : 0;
    std::string bytes(units.size() * 2, '\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        bytes[2 * i + 1 - high] = static_cast<char>(units[i] & 0xFF);
        bytes[2 * i + high] = static_cast<char>(units[i] >> 8);
    }
    return bytes;
}

}  // namespace kestrow::base
