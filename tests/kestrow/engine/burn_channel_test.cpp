#include "engine_fakes.h"
#include "spi_nor_station.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/burn_engine.h"
#include "kestrow/engine/status_codes.h"

#include <future>
#include <latch>
#include <set>
#include <thread>

namespace kestrow::engine {
namespace {

using testing::FakeLink;
using testing::LinkCall;
using testing::RecordingWindow;

constexpr std::uint32_t kNorId = 0xEF4018;
constexpr std::uint32_t kNorSize = 1048576;
constexpr std::uint32_t kNorErase = 65536;
constexpr std::uint32_t kNandId = 0xC8D1;
constexpr std::size_t kBootBytes = 100000;
const std::string kPort = "/dev/pts/99";
const std::string kSecondPort = "/dev/pts/98";

// A link, window, station state and engine of their own around the fixture's
// configuration, for cases that burn once per row of a table.
struct FreshStation {
    FreshStation(config::BurnConfig& config, config::LanguageTable& language)
        : state(config, language, link, window), engine(config, link, state, window) {
        state.SetPorts({kPort, kSecondPort});
    }
    FakeLink link;
    RecordingWindow window;
    StationState state;
    BurnEngine engine;
};

class BurnChannelTest : public testing::StationFolderFixture {
protected:
    BurnChannelTest() : language_(dir_.string()) {
        language_.SetLanguage("");
        testing::UseSpiNorStation(config_, 2, kNorId, kNorSize, kNorErase);
        state_.SetPorts({kPort, kSecondPort});
        config_.boot_mode_flag = 0;
        config_.burned_mode = 1;
        config_.path_1k_data = "sign.bin";
        config::SpiNandInfo nand{};
        nand.chip_id = kNandId;
        nand.page_size = 2048;
        nand.pages_per_block = 64;
        nand.spare_size = 64;
        nand.command_length = 4;
        nand.clock = 50000000;
        config_.spinand_list = {nand};
        config_.active_ram_tables = {{{0x08000000, 0x11}, {0x08000004, 0x22}}};
        config_.clock_index = 0;
        WriteFile("producer.bin", std::string(4000, 'p'));
        WriteFile("boot.bin", std::string(kBootBytes, 'b'));
        WriteFile("sign.bin", std::string(1024, 's'));
        state_.RefreshRows(config_.device_channel);
    }

    int Burn(unsigned channel = 1) { return engine_.BurnChannel(channel); }
    // Hands what the burn posted to the station state, as the window thread does.
    void Pump() {
        for (const StationEvent& e : window_.TakePosts())
            if (e.kind == EventKind::Status) state_.OnEvent(e);
    }
    std::vector<std::string> WithoutSetup(std::vector<std::string> names) {
        names.erase(names.begin());  // SetCorvelParam
        return names;
    }

