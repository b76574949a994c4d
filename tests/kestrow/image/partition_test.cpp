#include "kestrow/image/partition.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace kestrow::image {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr uint32_t kPage = 256;
constexpr uint32_t kPagesPerBlock = 256;
constexpr uint32_t kBlock = kPage * kPagesPerBlock;  // 64 KiB
constexpr uint32_t kTotal = 4 * 1024 * 1024;
constexpr uint32_t kTablePage = 2 * kPagesPerBlock;  // boot area of two blocks
constexpr uint32_t kFirstFree = (kTablePage + 2 * kPagesPerBlock) * kPage;

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
    return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
           uint32_t(bytes[at + 3]) << 24;
}

// NOR flash in memory: erase sets a block to 0xFF, programming can only clear
// bits, so a page programmed twice without an erase between comes out wrong.
class NorFlash {
public:
    explicit NorFlash(uint32_t size = kTotal) : bytes(size, 0xFF) {}

    PartitionCallbacks Callbacks() {
        PartitionCallbacks cb = HostMemoryCallbacks();
        cb.erase = [this](uint32_t block) {
            if (failEraseBlock == block) return -1;
            erased.push_back(block);
            std::fill_n(bytes.begin() + size_t(block) * kBlock, kBlock, 0xFF);
            return 0;
        };
        cb.write = [this](uint32_t page, const uint8_t* data, uint32_t count) {
            writes.push_back({page, count});
            for (size_t i = 0; i < size_t(count) * kPage; ++i) bytes[size_t(page) * kPage + i] &= data[i];
            return 0;
        };
        cb.read = [this](uint32_t page, uint8_t* data, uint32_t count) {
            std::memcpy(data, bytes.data() + size_t(page) * kPage, size_t(count) * kPage);
            if (page == corruptReadPage) data[5] ^= 0x01;
            return 0;
        };
        cb.print = [this](const std::string& text) {
            printed.push_back(text);
            return 0;
        };
        return cb;
    }

    bool Printed(const std::string& text) const {
        return std::any_of(printed.begin(), printed.end(),
                           [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }
    std::vector<uint8_t> Range(size_t offset, size_t length) const {
        return {bytes.begin() + offset, bytes.begin() + offset + length};
    }

    struct WriteCall {
        uint32_t page, count;
        bool operator==(const WriteCall&) const = default;
    };
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> erased;
    std::vector<WriteCall> writes;
    std::vector<std::string> printed;
    uint32_t failEraseBlock = 0xFFFFFFFF;
    uint32_t corruptReadPage = 0xFFFFFFFF;
};

PartitionMediumInfo Medium(uint32_t total = kTotal) { return {kPage, kPagesPerBlock, total}; }

PartitionCreateInfo Request(const char* name, uint32_t sizeKiB, uint8_t type = kPartitionData, uint8_t backup = 0) {
    PartitionCreateInfo r;
    std::memcpy(r.name, name, std::min(std::strlen(name), sizeof r.name));
    r.sizeKiB = sizeKiB;
    r.type = type;
    r.backup = backup;
    r.verify = 1;
    return r;
}

class PartitionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(Partition_Init(flash.Callbacks(), &medium, kTablePage), 0); }

    // Creates and closes one partition; returns its entry as the library made it.
    PartitionEntry Create(const PartitionCreateInfo& request) {
        PartitionHandle* h = Partition_Creat(&request);
        EXPECT_NE(h, nullptr) << request.name;
        if (h == nullptr) return {};
        const PartitionEntry entry = *h;
        EXPECT_EQ(Partition_Close(h), 0);
        return entry;
    }
    uint32_t TableCount() const { return Le32(flash.bytes, size_t(kTablePage) * kPage); }
    PartitionEntry TableEntry(uint32_t i) const {
        return DecodePartitionEntry(flash.bytes.data() + size_t(kTablePage) * kPage + 4 + 32 * i);
    }
    std::vector<uint8_t> WriteThrough(const char* name, const std::vector<uint8_t>& data) {
        PartitionHandle* h = Partition_Open(name);
        EXPECT_NE(h, nullptr);
        EXPECT_EQ(Partition_Write(h, data.data(), uint32_t(data.size())), int64_t(data.size()));
        EXPECT_EQ(Partition_Close(h), 0);
        return data;
    }

