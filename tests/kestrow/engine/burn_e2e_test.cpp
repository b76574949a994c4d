// Burns over the transfer library against virtual boards on pseudo-terminals.
#include "station_harness.h"

#include <cstring>

namespace kestrow::engine::testing {
namespace {

using Statuses = std::vector<unsigned>;

std::uint32_t Word(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    std::uint32_t v = 0;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

const vboard::ReceivedCommand* FindCommand(const std::vector<vboard::ReceivedCommand>& commands, unsigned code) {
    for (const auto& c : commands)
        if (c.code == code) return &c;
    return nullptr;
}

class BurnE2eTest : public StationE2eTest {};

TEST_F(BurnE2eTest, SpiNorBootLoaderLandsInTheFlashBehindItsHeader) {
    vboard::VirtualBoard board(NorBoard());
    ChannelOutcome outcome = BurnOneBoard(board);
    ASSERT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.statuses, (Statuses{0, 2, 7, 63, 21, 90, 43, 77, 30}));
    std::vector<std::uint8_t> file = Bytes(ReadFile("boot.bin"));
    std::vector<std::uint8_t> flash = board.Flash();
    ASSERT_GE(flash.size(), file.size());
    // The first 512 bytes are the boot header the library rewrites; the rest is the file.
    EXPECT_TRUE(std::equal(file.begin() + 512, file.end(), flash.begin() + 512));
    EXPECT_EQ(Word(flash, 12), 2 * kE2eErase);  // the reserved length: the file rounded up to erase units
    EXPECT_EQ(engine_.LastFlashId(1), kE2eNorId);
    EXPECT_EQ(board.GarbledBytes(), 0u);
    std::string log = ChannelLogText(1);
    EXPECT_NE(log.find("++Burn success++"), std::string::npos) << log;
    EXPECT_EQ(state_.Rows()[0].percent, 100);
    EXPECT_EQ(window_.end_of_runs, 1);
}

TEST_F(BurnE2eTest, WholeFlashImageIsWrittenUnchanged) {
    vboard::BoardOptions options = NorBoard();
    options.flashSize = 256 * 1024;
    config_.spinor_list[0].total_size = options.flashSize;
    WriteFile("boot.bin", RandomBytes(options.flashSize, 5));
    vboard::VirtualBoard board(options);
    ChannelOutcome outcome = BurnOneBoard(board);
    ASSERT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.statuses, (Statuses{0, 2, 7, 63, 21, 90, 43, 141, 30}));
    EXPECT_EQ(board.Flash(), Bytes(ReadFile("boot.bin")));
}

TEST_F(BurnE2eTest, SpiNandBurnSendsParametersBootAreaAndSecurityArea) {
    config_.chip_mode = 5;
    vboard::VirtualBoard board(NandBoard());
    ChannelOutcome outcome = BurnOneBoard(board);
    ASSERT_TRUE(outcome.passed);
    EXPECT_EQ(outcome.statuses, (Statuses{0, 2, 7, 63, 21, 90, 43, 95, 97, 77, 30}));
    auto commands = board.ProducerCommands();
    const auto* nand = FindCommand(commands, 5);
    ASSERT_NE(nand, nullptr);
    ASSERT_EQ(nand->data.size(), 36u);
    EXPECT_EQ(std::memcmp(nand->data.data(), &config_.spinand_list[0], 36), 0);
    const auto* ex = FindCommand(commands, 57);
    ASSERT_NE(ex, nullptr);
    EXPECT_EQ(ex->param1, NandBootBlocks(70000, 2048, 64));
    ASSERT_NE(FindCommand(commands, 7), nullptr);
    EXPECT_EQ(engine_.LastFlashId(1), kE2eNandId);
    std::vector<std::uint8_t> file = Bytes(ReadFile("boot.bin"));
    std::vector<std::uint8_t> flash = board.Flash();
    ASSERT_GE(flash.size(), file.size());
    EXPECT_TRUE(std::equal(file.begin() + 2048, file.end(), flash.begin() + 2048));
}

TEST_F(BurnE2eTest, FirstDownloadFollowsBootModeAndChipType) {
    struct Case {
        int boot_mode_flag;
        unsigned chip_type;
        bool secure_board;
        Statuses first;
    } cases[] = {
        {2, 8, true, {0, 2, 159, 63}},  // signature data, no RAM parameters
        {0, 11, false, {0, 2, 63, 21}},  // RAM image at attach, nothing before the producer
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("boot mode " + std::to_string(c.boot_mode_flag) + ", chip type " + std::to_string(c.chip_type));
        config_.boot_mode_flag = c.boot_mode_flag;
        config_.chip_type = static_cast<int>(c.chip_type);
        vboard::BoardOptions options = NorBoard();
        options.chipType = c.chip_type;
        options.secure = c.secure_board;
        vboard::VirtualBoard board(options);
        ChannelOutcome outcome = BurnOneBoard(board);
        EXPECT_TRUE(outcome.passed);
        ASSERT_GE(outcome.statuses.size(), 4u);
        EXPECT_EQ(Statuses(outcome.statuses.begin(), outcome.statuses.begin() + 4), c.first);
        std::size_t uploads = 0;
        for (const vboard::Upload& u : board.Uploads()) uploads += u.valid;
        EXPECT_GE(uploads, 2u);  // the first download and the producer
        EXPECT_TRUE(board.RamPairs().empty());
    }
}

// 921600: the boot ROM runs at its selector rate 1000000, the producer at
// 921600, and the port switch after the producer brings the host there.
TEST_F(BurnE2eTest, WorkingBaudRateIsReachedWithOrWithoutASwitch) {
    for (unsigned baud : {115200u, 921600u}) {
        SCOPED_TRACE(baud);
        config_.uart_baud = static_cast<int>(baud);
        vboard::VirtualBoard board(NorBoard());
        ChannelOutcome outcome = BurnOneBoard(board);
        EXPECT_TRUE(outcome.passed);
        EXPECT_EQ(board.Baud(), baud);  // the burn passing shows both ends talked at that rate
    }
}

TEST_F(BurnE2eTest, BoardFaultsEndTheBurnWithTheirStatusAndLogLine) {
    struct Case {
        const char* fault;
        int chip_mode;
        unsigned status;
        const char* log_line;
    } cases[] = {
        {"fail-code=2", 1, 22, "->connetion fail!"},
        {"fail-code=104", 1, 62, "->Set Burned Param fail"},
        {"fail-code=3", 1, 91, "->set mode fail!"},
        {"fail-code=4", 1, 44, "burn_spiflash fail."},
        {"fail-code=49", 1, 49, "burn_spiflash fail."},
        {"fail-code=34", 1, 126, "burn_spiflash fail."},
        {"fail-code=57", 5, 157, "Burn_GetFlashIDAndSetNandParam fail."},
        {"fail-code=5", 5, 96, "->set nand para fail"},
        {"fail-code=7", 5, 98, "KW_InitSecArea fail!"},
        {"drop-ack=3", 1, 78, "burn_spiflash fail."},
        {"disconnect=2000", 1, 64, "download producer fail."},
        {"disconnect=20000", 1, 78, "burn_spiflash fail."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        std::filesystem::remove(Path(ChannelLogName(1, FixedNow())));
        config_.chip_mode = c.chip_mode;
        vboard::BoardOptions options = c.chip_mode == 5 ? NandBoard() : NorBoard();
        ASSERT_TRUE(vboard::ApplyFault(c.fault, options));
        vboard::VirtualBoard board(options);
        ChannelOutcome outcome = BurnOneBoard(board);
        ASSERT_TRUE(outcome.done);
        EXPECT_FALSE(outcome.passed);
        int failures = 0;
        for (unsigned code : outcome.statuses) failures += FindStatus(code)->kind == StatusKind::Failure;
        EXPECT_EQ(failures, 1);
        EXPECT_EQ(outcome.statuses.back(), c.status);
        std::string log = ChannelLogText(1);
        EXPECT_NE(log.find(c.log_line), std::string::npos) << log;
        EXPECT_EQ(state_.WorkNumber(), 0);
        EXPECT_FALSE(state_.AutoStart());  // the watcher is free to take the next board
    }
}

TEST_F(BurnE2eTest, UnknownFlashIdFailsWithTheMediumsStatus) {
    struct Case {
        int chip_mode;
        unsigned status;
    } cases[] = {{1, 49}, {5, 96}};
    for (const Case& c : cases) {
        config_.chip_mode = c.chip_mode;
        vboard::BoardOptions options = c.chip_mode == 5 ? NandBoard() : NorBoard();
        options.flashId = 0x123456;
        vboard::VirtualBoard board(options);
        ChannelOutcome outcome = BurnOneBoard(board);
        EXPECT_FALSE(outcome.passed);
        EXPECT_EQ(outcome.statuses.back(), c.status);
    }
}

TEST_F(BurnE2eTest, TwoChannelsStartedTogether) {
    struct Case {
        const char* second_fault;
        bool second_passes;
    } cases[] = {{nullptr, true}, {"fail-code=2", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.second_fault ? c.second_fault : "both pass");
        for (unsigned ch : {1u, 2u}) std::filesystem::remove(Path(ChannelLogName(ch, FixedNow())));
        vboard::BoardOptions second = NorBoard();
        if (c.second_fault) {
            ASSERT_TRUE(vboard::ApplyFault(c.second_fault, second));
        }
        vboard::VirtualBoard one(NorBoard()), two(second);
        StartStation();
        int runsBefore = window_.end_of_runs;
        ASSERT_TRUE(AttachBoard(one.PortPath(), 0));
        ASSERT_TRUE(AttachBoard(two.PortPath(), 1));
        EXPECT_EQ(state_.Start(), 2u);
        auto outcome = Pump(2, false);
        EXPECT_TRUE(outcome[1].passed);
        EXPECT_EQ(outcome[2].passed, c.second_passes);
        EXPECT_EQ(window_.end_of_runs - runsBefore, 1);
        EXPECT_EQ(state_.WorkNumber(), 0);
        std::string logs = ChannelLogText(1) + ChannelLogText(2);
        EXPECT_NE(logs.find("]work number = 1"), std::string::npos);
        EXPECT_NE(logs.find("]work number = 2"), std::string::npos);
        EXPECT_NE(logs.find("end work number = 0"), std::string::npos);
        EXPECT_EQ(logs.find("end work number = 1") != std::string::npos, c.second_passes);
    }
}

}  // namespace
}  // namespace kestrow::engine::testing
