// The FAT writer's on-disk codecs: the allocation table in its three widths
// and the two kinds of folder entry, checked byte by byte.
#include "kestrow/fat/dir_entry.h"
#include "kestrow/fat/fat_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kestrow::fat {
namespace {

using ::testing::ElementsAre;

// Entries set into a zeroed table land on exactly these bytes and read back.
TEST(FatTable, EntriesOfEachWidthAtTheirBytes) {
    struct Case {
        const char* what;
        FatType type;
        std::size_t entry;
        std::uint32_t value;
        std::size_t firstByte;
        std::vector<std::uint8_t> bytes;  // from firstByte on
        std::uint32_t readBack;
    };
    const Case cases[] = {
        {"FAT12 even entry: a byte and the next low nibble", FatType::Fat12, 2, 0xABC, 3, {0xBC, 0x0A}, 0xABC},
        {"FAT12 odd entry: a high nibble and the next byte", FatType::Fat12, 3, 0xABC, 4, {0xC0, 0xAB}, 0xABC},
        {"FAT12 entry 341 straddles the end of a 512-byte sector", FatType::Fat12, 341, 0x123, 511, {0x30, 0x12},
         0x123},
        {"FAT16 entry 255 ends a 512-byte sector", FatType::Fat16, 255, 0xFFF8, 510, {0xF8, 0xFF}, 0xFFF8},
        {"FAT32 entry 127 ends a 512-byte sector", FatType::Fat32, 127, 0x0FFFFFFF, 508, {0xFF, 0xFF, 0xFF, 0x0F},
         0x0FFFFFFF},
        {"FAT32 reads without the top four bits", FatType::Fat32, 5, 0xF0000123, 20, {0x23, 0x01, 0x00, 0xF0},
         0x123},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> table(1024, 0);
        SetFatEntry(c.type, table.data(), c.entry, c.value);
        EXPECT_EQ(std::vector<std::uint8_t>(table.begin() + c.firstByte, table.begin() + c.firstByte + c.bytes.size()),
                  c.bytes);
        EXPECT_EQ(GetFatEntry(c.type, table.data(), c.entry), c.readBack);
        std::vector<std::uint8_t> others = table;
        std::fill(others.begin() + c.firstByte, others.begin() + c.firstByte + c.bytes.size(), 0);
        if (c.type != FatType::Fat12) {
            EXPECT_EQ(others, std::vector<std::uint8_t>(1024, 0));  // nothing else touched
        }
    }
}

// Two FAT12 neighbours share the middle byte: setting one keeps the other.
TEST(FatTable, Fat12NeighboursKeepTheirNibbles) {
    std::vector<std::uint8_t> table(8, 0);
    SetFatEntry(FatType::Fat12, table.data(), 0, 0xFF8);
    SetFatEntry(FatType::Fat12, table.data(), 1, 0xFFF);
    SetFatEntry(FatType::Fat12, table.data(), 2, 0x003);
    SetFatEntry(FatType::Fat12, table.data(), 3, 0x004);
    EXPECT_THAT(std::vector<std::uint8_t>(table.begin(), table.begin() + 6), ElementsAre(0xF8, 0xFF, 0xFF, 0x03, 0x40, 0x00));
    SetFatEntry(FatType::Fat12, table.data(), 2, 0xFFF);
    EXPECT_EQ(GetFatEntry(FatType::Fat12, table.data(), 1), 0xFFFu);
    EXPECT_EQ(GetFatEntry(FatType::Fat12, table.data(), 3), 0x004u);
}

TEST(DirEntry, ShortEntryFields) {
    std::uint8_t e[kDirEntryBytes];
    ShortName name;
    std::memcpy(name.data(), "\x05" "BC     TXT", 11);
    WriteShortEntry(e, name, kAttrArchive, 0x00123456, 0);
    SetEntryClusterAndSize(e, 0x00ABCDEF, 70000);
    EXPECT_EQ(e[short_entry::kAttributes], kAttrArchive);
    EXPECT_THAT(std::vector<std::uint8_t>(e + 20, e + 22), ElementsAre(0xAB, 0x00));  // high word of the cluster
    EXPECT_THAT(std::vector<std::uint8_t>(e + 26, e + 32), ElementsAre(0xEF, 0xCD, 0x70, 0x11, 0x01, 0x00));
    EXPECT_EQ(EntryCluster(e), 0x00ABCDEFu);
    EXPECT_EQ(ShortNameText(e), u"\u00E5BC.TXT");  // a leading 0x05 stands for 0xE5
    EXPECT_FALSE(IsLongNameEntry(e));
}

// The second piece of a 15-unit name: two units, the terminator, then padding.
TEST(DirEntry, LongEntryPiecesEndWithZeroThenPadding) {
    const std::u16string name = u"abcdefghijklmnO";
    std::uint8_t e[kDirEntryBytes];
    WriteLongEntry(e, name, 2, true, 0x5A);
    EXPECT_EQ(e[long_entry::kOrdinal], 0x42);
    EXPECT_EQ(e[long_entry::kChecksum], 0x5A);
    EXPECT_TRUE(IsLongNameEntry(e));
    EXPECT_THAT(std::vector<std::uint8_t>(e + 1, e + 9), ElementsAre('n', 0, 'O', 0, 0, 0, 0xFF, 0xFF));
    EXPECT_THAT(std::vector<std::uint8_t>(e + 28, e + 32), ElementsAre(0xFF, 0xFF, 0xFF, 0xFF));
    EXPECT_EQ(LongEntryUnits(e), u"nO");
    WriteLongEntry(e, name, 1, false, 0x5A);
    EXPECT_EQ(e[long_entry::kOrdinal], 0x01);
    EXPECT_EQ(LongEntryUnits(e), u"abcdefghijklm");  // a full piece has no terminator
}

}  // namespace
}  // namespace kestrow::fat