    NorFlash flash;
    PartitionMediumInfo medium = Medium();
};

std::vector<uint8_t> Pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> data(length);
    for (size_t i = 0; i < length; ++i) data[i] = uint8_t(seed + i * 7);
    return data;
}

TEST(PartitionInitTest, RefusesMissingCallbacksNandMediumAndMisplacedTable) {
    NorFlash flash;
    const PartitionMediumInfo medium = Medium();

    PartitionCallbacks noCompare = flash.Callbacks();
    noCompare.compare = nullptr;
    EXPECT_EQ(Partition_Init(noCompare, &medium, kTablePage), -1);
    EXPECT_TRUE(flash.Printed("Partition_CallbackInit(): some callback function not init!"));

    PartitionCallbacks nand = flash.Callbacks();
    nand.medium = 1;
    EXPECT_EQ(Partition_Init(nand, &medium, kTablePage), -1);
    EXPECT_TRUE(flash.Printed("spinand init"));

    EXPECT_EQ(Partition_Init(flash.Callbacks(), &medium, kTablePage + 1), -1);
    EXPECT_TRUE(flash.Printed("partition table start page is error"));

    EXPECT_EQ(Partition_Init(flash.Callbacks(), nullptr, kTablePage), -1);
    EXPECT_TRUE(flash.Printed("Sflash_Init info QM_NULL"));

    // Every operation is refused once an init has failed.
    const PartitionCreateInfo request = Request("A", 4);
    EXPECT_EQ(Partition_Creat(&request), nullptr);
    EXPECT_TRUE(flash.Printed("part: Sflash_Creat not Sflash_Init"));
}

TEST(PartitionInitTest, TableStartZeroFindsTheBootBlockCountBehindTheMarker) {
    NorFlash flash;
    const PartitionMediumInfo medium = Medium();
    EXPECT_EQ(Partition_Init(flash.Callbacks(), &medium, 0), -1);
    EXPECT_TRUE(flash.Printed("update get boot size fail"));

    // Marker near the end of the third page: the count byte would lie past
    // the pages read, so it is not taken.
    std::memcpy(flash.bytes.data() + 3 * kPage - 20, "SPIP", 4);
    EXPECT_EQ(Partition_Init(flash.Callbacks(), &medium, 0), -1);

    std::memcpy(flash.bytes.data() + 400, "SPIP", 4);
    flash.bytes[400 + 31] = 3;
    ASSERT_EQ(Partition_Init(flash.Callbacks(), &medium, 0), 0);
    const PartitionEntry e = [] {
        const PartitionCreateInfo r = Request("A", 4);
        PartitionHandle* h = Partition_Creat(&r);
        const PartitionEntry copy = *h;
        Partition_Close(h);
        return copy;
    }();
    EXPECT_EQ(e.start, 5u * kBlock);  // table at block 3, backup at 4
    EXPECT_EQ(Le32(flash.bytes, 3 * kBlock), 1u);
}

TEST_F(PartitionTest, EmptyFlashHoldsNoPartitions) {
    EXPECT_EQ(Partition_Open("A"), nullptr);
    EXPECT_TRUE(flash.Printed("file_num == 0 || file_num == T_U32_MAX"));
    EXPECT_EQ(Create(Request("A", 4)).start, kFirstFree);
    EXPECT_EQ(TableCount(), 1u);
}

