#include "engine_fakes.h"
#include "kestrow/engine/progress.h"

namespace kestrow::engine {
namespace {

TEST(ProgressPercent, FollowsTheChipTypeRuleAndNeverPassesOneHundred) {
    struct Case {
        std::uint64_t bytes, total;
        int chip_type;
        bool update;
        int percent;
    } cases[] = {
        {0, 1000, 8, false, 0},     {999, 1000, 8, false, 99},  {1000, 1000, 8, false, 100},
        {5000, 1000, 8, false, 100},  // above the total
        {500, 1000, 0, false, 10},  {500, 1000, 4, false, 10},  {500, 1000, 4, true, 50},
        {500, 1000, 11, true, 50},  {7, 0, 8, false, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProgressPercent(c.bytes, c.total, c.chip_type, c.update), c.percent)
            << c.bytes << "/" << c.total << " chip " << c.chip_type;
}

class TransferTotalTest : public testing::StationFolderFixture {
protected:
    void SetUp() override {
        config_.path_producer = "producer.bin";
        config_.path_nandboot = "boot.bin";
        config_.path_ram = "ram.bin";
        std::string producer(100, '\0');
        producer.replace(32, 4, "BURN");
        producer.replace(36, 4, std::string("\x01\x00\x00\x00", 4));
        WriteFile("producer.bin", producer);
        WriteFile("boot.bin", std::string(1000, 'b'));
        WriteFile("ram.bin", std::string(30, 'r'));
    }
    config::BurnConfig config_;
};

TEST_F(TransferTotalTest, CountsTheFilesTheBurnSends) {
    struct Case {
        int chip_mode, chip_type;
        std::optional<std::uint64_t> total;
    } cases[] = {{1, 8, 1100}, {3, 8, 100}, {5, 11, 1130}, {4, 8, std::nullopt}};
    for (const Case& c : cases) {
        config_.chip_mode = c.chip_mode;
        config_.chip_type = c.chip_type;
        EXPECT_EQ(ComputeTransferTotal(config_).bytes, c.total) << c.chip_mode << "/" << c.chip_type;
    }
}

TEST_F(TransferTotalTest, ReadsTheProducerVersionBlockOrClearsIt) {
    config_.chip_mode = 1;
    ComputeTransferTotal(config_);
    EXPECT_EQ(config_.producer_version[0], 1u);
    WriteFile("producer.bin", std::string(100, 'p'));
    ComputeTransferTotal(config_);
    EXPECT_EQ(config_.producer_version[0], 0u);
}

TEST_F(TransferTotalTest, NamesTheMissingFile) {
    config_.chip_mode = 1;
    config_.path_nandboot = "gone.bin";
    TransferTotal total = ComputeTransferTotal(config_);
    EXPECT_FALSE(total.bytes);
    EXPECT_EQ(total.missing_file, Path("gone.bin"));
}

}  // namespace
}  // namespace kestrow::engine
