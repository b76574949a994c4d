#pragma once
// The number readers the station files rely on. They never fail: text that holds
// no number reads as 0, as the files have always been read.
#include <cstdint>
#include <string_view>

namespace kestrow::config {

// The station's own hex reader: walks from the last character towards the first,
// stops at an "x" or "X", and adds every hex digit with the weight of the hex
// digits seen so far; every other character is skipped. "80000000", "0x80000000"
// and "0x8000 0000" all give 0x80000000. Wider values wrap to 32 bits.
std::uint32_t ReadHex(std::string_view text);

// Decimal as the C library's conversion reads it: leading blanks, an optional
// sign, then digits up to the first other character; no digits gives 0.
// Values beyond the 32-bit range are held at its nearest end.
std::int32_t ReadDecimal(std::string_view text);

// Base-16 as the C library's unsigned conversion reads it: leading blanks, an
// optional sign, an optional "0x", then hex digits up to the first other
// character; values beyond 32 bits are held at 0xFFFFFFFF.
std::uint32_t ReadBase16(std::string_view text);

// Sums only the decimal digits, from the last character towards the first;
// every other character is skipped without changing the weight.
std::uint32_t ReadDigitsFromEnd(std::string_view text);

}  // namespace kestrow::config