// A table read back from a flash can be damaged. An entry whose area runs past
// the flash or onto the table blocks must not be opened: writing it would erase
// blocks that are not there, or the table itself.
TEST_F(PartitionTest, OpenRefusesAnEntryOutsideTheFreeFlash) {
    struct Case {
        const char* what;
        uint32_t start, sizeKiB;
    } cases[] = {
        {"past the flash end", kTotal - kBlock, 128},
        {"start beyond the flash", kTotal + kBlock, 64},
        {"on the table blocks", kTablePage * kPage, 64},
        {"inside a block", kFirstFree + kPage, 64},
    };
    Create(Request("A", 64));
    const size_t entryAt = size_t(kTablePage) * kPage + 4;
    for (const Case& c : cases) {
        PartitionEntry e = TableEntry(0);
        e.start = c.start;
        e.sizeKiB = c.sizeKiB;
        EncodePartitionEntry(e, flash.bytes.data() + entryAt);
        flash.erased.clear();
        flash.writes.clear();
        EXPECT_EQ(Partition_Open("A"), nullptr) << c.what;
        EXPECT_TRUE(flash.Printed("lies outside the free flash")) << c.what;
        EXPECT_TRUE(flash.erased.empty() && flash.writes.empty()) << c.what;
    }
}

TEST_F(PartitionTest, SizesRoundUpToWholeBlocksAndPartitionsFollowEachOther) {
    struct Case {
        const char* name;
        uint32_t requestKiB, recordedKiB;
    };
    const Case cases[] = {{"ONE", 1, 64}, {"BLK", 64, 64}, {"MORE", 65, 128}, {"BIG", 2048, 2048}};
    uint32_t expectedStart = kFirstFree;
    for (const Case& c : cases) {
        const PartitionEntry e = Create(Request(c.name, c.requestKiB));
        EXPECT_EQ(e.sizeKiB, c.recordedKiB) << c.name;
        EXPECT_EQ(e.start, expectedStart) << c.name;
        EXPECT_EQ(e.backupOffset, kNoBackup) << c.name;
        expectedStart += c.recordedKiB * 1024;
    }
    EXPECT_EQ(TableCount(), 4u);
    EXPECT_EQ(TableEntry(2).name, "MORE");
}

TEST_F(PartitionTest, BackupSplitsTheBinPartitionInHalves) {
    const PartitionEntry bin = Create(Request("BIOS", 192, kPartitionBin, 1));
    EXPECT_EQ(bin.sizeKiB, 192u);                          // 768 pages, already even
    EXPECT_EQ(bin.backupOffset, bin.start + 384 * kPage);  // copy in the second half
    const PartitionEntry fs = Create(Request("FS", 64, kPartitionFs, 1));
    EXPECT_EQ(fs.start, bin.start + 192 * 1024);
    EXPECT_EQ(TableEntry(1).type, kPartitionFs);

    // Two writes that share one block of the data half and one of the copy:
    // neither may erase what the other stream wrote before it.
    PartitionHandle* h = Partition_Open("BIOS");
    ASSERT_NE(h, nullptr);
    const std::vector<uint8_t> first = Pattern(kPage, 1), second = Pattern(kPage, 99);
    ASSERT_EQ(Partition_Write(h, first.data(), kPage), kPage);
    ASSERT_EQ(Partition_Write(h, second.data(), kPage), kPage);
    ASSERT_EQ(Partition_Close(h), 0);
    for (uint32_t copy : {bin.start, bin.backupOffset}) {
        EXPECT_EQ(flash.Range(copy, kPage), first);
        EXPECT_EQ(flash.Range(copy + kPage, kPage), second);
    }
    EXPECT_EQ(TableEntry(0).dataLength, 2 * kPage);

    // The data half is the limit of a backed-up partition.
    h = Partition_Open("BIOS");
    const std::vector<uint8_t> tooLong(385 * kPage, 0);
    EXPECT_EQ(Partition_Write(h, tooLong.data(), uint32_t(tooLong.size())), -1);
    EXPECT_TRUE(flash.Printed("page cnt more than the partition(backup) cnt"));
    Partition_Close(h);
}

