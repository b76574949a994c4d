#include "kestrow/fat/medium.h"

#include <gtest/gtest.h>

#include <numeric>

namespace kestrow::fat {
namespace {

// Storage in memory that records every write the medium passes down.
struct RecordingStorage {
    explicit RecordingStorage(std::size_t sectors, std::uint32_t sectorSize)
        : bytes(sectors * sectorSize), sectorSize(sectorSize) {}
    SectorCallbacks Callbacks() {
        return {[this](std::uint64_t first, std::uint32_t count, std::uint8_t* out) {
                    std::copy_n(bytes.begin() + first * sectorSize, count * sectorSize, out);
                    return true;
                },
                [this](std::uint64_t first, std::uint32_t count, const std::uint8_t* in) {
                    writes.emplace_back(first, count);
                    std::copy_n(in, count * sectorSize, bytes.begin() + first * sectorSize);
                    return true;
                }};
    }
    std::vector<std::uint8_t> bytes;
    std::uint32_t sectorSize;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> writes;
};

// Flash pages can only be programmed whole: scattered sector writes must reach
// the storage as page-aligned runs of whole pages, and read back unchanged.
TEST(NandMedium, ProgramsOnlyWholePagesAndReadsBackWhatWasWritten) {
    RecordingStorage storage(64, 512);  // 16 pages of 2048 bytes
    MediumDescription d;
    d.kind = MediumDescription::Kind::NandFlash;
    d.sectorShift = 9;
    d.pageShift = 11;
    d.sectorCount = 64;
    d.io = storage.Callbacks();
    std::string error;
    auto medium = CreateMedium(d, error);
    ASSERT_TRUE(medium) << error;
    EXPECT_EQ(medium->SectorSize(), 512u);
    EXPECT_EQ(medium->SectorCount(), 64u);

    std::vector<std::uint8_t> data(64 * 512);
    std::iota(data.begin(), data.end(), 0);
    struct Piece { std::uint64_t first; std::uint32_t count; } pieces[] = {{1, 2}, {3, 9}, {0, 1}, {20, 1}, {13, 3}, {24, 40}, {12, 1}, {16, 4}, {21, 3}};
    for (const Piece& p : pieces) ASSERT_TRUE(medium->Write(p.first, p.count, data.data() + p.first * 512));
    std::vector<std::uint8_t> back(64 * 512);
    ASSERT_TRUE(medium->Read(0, 64, back.data()));  // reads see data still held back
    EXPECT_EQ(back, data);
    ASSERT_TRUE(medium->Flush());
    EXPECT_EQ(storage.bytes, data);
    for (auto [first, count] : storage.writes) {
        EXPECT_EQ(first % 4, 0u);
        EXPECT_EQ(count % 4, 0u);
    }
    EXPECT_FALSE(medium->Write(63, 2, data.data()));
}

TEST(Medium, RefusesUnusableDescriptions) {
    RecordingStorage storage(8, 512);
    struct Case { MediumDescription::Kind kind; std::uint32_t sectorSize, sectorShift, pageShift; bool callbacks; } cases[] = {
        {MediumDescription::Kind::PlainDisk, 500, 9, 11, true},
        {MediumDescription::Kind::PlainDisk, 256, 9, 11, true},
        {MediumDescription::Kind::PlainDisk, 512, 9, 11, false},
        {MediumDescription::Kind::NandFlash, 512, 12, 11, true},  // page smaller than sector
        {MediumDescription::Kind::NandFlash, 512, 8, 11, true},
    };
    for (const Case& c : cases) {
        MediumDescription d;
        d.kind = c.kind;
        d.sectorSize = c.sectorSize;
        d.sectorShift = c.sectorShift;
        d.pageShift = c.pageShift;
        d.sectorCount = 8;
        if (c.callbacks) d.io = storage.Callbacks();
        std::string error;
        EXPECT_FALSE(CreateMedium(d, error));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace kestrow::fat
