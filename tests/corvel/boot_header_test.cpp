// Boot header rewrites: what the boot ROM of each chip type reads from the
// first bytes of a boot loader in SPI NOR or NAND flash.
#include "corvel/producer/boot_header.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

using namespace corvel::producer;

namespace {

struct Word {
    size_t offset;
    uint32_t value;
    size_t width = 4;
};

struct HeaderCase {
    const char* name;
    bool nand;
    unsigned chip;
    const char* spTag;  // bytes 508..511
    unsigned secure;
    unsigned platform;
    uint32_t clock;
    std::vector<Word> expected;
    friend std::ostream& operator<<(std::ostream& os, const HeaderCase& c) { return os << c.name; }
};

constexpr uint32_t B = 0x20000;     // reserve length
constexpr uint32_t kPage = 2048;
constexpr uint32_t kPages = 5;
const std::vector<T_RAM_REG> kTable = {
    {0x080000B4, 0xAAAA}, {0x080000BC, 0xBBBB}, {0x080000C4, 0xCCCC}, {0x66668881, 7}, {0x1234, 5}, {KW_RAM_END, 0}};

class BootHeaderCases : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(BootHeaderCases, RewritesWhatTheBootRomReads) {
    const HeaderCase& c = GetParam();
    std::vector<uint8_t> header(c.nand ? kPage : 512, 0xEE);
    std::memcpy(&header[508], c.spTag, 4);
    BootHeaderInput in{c.chip, B, c.clock, c.platform, c.secure, kPage, kPages, kTable};
    if (c.nand) RewriteNandBootHeader(header, in);
    else RewriteSpiBootHeader(header, in);
    const char* magic[] = {"MORVOK6D", "MORVOK6B", "MORVOQ4D", "MORVOQ7A", "QM_Q7L_B", "MORVO_TA"};
    EXPECT_EQ(std::string(header.begin() + 4, header.begin() + 12), magic[c.chip - 6]);
    for (const Word& w : c.expected) {
        uint32_t got = 0;
        for (size_t i = 0; i < w.width; ++i) got |= static_cast<uint32_t>(header[w.offset + i]) << (8 * i);
        EXPECT_EQ(got, w.value) << "offset " << w.offset;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BootHeaderCases,
    ::testing::Values(
        // SPI NOR
        HeaderCase{"Spi6TableValuesReplaced", false, 6, "none", 0, 2, 10000000,
                   {{12, 4096}, {16, 2}, {24, 1}, {28, 6}, {32, 0x48000000}, {36, 0},
                    {44, 0x080000B4}, {48, 2 + 70400}, {52, 0x080000BC}, {56, B}, {60, 0x080000C4},
                    {64, 0x80E01000}, {68, 0x66668881}, {72, 0x1234}, {76, 5}, {80, KW_RAM_END},
                    {84, 0xEEEEEEEE}}},
        HeaderCase{"Spi7WithSpB", false, 7, "SP_B", 0, 2, 10000000, {{12, 4096}, {64, 0x80F01000}}},
        HeaderCase{"Spi8ClockCapped", false, 8, "SP_L", 0, 2, 30000000,
                   {{12, B}, {16, 0}, {32, 0x80F00000}, {36, 1}, {48, 0xAAAA}}},
        HeaderCase{"Spi8WithoutSp", false, 8, "none", 0, 2, 10000000, {{16, 2}, {32, 0x80E00000}}},
        HeaderCase{"Spi9Normal", false, 9, "none", 0, 2, 20000000, {{16, 5}, {32, 0x80DFFC00}}},
        HeaderCase{"Spi9NormalSp", false, 9, "SP_B", 0, 2, 20000000, {{32, 0x80EFFC00}}},
        HeaderCase{"Spi9SecureFlag1", false, 9, "none", 1, 2, 20000000, {{32, 0x80E00000}}},
        HeaderCase{"Spi10", false, 10, "SP_L", 0, 2, 20000000, {{12, B}, {16, 5}, {32, 0x80F00000}}},
        HeaderCase{"Spi11NoRamTable", false, 11, "none", 0, 2, 20000000,
                   {{12, 8192}, {16, 2}, {32, 0xD2800100}, {36, 0}, {44, 0xC00A0000}, {48, 2 + 0x1300},
                    {52, 0xC00A1000}, {56, B}, {60, 0xC00A2000}, {64, 0x40000000}, {68, 0xEEEEEEEE}}},
        // NAND
        HeaderCase{"Nand6TableReplaced", true, 6, "none", 0, 2, 10000000,
                   {{12, 0}, {16, 2, 2}, {20, 4}, {24, 0}, {28, 1}, {32, 0x48000000}, {36, 0}, {40, 2, 2},
                    {52, 0x080000CC}, {56, ((4 + 65792) * 256) | 2}, {60, 0x080000BC}, {64, kPages},
                    {68, 0x080000C4}, {72, 0x80F01000}, {76, 0x66668881}, {80, 0x1234}}},
        HeaderCase{"Nand7SpL", true, 7, "SP_L", 0, 2, 10000000, {{40, 2, 2}, {72, 0x81001000}}},
        HeaderCase{"Nand8SpRtos", true, 8, "SP_L", 0, 2, 20000000, {{32, 0x80F00000}, {36, 1}, {40, kPages, 2}}},
        HeaderCase{"Nand8SpLinux", true, 8, "SP_L", 0, 1, 20000000, {{32, 0x81000000}}},
        HeaderCase{"Nand8SpBIsNoTagForNand", true, 8, "SP_B", 0, 1, 20000000, {{32, 0x80F00000}}},
        HeaderCase{"Nand10WithoutSp", true, 10, "none", 0, 2, 20000000,
                   {{16, 5, 2}, {32, 0x80F00000}, {36, 1}, {40, kPages, 2}, {52, 0x080000B4}, {56, 0xAAAA}}},
        HeaderCase{"Nand11Sp", true, 11, "SP_L", 0, 2, 20000000, {{32, 0x81000000}, {36, 1}}}),
    [](const auto& info) { return info.param.name; });

TEST(BootHeader, NandPageOf4096MovesTheType8LoadAddress) {
    std::vector<uint8_t> header(4096, 0);
    std::memcpy(&header[508], "SP_L", 4);
    BootHeaderInput in{8, B, 20000000, 2, 0, 4096, 3, {}};
    RewriteNandBootHeader(header, in);
    EXPECT_EQ(header[32] | header[33] << 8 | header[34] << 16 | header[35] << 24, 0x80F00800);
    EXPECT_EQ(header[20], 8);
}

// The boot ROM reads the table up to its end marker: a table that has none gets
// it, as the address word alone, or the ROM would walk into the loader's bytes.
TEST(BootHeader, ATableWithoutItsEndMarkerGetsOne) {
    const std::vector<T_RAM_REG> open = {{0x1234, 5}, {0x66668881, 7}, {0x5678, 6}};
    for (bool nand : {false, true}) {
        SCOPED_TRACE(nand ? "NAND" : "SPI");
        std::vector<uint8_t> header(nand ? kPage : 512, 0xEE);
        BootHeaderInput in{8, B, 20000000, 2, 0, kPage, kPages, open};
        if (nand) RewriteNandBootHeader(header, in);
        else RewriteSpiBootHeader(header, in);
        size_t at = nand ? 52 : 44;
        const std::vector<uint32_t> expected = {0x1234, 5, 0x66668881, 0x5678, 6, KW_RAM_END, 0xEEEEEEEE};
        for (uint32_t word : expected) {
            uint32_t got = header[at] | header[at + 1] << 8 | header[at + 2] << 16 |
                           static_cast<uint32_t>(header[at + 3]) << 24;
            EXPECT_EQ(got, word) << "offset " << at;
            at += 4;
        }
    }
    // No table: nothing is written where it would go.
    std::vector<uint8_t> header(512, 0xEE);
    RewriteSpiBootHeader(header, BootHeaderInput{8, B, 20000000, 2, 0, kPage, kPages, {}});
    EXPECT_EQ(header[44], 0xEE);
}

TEST(BootHeader, ATableLongerThanTheHeaderStopsAtItsEnd) {
    std::vector<uint8_t> header(512, 0);
    std::vector<T_RAM_REG> table(100, T_RAM_REG{0x1000, 0x2000});
    BootHeaderInput in{8, B, 20000000, 2, 0, kPage, 1, table};
    RewriteSpiBootHeader(header, in);  // 44 + 800 bytes would not fit; must not write past 512
    EXPECT_EQ(header[508] | header[509] << 8, 0x1000);
}

}  // namespace