TEST_F(PartitionTest, EighthEntryMakesATwoPageTableAndSixteenthIsRefused) {
    for (int i = 0; i < 7; ++i) Create(Request(("P" + std::to_string(i)).c_str(), 4));
    flash.writes.clear();
    Create(Request("P7", 4));
    // Table and its backup, two pages each.
    EXPECT_THAT(flash.writes,
                ElementsAre(NorFlash::WriteCall{kTablePage, 2}, NorFlash::WriteCall{kTablePage + kPagesPerBlock, 2}));
    EXPECT_EQ(TableEntry(7).name, "P7");  // straddles the page boundary
    EXPECT_EQ(flash.Range(size_t(kTablePage) * kPage, 2 * kPage),
              flash.Range(size_t(kTablePage + kPagesPerBlock) * kPage, 2 * kPage));
    PartitionHandle* p7 = Partition_Open("P7");  // found through the second page
    ASSERT_NE(p7, nullptr);
    EXPECT_EQ(p7->start, kFirstFree + 7 * kBlock);
    EXPECT_EQ(Partition_Close(p7), 0);

    for (int i = 8; i < 15; ++i) Create(Request(("P" + std::to_string(i)).c_str(), 4));
    EXPECT_EQ(TableCount(), 15u);
    const PartitionCreateInfo sixteenth = Request("P15", 4);
    EXPECT_EQ(Partition_Creat(&sixteenth), nullptr);
    EXPECT_TRUE(flash.Printed("part: file_num is more than the max(15)"));

    // The fifteenth partition can still take data: its entry is updated in place.
    WriteThrough("P14", Pattern(100, 3));
    EXPECT_EQ(TableEntry(14).dataLength, 100u);
    EXPECT_EQ(TableCount(), 15u);
}

TEST_F(PartitionTest, CreateRefusals) {
    Create(Request("A", 4));
    struct Case {
        PartitionCreateInfo request;
        const char* message;
    };
    PartitionCreateInfo tooLongName = Request("SEVENCH", 4);
    PartitionCreateInfo badType = Request("T", 4, 3);
    PartitionCreateInfo nand = Request("N", 4);
    nand.mediumFlags = kMediumTypeSpiNand;
    PartitionCreateInfo intoTable = Request("X", 4);
    intoTable.start = kTablePage * kPage;
    PartitionCreateInfo unaligned = Request("U", 4);
    unaligned.start = kFirstFree + 5 * kBlock + kPage;
    const Case cases[] = {
        {Request("A", 4), "part: Sflash_Creat fail"},
        {tooLongName, "the partition name len more than 6"},
        {badType, "part: Sflash_Creat type is error"},
        {Request("HUGE", 4096), "partition page is more than spiflash"},
        {nand, "partition_creat fail g_medium 0, medium_flag:0,  medium_type:1"},
        {intoTable, "is not a free block"},
        {unaligned, "is not a free block"},
    };
    for (const Case& c : cases) {
        flash.printed.clear();
        EXPECT_EQ(Partition_Creat(&c.request), nullptr) << c.message;
        EXPECT_TRUE(flash.Printed(c.message)) << c.message;
    }
    EXPECT_EQ(TableCount(), 1u);

    // One open partition at a time.
    PartitionHandle* open = Partition_Open("A");
    ASSERT_NE(open, nullptr);
    const PartitionCreateInfo other = Request("B", 4);
    EXPECT_EQ(Partition_Creat(&other), nullptr);
    EXPECT_EQ(Partition_Open("A"), nullptr);
    EXPECT_TRUE(flash.Printed("part: Sflash_Open the other partition name is openning"));
    EXPECT_EQ(Partition_Close(open), 0);
    EXPECT_NE(Partition_Creat(&other), nullptr);
}

TEST_F(PartitionTest, WritesWholePagesThenOnePaddedPage) {
    const PartitionEntry e = Create(Request("DATA", 64));
    flash.writes.clear();
    flash.erased.clear();
    const std::vector<uint8_t> data = WriteThrough("DATA", Pattern(1000, 5));
    const uint32_t startPage = e.start / kPage;
    ASSERT_GE(flash.writes.size(), 2u);
    EXPECT_EQ(flash.writes[0], (NorFlash::WriteCall{startPage, 3}));
    EXPECT_EQ(flash.writes[1], (NorFlash::WriteCall{startPage + 3, 1}));
    EXPECT_EQ(flash.Range(e.start, 1000), data);
    EXPECT_EQ(flash.Range(e.start + 1000, 4 * kPage - 1000), std::vector<uint8_t>(4 * kPage - 1000, 0xFF));
    EXPECT_EQ(flash.erased, (std::vector<uint32_t>{e.start / kBlock, kTablePage / kPagesPerBlock,
                                                   kTablePage / kPagesPerBlock + 1}));
    EXPECT_EQ(TableEntry(0).dataLength, 1000u);
}

