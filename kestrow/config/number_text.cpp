#include "kestrow/config/number_text.h"

#include <algorithm>
#include <limits>

namespace kestrow::config {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsCBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::uint32_t ReadHex(std::string_view text) {
    std::uint32_t value = 0;
    unsigned shift = 0;
    for (std::size_t i = text.size(); i-- > 0;) {
        char c = text[i];
        if (c == 'x' || c == 'X') break;
        int d = HexDigit(c);
        if (d < 0) continue;
        if (shift < 32) value += static_cast<std::uint32_t>(d) << shift;
        shift += 4;
    }
    return value;
}

std::int32_t ReadDecimal(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsCBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = std::min(kLimit, value * 10 + (text[i] - '0'));
    if (negative) return static_cast<std::int32_t>(-value);
    return static_cast<std::int32_t>(std::min(value, kLimit - 1));
}

std::uint32_t ReadBase16(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && IsCBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
        i + 2 < text.size() && HexDigit(text[i + 2]) >= 0)
        i += 2;
    std::uint64_t value = 0;
    for (int d; i < text.size() && (d = HexDigit(text[i])) >= 0; ++i)
        value = std::min<std::uint64_t>(0x100000000ULL, value * 16 + static_cast<unsigned>(d));
    if (value > 0xFFFFFFFFULL) return 0xFFFFFFFFu;
    std::uint32_t v = static_cast<std::uint32_t>(value);
    return negative ? 0u - v : v;
}

std::uint32_t ReadDigitsFromEnd(std::string_view text) {
    std::uint32_t value = 0, weight = 1;
    for (std::size_t i = text.size(); i-- > 0;) {
        if (text[i] < '0' || text[i] > '9') continue;
        value += static_cast<std::uint32_t>(text[i] - '0') * weight;
        weight *= 10;
    }
    return value;
}

}  // namespace kestrow::config
