#include "kestrow/config/number_text.h"

#include <gtest/gtest.h>

namespace kestrow::config {
namespace {

struct HexCase {
    const char* text;
    std::uint32_t value;
};

TEST(NumberText, HexReaderWalksFromTheEndAndSkipsNonDigits) {
    const HexCase cases[] = {
        {"80000000", 0x80000000u},    // no 0x needed
        {"0x80000000", 0x80000000u},
        {"0X1f", 0x1f},
        {"0x8000 0000", 0x80000000u},  // a blank inside the digits changes nothing
        {"  ab,cd  ", 0xabcd},
        {"12x34", 0x34},               // stops at the x
        {"0x", 0},
        {"", 0},
        {"zz", 0},
        {"0x123456789", 0x23456789},   // wider than 32 bits wraps
        {"ffffffff", 0xffffffffu},
    };
    for (const HexCase& c : cases) EXPECT_EQ(ReadHex(c.text), c.value) << '"' << c.text << '"';
}

TEST(NumberText, DecimalReadsLikeTheCLibrary) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"115200", 115200}, {"  20", 20}, {"-3", -3}, {"+7", 7}, {"12abc", 12}, {"abc", 0},
        {"", 0}, {" 1 2", 1}, {"99999999999", 2147483647}, {"-99999999999", -2147483647 - 1},
        {"-2147483648", -2147483647 - 1},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(ReadDecimal(text), value) << '"' << text << '"';
}

TEST(NumberText, Base16AcceptsPrefixAndStopsAtFirstOtherCharacter) {
    const HexCase cases[] = {
        {"0x2000e000", 0x2000e000}, {" 1F", 0x1f}, {"12 34", 0x12}, {"0xg", 0},
        {"zz", 0}, {"123456789", 0xffffffffu},
    };
    for (const HexCase& c : cases) EXPECT_EQ(ReadBase16(c.text), c.value) << '"' << c.text << '"';
}

TEST(NumberText, DigitsFromEndSkipOtherCharactersWithoutWeight) {
    EXPECT_EQ(ReadDigitsFromEnd("123"), 123u);
    EXPECT_EQ(ReadDigitsFromEnd(" 1a2-3\r\n"), 123u);
    EXPECT_EQ(ReadDigitsFromEnd("xyz"), 0u);
}

}  // namespace
}  // namespace kestrow::config