TEST_F(PartitionTest, ConsecutiveWritesEraseEachBlockOnceAndKeepEarlierData) {
    const PartitionEntry e = Create(Request("LOG", 128));
    std::fill_n(flash.bytes.begin() + e.start, 2 * kBlock, 0x00);  // stale content
    PartitionHandle* h = Partition_Open("LOG");
    const std::vector<uint8_t> a = Pattern(kPage * (kPagesPerBlock - 1), 1), b = Pattern(2 * kPage, 2);
    flash.erased.clear();
    ASSERT_EQ(Partition_Write(h, a.data(), uint32_t(a.size())), int64_t(a.size()));
    ASSERT_EQ(Partition_Write(h, b.data(), uint32_t(b.size())), int64_t(b.size()));  // crosses into block 2
    EXPECT_EQ(flash.erased, (std::vector<uint32_t>{e.start / kBlock, e.start / kBlock + 1}));
    EXPECT_EQ(flash.Range(e.start, a.size()), a);
    EXPECT_EQ(flash.Range(e.start + a.size(), b.size()), b);

    // After a padded page nothing can follow: it would reprogram that page.
    const std::vector<uint8_t> tail = Pattern(10, 3);
    ASSERT_EQ(Partition_Write(h, tail.data(), 10), 10);
    EXPECT_EQ(Partition_Write(h, tail.data(), 10), -1);
    EXPECT_TRUE(flash.Printed("ended inside page"));
    EXPECT_EQ(Partition_Close(h), 0);
    EXPECT_EQ(TableEntry(0).dataLength, a.size() + b.size() + 10);
}

TEST_F(PartitionTest, WriteRefusalsAndFailuresKeepThePreviousTable) {
    const PartitionEntry e = Create(Request("SMALL", 64));
    const auto tableBefore = flash.Range(size_t(kTablePage) * kPage, kPage);
    // 256 whole pages fit; one more byte needs a padded page beyond the end.
    PartitionHandle* h = Partition_Open("SMALL");
    const std::vector<uint8_t> overflow(kBlock + 1, 0x11);
    EXPECT_EQ(Partition_Write(h, overflow.data(), uint32_t(overflow.size())), -1);
    EXPECT_TRUE(flash.Printed("page cnt more than the partition page, 257, 256"));
    EXPECT_TRUE(flash.Printed("part: Sflash_Write fail"));
    Partition_Close(h);
    h = Partition_Open("SMALL");
    const std::vector<uint8_t> full(kBlock - kPage, 0x22), more(2 * kPage, 0x33);
    ASSERT_EQ(Partition_Write(h, full.data(), uint32_t(full.size())), int64_t(full.size()));
    EXPECT_EQ(Partition_Write(h, more.data(), uint32_t(more.size())), -1);
    EXPECT_TRUE(flash.Printed("start page more than the partition page cnt"));
    Partition_Close(h);

    flash.failEraseBlock = e.start / kBlock;
    h = Partition_Open("SMALL");
    EXPECT_EQ(Partition_Write(h, more.data(), uint32_t(more.size())), -1);
    EXPECT_TRUE(flash.Printed("erase fail at block:"));
    Partition_Close(h);
    flash.failEraseBlock = 0xFFFFFFFF;

    flash.corruptReadPage = e.start / kPage;
    h = Partition_Open("SMALL");
    EXPECT_EQ(Partition_Write(h, more.data(), uint32_t(more.size())), -1);
    EXPECT_TRUE(flash.Printed("compare fail, compare_size:256"));
    EXPECT_THAT(flash.printed, Contains(HasSubstr("i:5,S:33_D:32")));
    Partition_Close(h);
    EXPECT_NE(flash.Range(size_t(kTablePage) * kPage, kPage), tableBefore);  // the full write was recorded
    EXPECT_EQ(TableEntry(0).dataLength, kBlock - kPage);
}

