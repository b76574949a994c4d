// A board's own copy of a whole-flash image: its data partitions carry the
// board's addresses where the image's table puts them, the table records
// their new lengths, and the image file stays as it was.
#include "kestrow/image/board_image.h"

#include "kestrow/image/spi_image.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace kestrow::image {
namespace {

constexpr uint32_t kFlash = 2 * 1024 * 1024;

class NullReporter : public SpiImageReporter {
public:
    void ShowMessage(const std::string& text, Kind kind) override {
        if (kind != Kind::Done) message = text;
    }
    void Diagnostic(const std::string&) override {}
    std::string message;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class BoardImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        config::SpiNorInfo nor{};
        nor.chip_id = 0xEF4015;
        nor.total_size = kFlash;
        nor.page_size = 256;
        nor.program_size = 256;
        nor.erase_size = 65536;
        nor.clock = 20'000'000;
        std::strncpy(nor.part_number, "SMALL", sizeof nor.part_number - 1);
        cfg.spinor_list = {nor};
        std::string boot(20000, '\x5A');
        std::memcpy(boot.data() + 200, "SPIP", 4);
        folder.Write("boot.bin", boot);
        cfg.path_nandboot = folder.Path("boot.bin");
        cfg.platform_type = 1;
        cfg.chip_type = 3;
        cfg.mac_current_high = "00:00:00";
        cfg.mac_current_low = "00:00:01";
        cfg.partitions = {{"MAC", 64, config::kPartitionData, 1, 0, config::kMediumSpiNor},
                          {"SEQ", 64, config::kPartitionData, 1, 0, config::kMediumSpiNor},
                          {"ENV", 64, config::kPartitionData, 1, 0, config::kMediumSpiNor},
                          {"BTADDR", 64, config::kPartitionData, 1, 1, config::kMediumSpiNor}};
        NullReporter reporter;
        ASSERT_TRUE(MakeSpiImage(cfg, "SMALL", folder.Path("image.bin"), reporter)) << reporter.message;
        image = ReadAll(folder.Path("image.bin"));
    }

    // Partition `name` of the image's table in `bytes`.
    PartitionEntry Entry(const std::string& bytes, const std::string& name) {
        SpiImageLayout layout;
        std::string error;
        std::ofstream(folder.Path("look.bin"), std::ios::binary) << bytes;
        EXPECT_TRUE(ReadSpiImageLayout(folder.Path("look.bin"), layout, error)) << error;
        for (const PartitionEntry& e : layout.table.entries)
            if (e.name == name) return e;
        ADD_FAILURE() << "no partition " << name;
        return {};
    }
    // Partition `name`'s record in `bytes`; the table holds its length.
    std::string Text(const std::string& bytes, const std::string& name) {
        const PartitionEntry e = Entry(bytes, name);
        uint32_t length = 0;
        std::memcpy(&length, bytes.data() + e.start, 4);
        EXPECT_EQ(e.dataLength, length + 4) << name << ": the table's length";
        return bytes.substr(e.start + 4, length);
    }

    config::testing::TempFolder folder;
    config::BurnConfig cfg;
    std::string image;
};

TEST_F(BoardImageTest, DataPartitionsCarryTheBoardsTextsAndTheImageStays) {
    EXPECT_TRUE(FindDataPartitions(folder.Path("image.bin")).Any());
    std::string error;
    auto copy = BoardImage::Make(folder.Path("image.bin"), {"00:11:22:AA:00:07", "SN-000042", "44A6E6000001"},
                                 folder.Dir(), error);
    ASSERT_TRUE(copy) << error;
    const std::string board = ReadAll(copy->Path());
    ASSERT_EQ(board.size(), image.size());
    EXPECT_EQ(Text(board, "MAC"), "00:11:22:AA:00:07");
    EXPECT_EQ(Text(board, "SEQ"), "SN-000042");
    EXPECT_EQ(Text(board, "BTADDR"), "44A6E6000001");
    EXPECT_EQ(Text(board, "ENV"), Text(image, "ENV"));  // the others as they were
    EXPECT_EQ(ReadAll(folder.Path("image.bin")), image);
    // The copy is in no folder: nothing is left behind once it goes.
    for (const auto& entry : std::filesystem::directory_iterator(folder.Dir()))
        EXPECT_EQ(entry.path().filename().string().rfind(".board-image", 0), std::string::npos) << entry.path();
}

TEST_F(BoardImageTest, AnEmptyTextLeavesItsPartitionAsTheImageHasIt) {
    std::string error;
    auto copy = BoardImage::Make(folder.Path("image.bin"), {"00:11:22:AA:00:07", "", ""}, folder.Dir(), error);
    ASSERT_TRUE(copy) << error;
    const std::string board = ReadAll(copy->Path());
    EXPECT_EQ(Text(board, "MAC"), "00:11:22:AA:00:07");
    const PartitionEntry seq = Entry(image, "SEQ");
    EXPECT_EQ(board.substr(seq.start, seq.sizeKiB * 1024), image.substr(seq.start, seq.sizeKiB * 1024));
    EXPECT_EQ(Entry(board, "SEQ").dataLength, seq.dataLength);
}

TEST_F(BoardImageTest, RefusalsSayWhy) {
    std::string error;
    EXPECT_FALSE(BoardImage::Make(folder.Path("image.bin"), {"", std::string(253, 'S'), ""}, folder.Dir(), error));
    EXPECT_NE(error.find("SEQ: the text is 253 bytes, more than 252"), std::string::npos) << error;
    EXPECT_FALSE(BoardImage::Make(folder.Path("image.bin"), {"00:11:22:AA:00:07", "", ""}, folder.Path("none"), error));
    EXPECT_NE(error.find("cannot make the board's copy of the image in"), std::string::npos) << error;
    // A raw dump without this station's flash record has no data partitions.
    folder.Write("raw.bin", std::string(kFlash, '\x11'));
    EXPECT_FALSE(FindDataPartitions(folder.Path("raw.bin")).Any());
}

}  // namespace
}  // namespace kestrow::image
