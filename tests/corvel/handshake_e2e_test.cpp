// The boot handshake over a pseudo-terminal with a virtual board, through the
// exported functions of libcorvel.so alone.
#include "tests/corvel/board_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <ostream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

using namespace corvel_test;
using Handshake = BoardTest;

struct ChipCase {
    unsigned chip;
    bool secure;
    bool setsRegister;  // the attach writes 080000e8 = aa000000
    friend std::ostream& operator<<(std::ostream& os, const ChipCase& c) {
        return os << "type " << c.chip << (c.secure ? " secure" : "");
    }
};

class HandshakePerChip : public BoardTest, public ::testing::WithParamInterface<ChipCase> {};

TEST_P(HandshakePerChip, CompletesAndAttaches) {
    const ChipCase& c = GetParam();
    vboard::VirtualBoard& board = Board(c.chip, c.secure);
    ASSERT_EQ(WakeAndChoose(c.chip, c.secure, 921600), 1u);
    unsigned linkBaud = c.secure ? 115200 : 921600;
    ASSERT_EQ(KW_Attach_Uart(port_.c_str(), linkBaud, 0), 1u);
    EXPECT_EQ(board.Baud(), c.secure ? 115200u : 1000000u);
    EXPECT_EQ(board.GarbledBytes(), 0u);
    auto regs = board.Registers();
    if (c.setsRegister) {
        EXPECT_EQ(regs, (std::map<std::string, std::string>{{"080000e8", "aa000000"}}));
    } else {
        EXPECT_TRUE(regs.empty());
    }
    // The console after the prompt is captured in the station folder.
    if (c.setsRegister) {
        EXPECT_NE(ReadStationFile("log_file.txt").find("aa000000"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Chips, HandshakePerChip,
                         ::testing::Values(ChipCase{6, false, false}, ChipCase{7, false, true},
                                           ChipCase{8, false, true}, ChipCase{9, false, true},
                                           ChipCase{10, false, true}, ChipCase{11, false, false},
                                           ChipCase{6, true, false}, ChipCase{7, true, true},
                                           ChipCase{8, true, true}, ChipCase{9, true, false},
                                           ChipCase{10, true, true}, ChipCase{11, true, false}),
                         [](const auto& info) {
                             return "Type" + std::to_string(info.param.chip) + (info.param.secure ? "Secure" : "");
                         });

struct BaudCase {
    unsigned requested;
    unsigned boardBaud;
    friend std::ostream& operator<<(std::ostream& os, const BaudCase& c) { return os << c.requested << " baud"; }
};

class BaudChoice : public BoardTest, public ::testing::WithParamInterface<BaudCase> {};

TEST_P(BaudChoice, BoardAndPortAgreeOnTheChosenRate) {
    vboard::VirtualBoard& board = Board(8, false);
    ASSERT_EQ(WakeAndChoose(8, false, GetParam().requested), 1u);
    // The attach writes a register at the new rate: it only succeeds when both sides agree.
    ASSERT_EQ(KW_Attach_Uart(port_.c_str(), GetParam().requested, 0), 1u);
    EXPECT_EQ(board.Baud(), GetParam().boardBaud);
    EXPECT_EQ(board.GarbledBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rates, BaudChoice,
                         ::testing::Values(BaudCase{115200, 115200}, BaudCase{921600, 1000000},
                                           BaudCase{1000000, 1000000}, BaudCase{1500000, 1000000},
                                           BaudCase{3000000, 2000000}, BaudCase{6000000, 2000000}),
                         [](const auto& info) { return std::to_string(info.param.requested); });

// Two boards handshake at once, the second on channel 2: KW_Choose_Baud's
// success there is 2, its "no prompt yet" too; KW_Uart_SelectBaud's results
// tell them apart. The rate one channel chose holds for its own attach even
// when the other channel wakes its board in between.
TEST_F(Handshake, TwoChannelsHandshakeAtOnceAndChannelTwoCanTellItsResults) {
    vboard::BoardOptions options;
    options.chipType = 8;
    vboard::VirtualBoard first(options), second(options);
    const std::wstring portA = Wide(first.PortPath()), portB = Wide(second.PortPath());
    KW_Secuse_boot_flag(0);
    auto selectWhenPrompted = [](const std::wstring& port, unsigned index, unsigned baud) {
        for (int attempt = 0; attempt < 30; ++attempt) {
            if (KW_Start_Read(port.c_str(), index, SOC_FC_E1) != index + 1) return 0u;
            std::this_thread::sleep_for(30ms);
            unsigned r = KW_Uart_SelectBaud(port.c_str(), index, baud);
            if (r != BAUD_NO_PROMPT) return r;
        }
        return unsigned{BAUD_NO_PROMPT};
    };

    ASSERT_EQ(selectWhenPrompted(portA, 0, 921600), unsigned{BAUD_SELECTED});
    // Channel 2 wakes its board while channel 1 has yet to reopen at its new rate.
    ASSERT_EQ(KW_Start_Read(portB.c_str(), 1, SOC_FC_E1), 2u);
    ASSERT_EQ(KW_Attach_Uart(portA.c_str(), 921600, 0), 1u);
    EXPECT_EQ(first.Baud(), 1000000u);
    EXPECT_EQ(first.GarbledBytes(), 0u);

    KW_Detach_Uart(portB.c_str());
    ASSERT_EQ(selectWhenPrompted(portB, 1, 115200), unsigned{BAUD_SELECTED});
    ASSERT_EQ(KW_Attach_Uart(portB.c_str(), 115200, 1), 2u);
    EXPECT_EQ(second.Registers(), (std::map<std::string, std::string>{{"080000e8", "aa000000"}}));
    KW_Detach_Uart(portA.c_str());
    KW_Detach_Uart(portB.c_str());

    // KW_Choose_Baud keeps its results for the callers that rely on them: on
    // channel 2 a success is 2, as "no prompt yet" is.
    vboard::VirtualBoard third(options);
    const std::wstring portC = Wide(third.PortPath());
    ASSERT_EQ(KW_Start_Read(portC.c_str(), 1, SOC_FC_E1), 2u);
    unsigned prompted = 0;
    for (int i = 0; i < 500 && prompted != 1; ++i) {
        prompted = KW_check_secure_en(1);  // 1 once the prompt has been seen
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(prompted, 1u);
    EXPECT_EQ(KW_Choose_Baud(portC.c_str(), 1, 115200), 2u);
    EXPECT_EQ(KW_Attach_Uart(portC.c_str(), 115200, 1), 2u);
    EXPECT_EQ(third.Registers(), (std::map<std::string, std::string>{{"080000e8", "aa000000"}}));
    KW_Detach_Uart(portC.c_str());
}

TEST_F(Handshake, SecureCheckIsTwoWhileSilentThenOneExactlyOnce) {
    Board(9, true);
    ASSERT_EQ(KW_Start_Read(port_.c_str(), 0, SOC_FA_V3), 1u);
    std::vector<unsigned> results;
    for (int i = 0; i < 200 && (results.empty() || results.back() != 1); ++i) {
        results.push_back(KW_check_secure_en(0));
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(results.back(), 1u);
    // 2 while nothing is seen; then 0 while the prompt is seen but its watcher
    // has not confirmed it yet (a moment that a loaded machine stretches).
    size_t firstSeen = 0;
    while (firstSeen + 1 < results.size() && results[firstSeen] == 2) ++firstSeen;
    for (size_t i = firstSeen; i + 1 < results.size(); ++i) EXPECT_EQ(results[i], 0u) << "check " << i;
    for (int i = 0; i < 5; ++i) EXPECT_NE(KW_check_secure_en(0), 1u);
}

TEST_F(Handshake, SilentBoardNeverAnswers) {
    Board(8, false, {vboard::Fault::Silent});
    ASSERT_EQ(KW_Start_Read(port_.c_str(), 0, SOC_FC_E1), 1u);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(KW_check_secure_en(0), 2u);
    EXPECT_EQ(KW_Choose_Baud(port_.c_str(), 0, 921600), 2u);
    EXPECT_FALSE(board_->Awake());
}

// A silent board behind a symbolic link named as the port, woken once as the
// station wakes it: no prompt comes.
class SilentBoardBehindALink : public BoardTest {
protected:
    fs::path WakeSilentBoardBehindALink() {
        Board(8, false, {vboard::Fault::Silent});
        const fs::path link = station_ / "port";
        fs::create_symlink(board_->PortPath(), link);
        port_ = Wide(link.string());
        EXPECT_EQ(KW_Start_Read(port_.c_str(), 0, SOC_FC_E1), 1u);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(KW_Choose_Baud(port_.c_str(), 0, 115200), 2u);
        return link;
    }
};

// A board that never answered is unplugged and another plugged in under the
// same port name (a USB adapter comes back as the same device): the port held
// for the first one is dead, and the next wake must reach the new board.
TEST_F(SilentBoardBehindALink, BoardPluggedInWhereItWasUnpluggedIsFound) {
    const fs::path link = WakeSilentBoardBehindALink();

    vboard::BoardOptions good;
    good.chipType = 8;
    auto next = std::make_unique<vboard::VirtualBoard>(good);
    board_.reset();  // the silent board is unplugged
    fs::remove(link);
    fs::create_symlink(next->PortPath(), link);
    board_ = std::move(next);
    EXPECT_EQ(WakeAndChoose(8, false, 115200), 1u);
}

// The station keeps waking a port whose board never answered; once that board
// is unplugged, the threads that served the port must end with it.
TEST_F(SilentBoardBehindALink, UnpluggedLeavesNoThreadBehind) {
    auto threads = [] {
        return std::distance(fs::directory_iterator("/proc/self/task"), fs::directory_iterator());
    };
    const auto before = threads();
    const fs::path link = WakeSilentBoardBehindALink();

    board_.reset();
    fs::remove(link);
    // The port's reader notices the hang-up on its own time; until then the
    // port still looks open and the wake goes out as before.
    unsigned woken = 1;
    for (int round = 0; round < 100 && woken != 0; ++round) {
        std::this_thread::sleep_for(20ms);
        woken = KW_Start_Read(port_.c_str(), 0, SOC_FC_E1);
    }
    EXPECT_EQ(woken, 0u);
    EXPECT_EQ(threads(), before);
}

// The attach thread wakes a port while a burn worker closes it: both stop the
// port's prompt watcher, and a thread must never be joined twice.
TEST_F(Handshake, WakingAndClosingAPortAtOnceIsSafe) {
    Board(8, false, {vboard::Fault::Silent});
    const auto until = std::chrono::steady_clock::now() + 300ms;
    std::thread closer([&] {
        while (std::chrono::steady_clock::now() < until) KW_Detach_Uart(port_.c_str());
    });
    while (std::chrono::steady_clock::now() < until) KW_Start_Read(port_.c_str(), 0, SOC_FC_E1);
    closer.join();
    EXPECT_EQ(KW_Start_Read(port_.c_str(), 0, SOC_FC_E1), 1u);
}

TEST_F(Handshake, RefusedBaudCommandFailsAfterTheEchoTimeoutAndFreesThePort) {
    Board(8, false, {vboard::Fault::ErrComm});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WakeAndChoose(8, false, 921600), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 5s);
    // The port was closed: another channel can open it now.
    EXPECT_EQ(KW_Start_Read(port_.c_str(), 1, SOC_FC_E1), 2u);
}

TEST_F(Handshake, SecondOpenerOfAPortIsRefusedButTheSameChannelReusesIt) {
    Board(8, false);
    ASSERT_EQ(KW_Start_Read(port_.c_str(), 0, SOC_FC_E1), 1u);
    EXPECT_EQ(KW_Start_Read(port_.c_str(), 1, SOC_FC_E1), 0u);  // in use by channel 1
    EXPECT_EQ(KW_Uart_PortError(nullptr, 1, nullptr, 0), unsigned{PORT_IN_USE});
    EXPECT_EQ(KW_Start_Read(port_.c_str(), 0, SOC_FC_E1), 1u);  // the channel's own port
    EXPECT_EQ(WakeAndChoose(8, false, 115200), 1u);
}

TEST_F(Handshake, DetachingAnUnknownNameChangesNothing) {
    Board(6, false);
    ASSERT_EQ(WakeAndChoose(6, false, 115200), 1u);
    ASSERT_EQ(KW_Attach_Uart(port_.c_str(), 115200, 0), 1u);
    EXPECT_EQ(KW_Detach_Uart(L"/dev/pts/no-such-port"), 0u);
    EXPECT_EQ(KW_Detach_Uart(L""), 0u);
    EXPECT_EQ(KW_Start_Read(port_.c_str(), 1, SOC_FA_V5), 0u);  // still held by channel 1
    KW_Detach_Uart(port_.c_str());
    EXPECT_EQ(KW_Start_Read(port_.c_str(), 1, SOC_FA_V5), 2u);  // released
    KW_Detach_Uart(port_.c_str());
}

// The station answers a burn's failure status on another thread while the
// burn entry returns: it detaches the port and its next round opens the port
// for the next board at once. Opened before the worker has let go of the
// channel, that port would be closed by the end of the old burn.
struct EndingBurn {
    std::wstring oldPort, nextPort;
    std::mutex mutex;
    std::condition_variable done;
    bool ran = false;
    unsigned nextRound = 99;  // KW_Start_Read of the next board, inside the old burn
};
EndingBurn* g_ending = nullptr;

int DetachAndWatchOn(unsigned) {
    KW_Detach_Uart(g_ending->oldPort.c_str());
    unsigned r = KW_Start_Read(g_ending->nextPort.c_str(), 0, SOC_FC_E1);
    std::lock_guard lock(g_ending->mutex);
    g_ending->nextRound = r;
    g_ending->ran = true;
    g_ending->done.notify_all();
    return 0;
}

TEST_F(Handshake, PortOpenedWhileABurnEndsIsNotClosedByThatBurn) {
    Board(8, false);
    Attach(8, false, 115200);
    vboard::VirtualBoard next(vboard::BoardOptions{});
    EndingBurn ending;
    ending.oldPort = port_;
    ending.nextPort = Wide(next.PortPath());
    g_ending = &ending;
    ASSERT_EQ(KW_Init(2, DetachAndWatchOn, RecordProgress), 1u);
    ASSERT_EQ(KW_Start(), 1u);
    {
        std::unique_lock lock(ending.mutex);
        ASSERT_TRUE(ending.done.wait_for(lock, 10s, [&] { return ending.ran; }));
    }
    EXPECT_EQ(ending.nextRound, 0u) << "the next board's port was bound while the old burn still held the channel";

    // Once the worker has let go, the next round binds the next board, and it stays bound.
    unsigned bound = 0;
    for (int i = 0; i < 250 && bound == 0; ++i) {
        bound = KW_Start_Read(ending.nextPort.c_str(), 0, SOC_FC_E1);
        if (bound == 0) std::this_thread::sleep_for(20ms);
    }
    ASSERT_EQ(bound, 1u);
    ASSERT_EQ(KW_Init(2, NoBurn, RecordProgress), 1u);
    EXPECT_EQ(KW_Start(), 1u);
    // That burn over, the channel takes a port again (the fixture's, given back at the end).
    bound = 0;
    for (int i = 0; i < 250 && bound == 0; ++i) {
        bound = KW_Start_Read(port_.c_str(), 0, SOC_FC_E1);
        if (bound == 0) std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(bound, 1u);
    g_ending = nullptr;
}

TEST_F(Handshake, ChangeComReopensTheChannelPort) {
    Board(6, false);
    ASSERT_EQ(WakeAndChoose(6, false, 115200), 1u);
    ASSERT_EQ(KW_Attach_Uart(port_.c_str(), 115200, 0), 1u);
    EXPECT_EQ(KW_ChangeCom(port_.c_str(), 1, 1000000), 1u);
    EXPECT_EQ(KW_Start_Read(port_.c_str(), 1, SOC_FA_V5), 0u);  // held again by channel 1
    EXPECT_EQ(KW_ChangeCom(L"/dev/pts/no-such-port", 1, 115200), 0u);
}

// The station retries a port that cannot be opened round after round: each
// attempt keeps its reason, and the transfer log gets one line per change.
TEST_F(Handshake, UnopenablePortKeepsItsReasonAndIsLoggedOncePerChange) {
    constexpr unsigned kIndex = 5;
    Board(8, false);
    const std::string missing = (station_ / "no-such-port").string();
    const std::string plain = (station_ / "plain-file").string();
    WriteFile("plain-file", {1, 2, 3});
    struct Round {
        std::string port;
        unsigned error;
        std::string detail;
    } rounds[] = {
        {missing, PORT_MISSING, "No such file or directory"}, {missing, PORT_MISSING, "No such file or directory"},
        {missing, PORT_MISSING, "No such file or directory"}, {plain, PORT_NOT_SERIAL, "not a terminal device"},
        {plain, PORT_NOT_SERIAL, "not a terminal device"},    {board_->PortPath(), PORT_OK, ""},
        {missing, PORT_MISSING, "No such file or directory"},
    };
    for (const Round& r : rounds) {
        SCOPED_TRACE(r.port);
        EXPECT_EQ(KW_Start_Read(Wide(r.port).c_str(), kIndex, SOC_FC_E1), r.error == PORT_OK ? kIndex + 1 : 0u);
        wchar_t detail[64];
        EXPECT_EQ(KW_Uart_PortError(nullptr, kIndex, detail, 64), r.error);
        EXPECT_EQ(std::wstring(detail), Wide(r.detail));
    }
    std::vector<std::string> lines;
    const std::string log = TransferLogText();
    const std::string prefix = "KW_Start_Read: Open_Uart handle fail";
    for (size_t at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at + 1))
        lines.push_back(log.substr(at, log.find('\r', at) - at));
    EXPECT_EQ(lines, (std::vector<std::string>{prefix + " (" + missing + " missing: No such file or directory)",
                                               prefix + " (" + plain + " not a serial port: not a terminal device)",
                                               prefix + " (" + missing + " missing: No such file or directory)"}))
        << log;
    // A short buffer gets the start of the words and its terminator.
    wchar_t shortDetail[4];
    KW_Uart_PortError(nullptr, kIndex, shortDetail, 4);
    EXPECT_EQ(std::wstring(shortDetail), L"No ");
}

// Terminal programs announce a port they use with a UUCP lock file: a live
// owner keeps the station off the port, a dead owner's lock is stale.
TEST_F(Handshake, PortLockedByALiveProcessIsInUseAndAStaleLockIsIgnored) {
    constexpr unsigned kIndex = 1;  // a channel of the library, so that detaching closes its port
    Board(8, false);
    const fs::path locks = station_ / "locks";
    fs::create_directories(locks);
    ::setenv("KESTROW_LOCK_DIR", locks.c_str(), 1);
    const std::string device = fs::canonical(board_->PortPath()).string();  // /dev/pts/N
    const fs::path lock = locks / ("LCK.." + device.substr(5).replace(3, 1, "_"));
    auto writeLock = [&](pid_t owner) {
        std::ofstream(lock) << std::string(10 - std::to_string(owner).size(), ' ') << owner << "\n";
    };

    writeLock(::getppid());
    wchar_t detail[128];
    EXPECT_EQ(KW_Start_Read(port_.c_str(), kIndex, SOC_FC_E1), 0u);
    EXPECT_EQ(KW_Uart_PortError(nullptr, kIndex, detail, 128), unsigned{PORT_IN_USE});
    EXPECT_EQ(std::wstring(detail), Wide("lock file " + lock.string() + " of process " + std::to_string(::getppid())));
    EXPECT_EQ(KW_Uart_PortError(port_.c_str(), KW_MAX_CHANNELS, nullptr, 0), unsigned{PORT_IN_USE});

    pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    writeLock(child);
    EXPECT_EQ(KW_Uart_PortError(port_.c_str(), KW_MAX_CHANNELS, nullptr, 0), unsigned{PORT_OK});
    EXPECT_EQ(KW_Start_Read(port_.c_str(), kIndex, SOC_FC_E1), kIndex + 1);
    KW_Detach_Uart(port_.c_str());
    ::unsetenv("KESTROW_LOCK_DIR");
}

// Looking at a port opens nothing, so it can be asked of any name.
TEST_F(Handshake, LookingAtAPortTellsMissingNotSerialAndUsable) {
    Board(8, false);
    WriteFile("plain-file", {1});
    struct Case {
        std::string port;
        unsigned error;
    } cases[] = {{(station_ / "gone").string(), PORT_MISSING},
                 {(station_ / "plain-file").string(), PORT_NOT_SERIAL},
                 {"/dev/null", PORT_NOT_SERIAL},
                 {board_->PortPath(), PORT_OK}};
    for (const Case& c : cases)
        EXPECT_EQ(KW_Uart_PortError(Wide(c.port).c_str(), KW_MAX_CHANNELS, nullptr, 0), c.error) << c.port;
    EXPECT_EQ(KW_Uart_PortError(nullptr, KW_MAX_CHANNELS, nullptr, 0), unsigned{PORT_OPEN_FAILED});
}

}  // namespace