TEST_F(PartitionTest, CloseRewritesTheTablesOnlyWhenTheLengthChanged) {
    Create(Request("ENV", 4));
    WriteThrough("ENV", Pattern(591, 9));

    flash.writes.clear();
    EXPECT_EQ(Partition_Close(Partition_Open("ENV")), 0);  // opened, nothing written
    EXPECT_TRUE(flash.writes.empty());

    WriteThrough("ENV", Pattern(591, 10));  // same length: only the data pages
    EXPECT_EQ(flash.writes.size(), 2u);
    EXPECT_TRUE(flash.Printed("partition_close:data len is equal, no update p_table"));

    flash.writes.clear();
    WriteThrough("ENV", Pattern(20, 11));
    EXPECT_THAT(flash.writes, Contains(NorFlash::WriteCall{kTablePage, 1}));
    EXPECT_EQ(TableEntry(0).dataLength, 20u);
    EXPECT_EQ(flash.Range(size_t(kTablePage) * kPage, kPage),
              flash.Range(size_t(kTablePage + kPagesPerBlock) * kPage, kPage));
}

TEST(PartitionEntryTest, LayoutOfBothExtensions) {
    PartitionEntry bin;
    bin.type = kPartitionBin;
    bin.readWrite = 1;
    bin.hidden = 1;
    bin.name = "KERNEL";
    bin.sizeKiB = 2048;
    bin.start = 0x40000;
    bin.dataLength = 0x1234;
    bin.loadAddress = 0x80008000;
    bin.backupOffset = 0x140000;
    bin.verify = 1;
    bin.index = 3;
    bin.mediumFlags = kMediumFlagBit;
    uint8_t raw[32];
    EncodePartitionEntry(bin, raw);
    const std::vector<uint8_t> bytes(raw, raw + 32);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[1], 0x11);
    EXPECT_EQ(std::string(raw + 2, raw + 8), "KERNEL");
    EXPECT_EQ(Le32(bytes, 8), 2048u);
    EXPECT_EQ(Le32(bytes, 12), 0x40000u);
    EXPECT_EQ(Le32(bytes, 16), 0x1234u);
    EXPECT_EQ(Le32(bytes, 20), 0x80008000u);
    EXPECT_EQ(Le32(bytes, 24), 0x140000u);
    EXPECT_THAT(std::vector<uint8_t>(raw + 28, raw + 32), ElementsAre(1, 3, 1, 0));
    const PartitionEntry binBack = DecodePartitionEntry(bytes.data());
    EXPECT_EQ(binBack.name, "KERNEL");  // six characters fill the field without a terminator
    EXPECT_EQ(binBack.readWrite, 1);
    EXPECT_EQ(binBack.hidden, 1);
    EXPECT_EQ(binBack.loadAddress, 0x80008000u);
    EXPECT_EQ(binBack.backupOffset, 0x140000u);
    EXPECT_EQ(binBack.mediumFlags, kMediumFlagBit);

    PartitionEntry fs;
    fs.type = kPartitionFs;
    fs.name = "A";
    fs.dataLength = 7;
    fs.verify = 1;
    fs.index = 4;
    fs.fsType = 2;
    fs.mediumFlags = 1;
    EncodePartitionEntry(fs, raw);
    EXPECT_THAT(std::vector<uint8_t>(raw + 16, raw + 32), ElementsAre(7, 0, 0, 0, 1, 4, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0));
    const PartitionEntry back = DecodePartitionEntry(raw);
    EXPECT_EQ(back.name, "A");
    EXPECT_EQ(back.fsType, 2);
    EXPECT_EQ(back.index, 4);
}

}  // namespace
}  // namespace kestrow::image