    config::BurnConfig config_;
    config::LanguageTable language_;
    FakeLink link_;
    RecordingWindow window_;
    StationState state_{config_, language_, link_, window_};
    BurnEngine engine_{config_, link_, state_, window_};
};

TEST_F(BurnChannelTest, SpiNorBootLoaderRunsEveryStepInOrder) {
    ASSERT_EQ(Burn(), 1);
    EXPECT_EQ(window_.Statuses(1), (std::vector<unsigned>{2, 7, 63, 21, 90, 43, 77, 30}));
    // The burn ends by letting go of its port, for the port's next board.
    EXPECT_EQ(link_.Names(), (std::vector<std::string>{"SetCorvelParam", "SetRamParam", "DownloadProducer",
                                                       "TestConnection", "SetBurnedParam", "SetMode", "GetFlashId",
                                                       "SetSpiParam", "DownloadBoot", "CloseProducer", "DetachUart"}));
    EXPECT_EQ(link_.CallsNamed("DetachUart")[0].text, kPort);
    LinkCall corvel = link_.CallsNamed("SetCorvelParam")[0];
    EXPECT_EQ(corvel.values, (std::vector<unsigned>{static_cast<unsigned>(config_.event_time),
                                                    static_cast<unsigned>(config_.platform_type), 8}));
    EXPECT_EQ(link_.CallsNamed("SetRamParam")[0].regs.size(), 2u);
    LinkCall producer = link_.CallsNamed("DownloadProducer")[0];
    EXPECT_EQ(producer.text, Path("producer.bin"));
    EXPECT_EQ(producer.values[0], 0x80000000u);
    EXPECT_EQ(link_.CallsNamed("GetFlashId")[0].values, (std::vector<unsigned>{254, 254}));
    LinkCall mode = link_.CallsNamed("SetMode")[0];
    EXPECT_EQ(mode.mode.medium, 1);
    EXPECT_EQ(mode.mode.burn_mode, 1);
    LinkCall boot = link_.CallsNamed("DownloadBoot")[0];
    EXPECT_EQ(boot.bin.path, Path("boot.bin"));
    EXPECT_EQ(std::string(boot.bin.name.data(), 8), std::string("UBOOT\0\0\0", 8));
    EXPECT_EQ(boot.bin.length, 2 * kNorErase);  // 100000 rounded up to whole erase units
    EXPECT_EQ(boot.values[0], 8u);
    EXPECT_EQ(engine_.LastFlashId(1), kNorId);

    EXPECT_EQ(state_.WorkNumber(), 0);
    EXPECT_EQ(window_.end_of_runs, 1);
    EXPECT_EQ(window_.BarChanges(), (std::vector<bool>{false, true}));
    EXPECT_EQ(state_.TimerChannel(1), 0u);

    std::string log = ChannelLogText(1);
    for (const char* line :
         {"=============Burn Information For Channel[1]=============\nPrint Time: 2026-3-14 09:26:53\n\n"
          "ss g_udisk_burnnum: 0\n[09:26:53]work number = 1\n[09:26:53]burn_mode = 1, eMedium = 1\n",
          "[09:26:53]++SetRamParam++\r\nram_count = 2\nram[00]: addr=08000000, value=00000011\n"
          "ram[01]: addr=08000004, value=00000022\n",
          "[09:26:53]++Start download producer++\r\nproducer path: producer.bin, addr=80000000\n",
          "[09:26:53]++test connetion++\r\n", "[09:26:53]++Set Burned Param++\r\nmode: 1\n",
          "[09:26:53]++set mode++\r\nburn_mode = 1, eMedium = 1\n",
          "[09:26:53]end work number = 0\n[09:26:53]++Burn success++\r\n[09:26:53]close file\r\n\r\n\r\n\r\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n--- log:\n" << log;
}

TEST_F(BurnChannelTest, BurnFileAsLargeAsTheChipIsWrittenAsAWholeFlashImage) {
    WriteFile("boot.bin", std::string(kNorSize, 'i'));
    ASSERT_EQ(Burn(), 1);
    EXPECT_EQ(window_.Statuses(1), (std::vector<unsigned>{2, 7, 63, 21, 90, 43, 141, 30}));
    LinkCall image = link_.CallsNamed("DownloadSpiImage")[0];
    EXPECT_EQ(std::string(image.bin.name.data(), 8), "spiflash");
    EXPECT_EQ(image.bin.length, kNorSize);
    EXPECT_TRUE(link_.CallsNamed("DownloadBoot").empty());
    EXPECT_EQ(link_.Names(1).back(), "CloseProducer");
}

TEST_F(BurnChannelTest, BurnFileOneByteSmallerThanTheChipIsABootLoader) {
    WriteFile("boot.bin", std::string(kNorSize - 1, 'i'));
    ASSERT_EQ(Burn(), 1);
    EXPECT_EQ(link_.CallsNamed("DownloadBoot")[0].bin.length, kNorSize);
    EXPECT_TRUE(link_.CallsNamed("DownloadSpiImage").empty());
}

TEST_F(BurnChannelTest, NorIdMatchesOnItsLow24Bits) {
    link_.flash_id = 0x55000000 | kNorId;
    ASSERT_EQ(Burn(), 1);
    EXPECT_EQ(link_.CallsNamed("SetSpiParam")[0].nor.chip_id, kNorId);
}

TEST_F(BurnChannelTest, SpiNandBurnSendsParametersBootAreaAndSecurityArea) {
    config_.chip_mode = 5;
    link_.flash_id = kNandId;
    ASSERT_EQ(Burn(), 1);
    EXPECT_EQ(window_.Statuses(1), (std::vector<unsigned>{2, 7, 63, 21, 90, 43, 95, 97, 77, 30}));
    EXPECT_EQ(WithoutSetup(link_.Names()),
              (std::vector<std::string>{"SetRamParam", "DownloadProducer", "TestConnection", "SetBurnedParam",
                                        "SetMode", "GetFlashId", "SetExParameter", "SetNandParam", "InitSecArea",
                                        "DownloadBoot", "CloseProducer", "DetachUart"}));
    EXPECT_EQ(link_.CallsNamed("SetMode")[0].mode.medium, 5);
    // 100000 bytes on 2048-byte pages: 49 pages and 5 reserved, one block of 64 pages.
    EXPECT_EQ(link_.CallsNamed("SetExParameter")[0].values[0], 1u);
    config::SpiNandInfo sent = link_.CallsNamed("SetNandParam")[0].nand;
    EXPECT_EQ(sent.chip_id, kNandId);
    EXPECT_EQ(sent.clock, 50000000u);
    EXPECT_EQ(sent.command_length, 4u);
    EXPECT_EQ(link_.CallsNamed("InitSecArea")[0].values[0], 0u);
    EXPECT_EQ(link_.CallsNamed("DownloadBoot")[0].bin.length, 131072u);
    std::string log = ChannelLogText(1);
    EXPECT_NE(log.find("++KW_GetFlashID++\r\nFlashID = 0xc8d1, chip count = 1\n"), std::string::npos) << log;
    EXPECT_NE(log.find("page_size = 2048, spare size = 64, data_len = 0x2faf080, cmd_len = 4\n"), std::string::npos);
    EXPECT_NE(log.find("++init security area++\r\n"), std::string::npos);
}

TEST(NandBootBlocks, ReservesATenthForBadBlocks) {
    struct Case {
        std::uint64_t length;
        unsigned page, pages_per_block, blocks;
    } cases[] = {{100000, 2048, 64, 1}, {131072, 2048, 64, 2}, {1, 2048, 64, 1}, {100000, 0, 64, 0}, {100000, 2048, 0, 0}};
    for (const Case& c : cases) EXPECT_EQ(NandBootBlocks(c.length, c.page, c.pages_per_block), c.blocks) << c.length;
}

TEST_F(BurnChannelTest, FirstDownloadFollowsBootModeAndChipType) {
    struct Case {
        int boot_mode_flag, chip_type;
        std::vector<unsigned> first_statuses;
        const char* first_call;
    } cases[] = {
        {2, 8, {2, 159, 63}, "Download1kData"},  // signature data, no RAM parameters
        {0, 11, {2, 63, 21}, "DownloadProducer"},
        {0, 4, {2, 63, 21}, "DownloadProducer"},
        {0, 0, {2, 63, 21}, "DownloadProducer"},
        {1, 8, {2, 7, 63}, "SetRamParam"},
    };
    for (const Case& c : cases) {
        FreshStation fresh(config_, language_);
        auto& [link, window, state, engine] = fresh;
        config_.boot_mode_flag = c.boot_mode_flag;
        config_.chip_type = c.chip_type;
        ASSERT_EQ(engine.BurnChannel(1), 1) << c.boot_mode_flag << "/" << c.chip_type;
        std::vector<unsigned> statuses = window.Statuses(1);
        statuses.resize(3);
        EXPECT_EQ(statuses, c.first_statuses) << c.boot_mode_flag << "/" << c.chip_type;
        EXPECT_EQ(WithoutSetup(link.Names())[0], c.first_call);
        if (c.boot_mode_flag == 2) {
            LinkCall data = link.CallsNamed("Download1kData")[0];
            EXPECT_EQ(data.text, Path("sign.bin"));
            EXPECT_EQ(data.values[0], 0x5349474Eu);
        }
    }
}

// Each channel reopens its own port at the working rate.
TEST_F(BurnChannelTest, PortSwitchesOnlyForAWorkingBaudOtherThan115200) {
    struct Case {
        int baud;
        unsigned channel;
        const std::string* port;  // switched, or nullptr for none
    } cases[] = {{115200, 1, nullptr}, {921600, 1, &kPort}, {921600, 2, &kSecondPort}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.baud) + " on channel " + std::to_string(c.channel));
        FreshStation fresh(config_, language_);
        auto& [link, window, state, engine] = fresh;
        config_.uart_baud = c.baud;
        ASSERT_EQ(engine.BurnChannel(c.channel), 1);
        auto switches = link.CallsNamed("ChangeCom");
        if (c.port == nullptr) {
            EXPECT_TRUE(switches.empty());
            continue;
        }
        ASSERT_EQ(switches.size(), 1u);
        EXPECT_EQ(switches[0].text, *c.port);
        EXPECT_EQ(switches[0].channel, c.channel);
        EXPECT_EQ(switches[0].values[0], 921600u);
        std::vector<std::string> names = link.Names();
        auto at = std::find(names.begin(), names.end(), "ChangeCom");
        EXPECT_EQ(*(at - 1), "DownloadProducer");
        EXPECT_EQ(*(at + 1), "TestConnection");
    }
}

// Every failing call ends the burn with its one failure status and log line,
// and the station's handling of that status closes the run.
TEST_F(BurnChannelTest, EveryFailingStepPostsOneFailureAndItsLogLine) {
    struct Case {
        const char* call;
        unsigned result;
        int chip_mode, boot_mode_flag, baud;
        unsigned status;
        const char* log_line;
    } cases[] = {
        {"Download1kData", 2, 1, 2, 115200, 160, "download producer fail.\r\n"},
        {"SetRamParam", 0, 1, 0, 115200, 8, "->SetRamParam fail.\r\n"},
        {"DownloadProducer", 2, 1, 0, 115200, 64, "download producer fail.\r\n"},
        {"ChangeCom", 0, 1, 0, 921600, 12, "Burn_Switch Uart COM fail.\r\n"},
        {"TestConnection", 0, 1, 0, 115200, 22, "->connetion fail!\r\n"},
        {"SetBurnedParam", 0, 1, 0, 115200, 62, "->Set Burned Param fail\r\n"},
        {"SetMode", 0, 1, 0, 115200, 91, "->set mode fail!\r\n"},
        {"GetFlashId", 0, 1, 0, 115200, 44, "burn_spiflash fail.\r\n"},
        {"SetSpiParam", 0, 1, 0, 115200, 49, "burn_spiflash fail.\r\n"},
        {"DownloadBoot", 2, 1, 0, 115200, 78, "burn_spiflash fail.\r\n"},
        {"CloseProducer", 0, 1, 0, 115200, 126, "burn_spiflash fail.\r\n"},
        {"GetFlashId", 0, 5, 0, 115200, 44, "->GetFlashID fail!\r\n"},
        {"SetExParameter", 0, 5, 0, 115200, 157, "Burn_GetFlashIDAndSetNandParam fail.\r\n"},
        {"SetNandParam", 0, 5, 0, 115200, 96, "->set nand para fail\r\n"},
        {"InitSecArea", 0, 5, 0, 115200, 98, "KW_InitSecArea fail!\r\n"},
        {"DownloadBoot", 4, 5, 0, 115200, 78, "Burn_NandFlash_Uboot fail.\r\n"},
        {"CloseProducer", 0, 5, 0, 115200, 126, "Burn_NandFlash_Uboot fail.\r\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(Path(ChannelLogName(1, FixedNow())));
        FreshStation fresh(config_, language_);
        auto& [link, window, state, engine] = fresh;
        state.RefreshRows(1);
        config_.chip_mode = c.chip_mode;
        config_.boot_mode_flag = c.boot_mode_flag;
        config_.uart_baud = c.baud;
        link.flash_id = c.chip_mode == 5 ? kNandId : kNorId;
        link.SetResult(c.call, c.result);
        std::string what = std::string(c.call) + " in chip_mode " + std::to_string(c.chip_mode);

        EXPECT_EQ(engine.BurnChannel(1), 0) << what;
        std::vector<unsigned> statuses = window.Statuses(1);
        int failures = 0;
        for (unsigned code : statuses) failures += FindStatus(code)->kind == StatusKind::Failure;
        EXPECT_EQ(failures, 1) << what;
        EXPECT_EQ(statuses.back(), c.status) << what;
        std::string log = ChannelLogText(1);
        EXPECT_NE(log.find(c.log_line), std::string::npos) << what << "\n" << log;
        EXPECT_EQ(log.find("end work number"), std::string::npos) << what;
        EXPECT_EQ(log.find("++Burn success++"), std::string::npos) << what;
        EXPECT_EQ(state.WorkNumber(), 1) << what;

        for (const StationEvent& e : window.TakePosts())
            if (e.kind == EventKind::Status) state.OnEvent(e);
        EXPECT_EQ(state.WorkNumber(), 0) << what;
        EXPECT_EQ(window.end_of_runs, 1) << what;
        EXPECT_EQ(state.Rows()[0].bar_colour, kColourFailure) << what;
    }
}

TEST_F(BurnChannelTest, UnknownFlashIdFailsWithTheMediumsStatus) {
    struct Case {
        int chip_mode;
        unsigned status;
    } cases[] = {{1, 49}, {5, 96}};
    for (const Case& c : cases) {
        FreshStation fresh(config_, language_);
        auto& [link, window, state, engine] = fresh;
        config_.chip_mode = c.chip_mode;
        link.flash_id = 0x123456;
        EXPECT_EQ(engine.BurnChannel(1), 0);
        EXPECT_EQ(window.Statuses(1).back(), c.status);
        EXPECT_EQ(engine.LastFlashId(1), 0x123456u);
    }
}

TEST_F(BurnChannelTest, ChipModesWithoutAMediumAreRefusedBeforeAnyTransfer) {
    for (int chipMode : {3, 4, 8}) {
        FreshStation fresh(config_, language_);
        auto& [link, window, state, engine] = fresh;
        config_.chip_mode = chipMode;
        EXPECT_EQ(engine.BurnChannel(1), 0);
        EXPECT_EQ(window.Statuses(1), std::vector<unsigned>{status::kSetModeFailed}) << chipMode;
        EXPECT_EQ(link.Names(), std::vector<std::string>{"DetachUart"}) << chipMode;  // no transfer, the port let go
        EXPECT_NE(ChannelLogText(1).find("->chip_mode " + std::to_string(chipMode) + " names no burn medium"),
                  std::string::npos);
    }
}

TEST_F(BurnChannelTest, NandPathWithoutFlashIdFailsTheBootLoaderInsteadOfDividingByZero) {
    for (int chipMode : {0, 2}) {
        FreshStation fresh(config_, language_);
        auto& [link, window, state, engine] = fresh;
        config_.chip_mode = chipMode;
        EXPECT_EQ(engine.BurnChannel(1), 0);
        EXPECT_TRUE(link.CallsNamed("GetFlashId").empty());
        EXPECT_TRUE(link.CallsNamed("SetNandParam").empty());
        EXPECT_EQ(link.CallsNamed("InitSecArea").size(), 1u);
        EXPECT_TRUE(link.CallsNamed("DownloadBoot").empty());
        std::vector<unsigned> statuses = window.Statuses(1);
        EXPECT_EQ(std::vector<unsigned>(statuses.end() - 2, statuses.end()), (std::vector<unsigned>{97, 78}));
        EXPECT_NE(ChannelLogText(1).find("->no NAND parameters (chip_mode " + std::to_string(chipMode)),
                  std::string::npos);
    }
}

// No message box stops the burn thread: the text is the failed row's cause.
TEST_F(BurnChannelTest, BurnFileProblemsFailTheRowWithTheirText) {
    struct Case {
        int chip_mode;
        std::size_t size;
        const char* message;
        unsigned status;
    } cases[] = {
        {1, 0, "The length of file is wrong!", 135},
        {1, kNorSize + 1, "The length of file is more than the total size of SPI NOR Flash.", 140},
        {0, 0, "nand获取到的文件长度为0", 78},
    };
    for (const Case& c : cases) {
        FreshStation fresh(config_, language_);
        auto& [link, window, state, engine] = fresh;
        config_.chip_mode = c.chip_mode;
        WriteFile("boot.bin", std::string(c.size, 'b'));
        EXPECT_EQ(engine.BurnChannel(1), 0) << c.message;
        EXPECT_EQ(window.Statuses(1).back(), c.status) << c.message;
        EXPECT_TRUE(link.CallsNamed("DownloadBoot").empty());
        state.RefreshRows(2);
        for (const StationEvent& event : window.Posts()) state.OnEvent(event);
        EXPECT_EQ(state.Rows()[0].result, RowResult::Failed) << c.message;
        EXPECT_EQ(state.Rows()[0].cause, c.message);
    }
}

TEST_F(BurnChannelTest, RamTableLongerThan64PairsFailsWithoutSending) {
    config_.active_ram_tables[0].assign(65, config::RamRegister{0x08000000, 1});
    EXPECT_EQ(Burn(), 0);
    EXPECT_TRUE(link_.CallsNamed("SetRamParam").empty());
    EXPECT_EQ(window_.Statuses(1).back(), status::kSetRamFailed);
    EXPECT_NE(ChannelLogText(1).find("the RAM table holds 65 pairs, at most 64 can be sent"), std::string::npos);
}

TEST_F(BurnChannelTest, SettingsOfThisBuildReachTheProducer) {
    BurnEngine engine(config_, link_, state_, window_, EngineOptions{true, 1, 1});
    config_.burned_mode = 2;
    ASSERT_EQ(engine.BurnChannel(1), 1);
    EXPECT_TRUE(link_.CallsNamed("SetRamParam").empty());
    EXPECT_EQ(link_.CallsNamed("SetRamParamNoCommit").size(), 1u);
    EXPECT_EQ(link_.CallsNamed("SetBurnedParam")[0].burned.words[0], 2u);
    EXPECT_NE(ChannelLogText(1).find("mode: 2\n"), std::string::npos);
    ModeControl mode = link_.CallsNamed("SetMode")[0].mode;
    EXPECT_EQ(mode.erase_before_burn, 1);
    EXPECT_EQ(mode.no_erase, 0);  // never both
}

// A download that fails because the burn file went away leaves the board
// without a boot loader: it fails like any other, whatever the update choice.
TEST_F(BurnChannelTest, FailedBootDownloadOfAVanishedFileIsAFailure) {
    struct Case {
        int chip_mode, update;
        const char* entry_line;
    } cases[] = {{1, 1, "burn_spiflash fail.\r\n"},
                 {1, 0, "burn_spiflash fail.\r\n"},
                 {5, 0, "Burn_NandFlash_Uboot fail.\r\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.chip_mode) + "/" + std::to_string(c.update));
        std::filesystem::remove(Path(ChannelLogName(1, FixedNow())));
        FreshStation fresh(config_, language_);
        auto& [link, window, state, engine] = fresh;
        config_.chip_mode = c.chip_mode;
        config_.update = c.update;
        link.flash_id = c.chip_mode == 5 ? kNandId : kNorId;
        WriteFile("boot.bin", std::string(kBootBytes, 'b'));
        link.SetResult("DownloadBoot", 2);
        link.OnCall("DownloadBoot", [this](unsigned) { std::filesystem::remove(Path("boot.bin")); });
        EXPECT_EQ(engine.BurnChannel(1), 0);
        EXPECT_EQ(window.Statuses(1).back(), status::kDownloadBootFailed);
        EXPECT_TRUE(link.CallsNamed("CloseProducer").empty());
        std::string log = ChannelLogText(1);
        EXPECT_NE(log.find("->the burn file " + Path("boot.bin") + " went away during the boot loader download, fail"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find(c.entry_line), std::string::npos) << log;
        EXPECT_EQ(log.find("++Burn success++"), std::string::npos) << log;
    }
}

TEST_F(BurnChannelTest, ProgressIsPostedWithTheChannelAndByteCount) {
    engine_.ReportProgress(3, 4096);
    EXPECT_EQ(window_.Posts(), std::vector<StationEvent>{ProgressEvent(3, 4096)});
}

std::vector<std::string> LinesWith(const std::string& log, const std::string& prefix) {
    std::vector<std::string> out;
    for (std::size_t at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at + 1))
        out.push_back(log.substr(at, log.find('\n', at) - at));
    return out;
}

TEST_F(BurnChannelTest, TwoChannelsTogetherCountWorkNumbersAndEndTheRunOnce) {
    std::latch bothStarted(2);
    link_.OnCall("DownloadProducer", [&](unsigned) { bothStarted.arrive_and_wait(); });
    std::thread first([&] { EXPECT_EQ(Burn(1), 1); });
    std::thread second([&] { EXPECT_EQ(Burn(2), 1); });
    first.join();
    second.join();
    std::set<std::string> starts, ends;
    for (unsigned ch : {1u, 2u}) {
        for (const std::string& l : LinesWith(ChannelLogText(ch), "]work number = ")) starts.insert(l);
        for (const std::string& l : LinesWith(ChannelLogText(ch), "end work number = ")) ends.insert(l);
    }
    EXPECT_EQ(starts, (std::set<std::string>{"]work number = 1", "]work number = 2"}));
    EXPECT_EQ(ends, (std::set<std::string>{"end work number = 0", "end work number = 1"}));
    EXPECT_EQ(window_.end_of_runs, 1);
    EXPECT_EQ(state_.WorkNumber(), 0);
}

TEST_F(BurnChannelTest, OneChannelFailsFirstAndTheOtherEndsTheRun) {
    std::latch bothStarted(2);
    std::promise<void> failureHandled;
    std::shared_future<void> handled = failureHandled.get_future().share();
    link_.OnCall("DownloadProducer", [&](unsigned) { bothStarted.arrive_and_wait(); });
    link_.SetResultFor("TestConnection", 1, 0);
    link_.OnCall("CloseProducer", [handled](unsigned) { handled.wait(); });
    std::thread failing([&] { EXPECT_EQ(Burn(1), 0); });
    std::thread passing([&] { EXPECT_EQ(Burn(2), 1); });
    failing.join();
    Pump();  // the window handles channel 1's failure first
    EXPECT_EQ(state_.WorkNumber(), 1);
    EXPECT_EQ(window_.end_of_runs, 0);
    failureHandled.set_value();
    passing.join();
    Pump();
    EXPECT_TRUE(LinesWith(ChannelLogText(1), "end work number").empty());
    EXPECT_EQ(LinesWith(ChannelLogText(2), "end work number"), std::vector<std::string>{"end work number = 0"});
    EXPECT_EQ(window_.end_of_runs, 1);
    EXPECT_EQ(state_.Rows()[0].bar_colour, kColourFailure);
    EXPECT_EQ(state_.Rows()[1].bar_colour, kColourSuccess);
}

TEST_F(BurnChannelTest, TwoBurnsOfOneChannelOnOneDayShareTheFile) {
    ASSERT_EQ(Burn(3), 1);
    ASSERT_EQ(Burn(3), 1);
    EXPECT_EQ(LinesWith(ChannelLogText(3), "=============Burn Information For Channel[3]").size(), 2u);
}

}  // namespace
}  // namespace kestrow::engine
