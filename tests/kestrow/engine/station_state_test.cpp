#include "engine_fakes.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/port_watcher.h"
#include "kestrow/engine/station_state.h"
#include "kestrow/engine/status_codes.h"

namespace kestrow::engine {
namespace {

using testing::FakeLink;
using testing::LinkCall;
using testing::RecordingWindow;

class StationStateTest : public testing::StationFolderFixture {
protected:
    StationStateTest() : language_(dir_.string()) {
        language_.SetLanguage("");
        config_.device_channel = 2;
        state_.SetPorts({"/dev/ttyUSB0", "/dev/ttyUSB1"});
        config_.chip_mode = 1;
        config_.chip_type = 8;
        state_.RefreshRows(2);
        state_.OpenMainLog();
    }
    void Status(unsigned channel, unsigned code) { state_.OnEvent(StatusEvent(channel, code)); }
    std::string MainLog() { return ReadFile(kMainLogName); }

    config::BurnConfig config_;
    config::LanguageTable language_;
    FakeLink link_;
    RecordingWindow window_;
    StationState state_{config_, language_, link_, window_};
};

TEST_F(StationStateTest, MainLogOpensWithItsHeaderAndTheCleanUp) {
    const std::string rule(50, '-');
    EXPECT_EQ(MainLog(), std::string(81, '*') + "\r\nDate: 2026-3-14 [09:26:53]Open kestrow.exe\r\n" + rule +
                             "\r\n[09:26:53]Clear history logfiles:\r\n[09:26:53]End!\r\n" + rule + "\r\n");
}

TEST_F(StationStateTest, ProgressStatusChangesOnlyTheText) {
    Status(2, status::kSetMode);
    EXPECT_EQ(state_.Rows()[1].text, "Set burn mode");
    EXPECT_EQ(state_.Rows()[1].bar_colour, kColourReady);
    EXPECT_TRUE(state_.Rows()[0].text.empty());
}

TEST_F(StationStateTest, FlashIdTextFollowsTheConfiguredMedium) {
    struct Case {
        int chip_mode;
        const char* text;
    } cases[] = {{1, "Begin to get SPI NOR Flash chip ID"},
                 {5, "Begin to get SPI NAND Flash chip ID"},
                 {6, "Begin to get SPI NAND Flash chip ID"},
                 {7, "Begin to get SPI NAND Flash chip ID"}};
    for (const Case& c : cases) {
        config_.chip_mode = c.chip_mode;
        Status(1, status::kFlashId);
        EXPECT_EQ(state_.Rows()[0].text, c.text) << c.chip_mode;
    }
}

TEST_F(StationStateTest, FailureDuringARunEndsTheChannelAndTheRun) {
    state_.SetAutoStart(1);
    state_.BeginChannel(1);
    state_.BeginChannel(2);
    Status(1, status::kTestFailed);
    EXPECT_EQ(state_.Rows()[0].text, "Failed to test");
    EXPECT_EQ(state_.Rows()[0].bar_colour, kColourFailure);
    EXPECT_EQ(link_.CallsNamed("DetachUart")[0].text, "/dev/ttyUSB0");
    EXPECT_EQ(state_.WorkNumber(), 1);
    EXPECT_EQ(state_.TimerChannel(1), 0u);
    EXPECT_EQ(state_.TimerChannel(2), 2u);
    EXPECT_EQ(window_.end_of_runs, 0);
    EXPECT_FALSE(state_.AutoStart());
    EXPECT_TRUE(window_.close_button_visible);

    Status(2, status::kDownloadBootFailed);
    EXPECT_EQ(link_.CallsNamed("DetachUart")[1].text, "/dev/ttyUSB1");
    EXPECT_EQ(state_.WorkNumber(), 0);
    EXPECT_EQ(window_.end_of_runs, 1);
    EXPECT_EQ(window_.BarChanges(), std::vector<bool>{true});
    std::string log = MainLog();
    EXPECT_NE(log.find("!!terminate\n!!terminate\n"), std::string::npos);
}

TEST_F(StationStateTest, FailureOutsideARunLeavesTheRunStateAlone) {
    Status(1, status::kSetNandParamFailed);
    EXPECT_EQ(state_.Rows()[0].bar_colour, kColourFailure);
    EXPECT_EQ(link_.CallsNamed("DetachUart").size(), 1u);
    EXPECT_EQ(state_.WorkNumber(), 0);
    EXPECT_EQ(window_.end_of_runs, 0);
    EXPECT_EQ(MainLog().find("!!terminate"), std::string::npos);
}

TEST_F(StationStateTest, SuccessShowsCompletionOrTheReadBackText) {
    struct Case {
        bool bin, spi_nor;
        const char* text;
    } cases[] = {{false, false, "Completion"},
                 {true, false, nullptr},
                 {false, true, "Read back SPI NOR Flash completed."},
                 {true, true, "Read back SPI NOR Flash completed."}};
    for (const Case& c : cases) {
        state_.SetAutoStart(1);
        state_.bin_read_back = c.bin;
        state_.spi_nor_read_back = c.spi_nor;
        Status(1, status::kCompletion);
        const RowRecord& row = state_.Rows()[0];
        EXPECT_EQ(row.text, c.text ? c.text : language_.GetString(kTextBinReadBackDone));
        EXPECT_EQ(row.bar_colour, kColourSuccess);
        EXPECT_EQ(row.percent, 100);
        EXPECT_FALSE(state_.AutoStart());
    }
    EXPECT_EQ(link_.CallsNamed("DetachUart").size(), 4u);
    EXPECT_NE(MainLog().find("!!sucesss\n"), std::string::npos);
}

TEST_F(StationStateTest, ReadyStartsTheRunOnceABoardIsAttached) {
    state_.OnEvent(ProgressEvent(1, 500));
    state_.TickTimers();
    state_.SetAutoStart(1);
    Status(1, status::kReady);
    const RowRecord& row = state_.Rows()[0];
    EXPECT_EQ(row.text, "Ready");
    EXPECT_EQ(row.percent, 0);
    EXPECT_EQ(row.bar_colour, kColourReady);
    EXPECT_EQ(row.seconds, 0u);
    EXPECT_EQ(link_.Names(), std::vector<std::string>{"StartChannel"});
    EXPECT_EQ(link_.CallsNamed("StartChannel")[0].channel, 1u);
    EXPECT_TRUE(state_.RunActive());
    EXPECT_EQ(state_.PendingCount(), 1);
    EXPECT_NE(MainLog().find("KW_Start \nKW_Start_g_workTotalnum :1 \n"), std::string::npos);
}

TEST_F(StationStateTest, ReadyDuringARunRestartsWithoutAutoStart) {
    state_.Start();
    Status(2, status::kReady);
    ASSERT_EQ(link_.CallsNamed("StartChannel").size(), 1u);
    EXPECT_EQ(link_.CallsNamed("StartChannel")[0].channel, 2u);
    EXPECT_NE(MainLog().find("OnTbtnStart \n"), std::string::npos);
}

// The Start command starts the channels whose boards are ready, each alone:
// a port only watched counts as attached in the library.
TEST_F(StationStateTest, StartCommandStartsEveryReadyChannelAndNoOther) {
    state_.RefreshRows(4);
    state_.SetAutoStart(2);
    state_.SetAutoStart(4);
    EXPECT_EQ(state_.Start(), 2u);
    std::vector<unsigned> started;
    for (const LinkCall& c : link_.CallsNamed("StartChannel")) started.push_back(c.channel);
    EXPECT_EQ(started, (std::vector<unsigned>{2, 4}));
    EXPECT_NE(MainLog().find("KW_Start \nKW_Start_g_workTotalnum :2 \n"), std::string::npos);
}

TEST_F(StationStateTest, ReadyWithoutAutoStartOrRunStartsNothing) {
    Status(1, status::kReady);
    EXPECT_TRUE(link_.Calls().empty());
    EXPECT_EQ(state_.Start(), 0u);
    EXPECT_TRUE(link_.Calls().empty());
    EXPECT_NE(MainLog().find("KW_Start \n"), std::string::npos);
    EXPECT_EQ(MainLog().find("KW_Start_g_workTotalnum"), std::string::npos);  // nothing was started
}

TEST_F(StationStateTest, RefreshListRebuildsTheConfiguredRowsAndUnknownCodesChangeNothing) {
    Status(1, status::kTest);
    config_.device_channel = 4;
    state_.OnEvent(RefreshListEvent());
    ASSERT_EQ(state_.Rows().size(), 4u);
    EXPECT_TRUE(state_.Rows()[0].text.empty());
    Status(1, 1);
    Status(1, 161);
    Status(9, status::kTest);  // no such row
    EXPECT_TRUE(state_.Rows()[0].text.empty());
}

TEST_F(StationStateTest, ProgressUsesTheTransferTotal) {
    state_.SetTransferTotal(2000);
    state_.OnEvent(ProgressEvent(1, 500));
    EXPECT_EQ(state_.Rows()[0].percent, 25);
    state_.OnEvent(ProgressEvent(1, 4000));
    EXPECT_EQ(state_.Rows()[0].percent, 100);
}

TEST_F(StationStateTest, TimersCountArmedChannelsOnly) {
    state_.BeginChannel(2);
    for (int i = 0; i < 3; ++i) state_.TickTimers();
    EXPECT_EQ(state_.Rows()[1].seconds, 3u);
    EXPECT_EQ(state_.Rows()[0].seconds, 0u);
    state_.DisarmTimer(2);
    state_.TickTimers();
    EXPECT_EQ(state_.Rows()[1].seconds, 3u);  // the last value stays visible
}

// A row keeps its last result until the next board attaches: re-armed, it
// shows that it waits, and only Ready clears the result.
TEST_F(StationStateTest, ResultStaysUntilTheNextBoardAttaches) {
    struct Case {
        const char* name;
        unsigned code;
        RowResult result;
        const char* cause;
        bool board_stays;
    } cases[] = {
        {"passed", status::kCompletion, RowResult::Passed, "", false},
        {"failed", status::kTestFailed, RowResult::Failed, "flash ID 0x123456 is not in the SPI NOR list", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        state_.RefreshRows(2);
        state_.SetFailureCause(1, "flash ID 0x123456 is not in the SPI NOR list");
        const std::time_t before = std::time(nullptr);
        Status(1, c.code);
        const RowRecord& row = state_.Rows()[0];
        EXPECT_EQ(row.result, c.result);
        EXPECT_GE(row.result_time, before);
        EXPECT_EQ(row.cause, c.cause);
        EXPECT_EQ(row.board_stays, c.board_stays);
        EXPECT_EQ(state_.AwaitingDeparture(1), c.board_stays);
        EXPECT_FALSE(row.waiting);

        state_.BoardGone(1);
        state_.OnEvent(ArmedEvent(1));
        EXPECT_TRUE(row.waiting);
        EXPECT_FALSE(row.board_stays);
        EXPECT_EQ(row.result, c.result);  // still readable while the port waits
        EXPECT_EQ(row.cause, c.cause);

        Status(1, status::kReady);
        EXPECT_EQ(row.result, RowResult::None);
        EXPECT_FALSE(row.waiting);
        EXPECT_EQ(row.cause, "");
        EXPECT_EQ(state_.Rows()[1].result, RowResult::None);  // the other row is not touched
    }
}

class PortWatcherTest : public StationStateTest {
protected:
    PortWatcher watcher_{config_, link_, state_, window_, 1};
};

TEST_F(PortWatcherTest, AttachFollowsTheHandshakeResults) {
    struct Case {
        const char* name;
        int chip_type, boot_mode_flag;
        const char* failing_call;
        unsigned result;
        bool attached, detached;
    } cases[] = {
        {"baud handshake", 8, 0, nullptr, 0, true, false},
        {"no prompt yet", 8, 0, "ChooseBaud", 2, false, false},
        {"handshake refused", 8, 0, "ChooseBaud", 0, false, true},
        {"secure check", 8, 2, nullptr, 0, true, false},
        {"secure prompt not yet", 8, 2, "CheckSecureEn", 2, false, false},
        {"secure check refused", 8, 2, "CheckSecureEn", 0, false, true},
        {"RAM check first", 11, 0, nullptr, 0, true, false},
        {"RAM check without prompt", 11, 0, "DownloadRam", 2, false, false},
        {"RAM check failed", 11, 0, "DownloadRam", 0, false, true},
        {"no channel", 8, 0, "AttachUart", 0, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLink link;
        RecordingWindow window;
        StationState state(config_, language_, link, window);
        PortWatcher watcher(config_, link, state, window, 1);
        config_.chip_type = c.chip_type;
        config_.boot_mode_flag = c.boot_mode_flag;
        config_.uart_baud = 921600;
        config_.path_ram = "ram.bin";
        link.attach_channel = 1;
        if (c.failing_call) link.SetResult(c.failing_call, c.result);
        EXPECT_EQ(watcher.Attach("/dev/ttyUSB0", 0), c.attached);
        EXPECT_EQ(state.AutoStart(), c.attached);
        EXPECT_EQ(!link.CallsNamed("DetachUart").empty(), c.detached);
        if (c.attached) {
            EXPECT_EQ(window.Statuses(1), std::vector<unsigned>{status::kReady});
            EXPECT_FALSE(window.close_button_visible);
            LinkCall attach = link.CallsNamed("AttachUart")[0];
            EXPECT_EQ(attach.values, (std::vector<unsigned>{921600, 0}));
        } else {
            EXPECT_TRUE(window.Posts().empty());
        }
        if (c.chip_type == 11) {
            LinkCall ram = link.CallsNamed("DownloadRam")[0];
            EXPECT_EQ(ram.channel, 1u);
            EXPECT_EQ(ram.text, Path("ram.bin"));
            EXPECT_EQ(ram.values[0], 0xD2800100u);
        }
    }
}

TEST_F(PortWatcherTest, WatchesUntilABoardIsAttachedThenWaitsForItsResult) {
    link_.SetResult("ChooseBaud", 2);
    std::atomic<int> rounds{0};
    link_.OnCall("ChooseBaud", [&](unsigned) {
        if (++rounds == 3) link_.SetResult("ChooseBaud", 1);
    });
    watcher_.Start();
    while (!state_.AutoStart()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::size_t wakes = link_.CallsNamed("StartRead").size();
    EXPECT_EQ(wakes, 4u);  // three rounds without a prompt, then the board answered
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(link_.CallsNamed("AttachUart").size(), 1u);  // the attached board's port is left alone
    EXPECT_EQ(link_.CallsNamed("StartRead").size(), wakes);
    Status(1, status::kTestFailed);  // its result frees the port
    while (link_.CallsNamed("StartRead").size() <= wakes) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    watcher_.Stop();
    EXPECT_EQ(link_.CallsNamed("StartRead")[0].text, "/dev/ttyUSB0");
}

// A port that cannot be opened is told once with its reason, tried again
// only after the pause (not every round), and told again when it opens.
TEST_F(PortWatcherTest, UnopenablePortIsToldOnceAndTriedAgainAfterThePause) {
    constexpr auto kPause = std::chrono::milliseconds(150);
    constexpr int kFailures = 4;
    testing::FakePorts ports;
    ports.Add("/dev/ttyUSB0", PortState::InUse);
    ports.ports[0].condition.detail = "opened by minicom (pid 77)";
    PortWatcher watcher(config_, link_, state_, window_, 1, &ports, kPause);
    link_.SetResult("StartRead", 0);
    link_.SetResult("ChooseBaud", 2);
    link_.SetPortError(0, {PortState::InUse, "held for exclusive use by another program"});
    std::atomic<int> attempts{0};
    std::chrono::steady_clock::time_point first, opened;
    link_.OnCall("StartRead", [&](unsigned) {
        int attempt = ++attempts;
        if (attempt == 1) first = std::chrono::steady_clock::now();
        if (attempt == kFailures) link_.SetResult("StartRead", 1);  // from the next attempt on
        if (attempt == kFailures + 1) opened = std::chrono::steady_clock::now();
    });
    watcher.Start();
    while (attempts < kFailures + 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    watcher.Stop();

    using Report = std::pair<std::string, std::string>;
    EXPECT_EQ(window_.PortReports(),
              (std::vector<Report>{
                  {"/dev/ttyUSB0", "/dev/ttyUSB0 is in use by another program (opened by minicom (pid 77))"},
                  {"/dev/ttyUSB0", ""}}));
    // Each failed attempt waits out the pause; load can only make it longer.
    EXPECT_GE(opened - first, kFailures * kPause);
    // Nothing is asked of a port that did not open.
    std::vector<std::string> calls;
    for (const std::string& name : link_.Names())
        if (name == "StartRead" || name == "ChooseBaud") calls.push_back(name);
    auto handshake = std::find(calls.begin(), calls.end(), "ChooseBaud");
    ASSERT_NE(handshake, calls.end());
    EXPECT_EQ(handshake - calls.begin(), kFailures + 1);
}

// Polls `done` for up to half a minute; false when it never held.
bool Eventually(const std::function<bool()>& done) {
    for (int wait = 0; wait < 15000; ++wait) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

// A failed board is not attached again while it answers its boot ROM: its
// port is only looked at (at the boot rate, nothing attached) until two looks
// in a row get no answer, unless retries are left; a passed board re-arms at once.
TEST_F(PortWatcherTest, FailedBoardIsNotBurnedAgainUntilItHasGone) {
    struct Case {
        const char* name;
        unsigned retries;
        std::vector<unsigned> results;  // the result of each burn, in order
        std::size_t attaches_before_it_sticks;
        bool sticks;
    } cases[] = {
        {"failure, no retries", 0, {status::kTestFailed}, 1, true},
        {"failure, one retry", 1, {status::kTestFailed, status::kTestFailed}, 2, true},
        {"retry passes", 1, {status::kTestFailed, status::kCompletion}, 2, false},
        {"passed", 0, {status::kCompletion}, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLink link;
        RecordingWindow window;
        StationState state(config_, language_, link, window);
        state.SetPorts({"/dev/ttyUSB0"});
        state.RefreshRows(1);
        state.SetAutoRetries(c.retries);
        PortWatcher watcher(config_, link, state, window, 1);
        config_.uart_baud = 921600;  // the looks ask for the boot rate, not this one
        link.attach_channel = 1;
        watcher.Start();
        auto attaches = [&] { return link.CallsNamed("AttachUart").size(); };
        auto posted = [&](EventKind kind) {
            std::size_t n = 0;
            for (const StationEvent& e : window.Posts()) n += e.kind == kind;
            return n;
        };
        for (std::size_t i = 0; i < c.results.size(); ++i) {
            ASSERT_TRUE(Eventually([&] { return attaches() >= i + 1; }));
            ASSERT_TRUE(Eventually([&] { return state.AutoStart(1); }));
            state.OnEvent(StatusEvent(1, c.results[i]));
        }
        if (!c.sticks) {
            ASSERT_TRUE(Eventually([&] { return attaches() > c.results.size(); }));
            watcher.Stop();
            EXPECT_EQ(watcher.DepartureRounds(), 0u);
            EXPECT_GE(posted(EventKind::Armed), 1u);
            continue;
        }
        // The board still answers: several looks, no attach, the row says it stays.
        ASSERT_TRUE(Eventually([&] { return watcher.DepartureRounds() >= 3; }));
        EXPECT_EQ(attaches(), c.attaches_before_it_sticks);
        EXPECT_TRUE(state.Rows()[0].board_stays);
        EXPECT_EQ(state.Rows()[0].retries, c.retries);
        EXPECT_EQ(posted(EventKind::Armed), c.retries);  // one after each retried failure
        const std::vector<LinkCall> bauds = link.CallsNamed("ChooseBaud");
        EXPECT_EQ(bauds.back().values, (std::vector<unsigned>{0, 115200}));  // looked at at the boot rate
        // One look that misses the prompt (a busy host) is not the board going.
        const unsigned looked = watcher.DepartureRounds();
        link.OnCall("ChooseBaud", [&link](unsigned) { link.SetResult("ChooseBaud", 1); });
        link.SetResult("ChooseBaud", kLinkNoPrompt);
        ASSERT_TRUE(Eventually([&] { return watcher.DepartureRounds() >= looked + 3; }));
        EXPECT_TRUE(state.AwaitingDeparture(1));
        EXPECT_EQ(attaches(), c.attaches_before_it_sticks);
        link.OnCall("ChooseBaud", {});
        // Taken away: the next looks get no answer, the port is armed again.
        link.SetResult("ChooseBaud", kLinkNoPrompt);
        ASSERT_TRUE(Eventually([&] { return posted(EventKind::Armed) >= c.retries + 1; }));
        EXPECT_FALSE(state.AwaitingDeparture(1));
        // A new board answers and is attached.
        link.SetResult("ChooseBaud", 1);
        ASSERT_TRUE(Eventually([&] { return attaches() >= c.attaches_before_it_sticks + 1; }));
        watcher.Stop();
    }
}

// A board whose port went with its failure (its adapter pulled) has left: the
// port is watched for the next board at once, so a board plugged in before
// any look at the port is burned, not taken for the failed one still there.
TEST_F(PortWatcherTest, FailedBoardWhosePortWentIsNotWaitedFor) {
    link_.attach_channel = 1;
    watcher_.Start();
    auto attaches = [&] { return link_.CallsNamed("AttachUart").size(); };
    ASSERT_TRUE(Eventually([&] { return attaches() == 1 && state_.AutoStart(1); }));
    link_.SetPortError(kLookAtPort, PortCondition{PortState::Missing, "No such file or directory"});
    state_.OnEvent(StatusEvent(1, status::kTestFailed));
    EXPECT_FALSE(state_.Rows()[0].board_stays);
    EXPECT_FALSE(state_.AwaitingDeparture(1));
    // The next board is on the port already, and answers.
    link_.SetPortError(kLookAtPort, PortCondition{});
    ASSERT_TRUE(Eventually([&] { return attaches() == 2; }));
    watcher_.Stop();
    EXPECT_EQ(watcher_.DepartureRounds(), 0u);
    EXPECT_EQ(state_.Rows()[0].retries, 0u);
}

// Just after a burn has left the engine the library may still hold its channel
// and refuse the port without opening it: that is neither the failed board
// going (it would be burned again) nor a port problem to tell the operator.
TEST_F(PortWatcherTest, PortRefusedWhileTheLibraryLetsGoOfTheBurnIsNoProblem) {
    for (bool passed : {true, false}) {
        SCOPED_TRACE(passed ? "passed" : "failed");
        FakeLink link;
        RecordingWindow window;
        StationState state(config_, language_, link, window);
        state.SetPorts({"/dev/ttyUSB0"});
        state.RefreshRows(1);
        PortWatcher watcher(config_, link, state, window, 1);
        link.attach_channel = 1;
        watcher.Start();
        auto attaches = [&] { return link.CallsNamed("AttachUart").size(); };
        ASSERT_TRUE(Eventually([&] { return attaches() == 1 && state.AutoStart(1); }));
        std::atomic<int> starts{0};
        link.SetResult("StartRead", 0);  // nothing opened: the slot's last open stays usable
        link.OnCall("StartRead", [&](unsigned) {
            if (++starts == 3) link.SetResult("StartRead", 1);  // from the fourth on
        });
        state.OnEvent(StatusEvent(1, passed ? status::kCompletion : status::kTestFailed));
        if (passed) {
            ASSERT_TRUE(Eventually([&] { return attaches() == 2; }));
        } else {
            ASSERT_TRUE(Eventually([&] { return starts >= 3 && watcher.DepartureRounds() >= 5; }));
            EXPECT_EQ(attaches(), 1u);
            EXPECT_TRUE(state.AwaitingDeparture(1));
        }
        watcher.Stop();
        for (auto& [port, problem] : window.PortReports()) ADD_FAILURE() << port << ": " << problem;
    }
}

}  // namespace
}  // namespace kestrow::engine
