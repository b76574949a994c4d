// One station burning on several ports at once over the transfer library,
// against virtual boards: each port is watched, attached, burned and re-armed
// by itself, whatever the boards on the other ports do. A port is a symbolic
// link in the station folder, pointed at a board's pseudo-terminal as a board
// is plugged in there.
#include "tests/kestrow/engine/station_harness.h"

#include <set>

namespace kestrow::engine::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct Result {
    unsigned channel;
    bool passed;
    unsigned status;
    bool operator==(const Result&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Result& r) {
    return out << "channel " << r.channel << (r.passed ? " passed" : " failed") << " with " << r.status;
}

// The open descriptors and threads of this process. The library's own two
// log files (the transfer log and the console capture) are left out: they are
// process-wide and open or closed by whichever port wrote last.
struct Resources {
    std::multiset<std::string> fds;
    std::size_t threads = 0;
    bool operator==(const Resources&) const = default;
};

Resources ResourcesNow() {
    Resources r;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        std::string target = fs::read_symlink(entry.path(), ec).string();
        std::string name = fs::path(target).filename().string();
        if (name.starts_with("_log") || name == "log_file.txt") continue;
        r.fds.insert(target);
    }
    for (auto it = fs::directory_iterator("/proc/self/task"); it != fs::directory_iterator(); ++it) ++r.threads;
    return r;
}

std::ostream& operator<<(std::ostream& out, const Resources& r) {
    out << r.threads << " threads, descriptors:";
    for (const std::string& fd : r.fds) out << " " << fd;
    return out;
}

class GangE2eTest : public StationE2eTest {
protected:
    ~GangE2eTest() override {
        station_.Close();
        boards_.clear();
    }

    // A board plugged into port `name` (a link in the station folder), in
    // place of the one there before.
    vboard::VirtualBoard& Plug(const std::string& name, vboard::BoardOptions options) {
        boards_.erase(name);
        auto board = std::make_unique<vboard::VirtualBoard>(options, [this](unsigned, const std::vector<std::uint8_t>& f) {
            std::lock_guard lock(flash_mutex_);
            flashes_.push_back(f);
        });
        const fs::path link = dir_ / name, fresh = dir_ / (name + ".new");
        fs::create_symlink(board->PortPath(), fresh);
        fs::rename(fresh, link);
        return *(boards_[name] = std::move(board));
    }
    std::string Port(const std::string& name) const { return (dir_ / name).string(); }

    void StartGang(const std::vector<std::string>& ports) {
        link_.SecureBootFlag(0);
        station_.SetPorts(ports);
        station_.Open(static_cast<int>(ports.size()));
        station_.StartWatching();
    }

    // Hands every event to the station until `done` holds for the results so
    // far, by channel in the order they came; false on time-out.
    using ByChannel = std::map<unsigned, std::vector<Result>>;
    bool PumpUntil(const std::function<bool()>& done, std::chrono::seconds limit = 60s) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            auto m = window_.Pop(until);
            if (!m) {
                for (const auto& [channel, codes] : statuses_) {
                    std::string shown;
                    for (unsigned code : codes) shown += " " + std::to_string(code);
                    std::cout << "channel " << channel << ":" << shown << "\n";
                }
                for (const auto& [port, problem] : reports_) std::cout << port << ": " << problem << "\n";
                return false;
            }
            if (m->port_report) {
                reports_.emplace_back(m->port, m->port_problem);
                continue;
            }
            if (!m->event) continue;
            const StationEvent& event = *m->event;
            state_.OnEvent(event);
            if (event.kind != EventKind::Status) continue;
            statuses_[event.channel].push_back(event.value);
            const StatusInfo* info = FindStatus(event.value);
            if (info && (info->kind == StatusKind::Success || info->kind == StatusKind::Failure))
                results_[event.channel].push_back({event.channel, info->kind == StatusKind::Success, event.value});
        }
        return true;
    }
    // Until each of `channels` has `count` results.
    bool PumpResults(std::initializer_list<unsigned> channels, std::size_t count) {
        return PumpUntil([&] {
            return std::all_of(channels.begin(), channels.end(), [&](unsigned c) { return results_[c].size() >= count; });
        });
    }
    bool PortToldMissing(const std::string& port) const {
        return std::any_of(reports_.begin(), reports_.end(), [&](const auto& r) {
            return r.first == port && r.second.find(" is missing") != std::string::npos;
        });
    }

    // Every board that passed has the burn file behind its 512-byte header;
    // a board tells its flash shortly after its burn ended.
    void ExpectPassedFlashesHoldTheBurnFile(std::size_t passed) {
        const std::string text = ReadFile("boot.bin");
        const std::vector<std::uint8_t> file(text.begin(), text.end());
        std::size_t holding = 0;
        for (int wait = 0; wait < 500 && holding < passed; ++wait) {
            if (wait > 0) std::this_thread::sleep_for(10ms);
            std::lock_guard lock(flash_mutex_);
            holding = 0;
            for (const auto& flash : flashes_)
                holding += flash.size() >= file.size() && std::equal(file.begin() + 512, file.end(), flash.begin() + 512);
        }
        EXPECT_EQ(holding, passed);
    }

    static vboard::BoardOptions WithFault(const char* fault) {
        vboard::BoardOptions o = NorBoard();
        EXPECT_TRUE(vboard::ApplyFault(fault, o)) << fault;
        return o;
    }

    std::map<std::string, std::unique_ptr<vboard::VirtualBoard>> boards_;
    std::mutex flash_mutex_;
    std::vector<std::vector<std::uint8_t>> flashes_;
    std::map<unsigned, std::vector<unsigned>> statuses_;
    ByChannel results_;
    std::vector<std::pair<std::string, std::string>> reports_;
};

// Four ports: one board fails in the middle of its boot loader, one port never
// answers; the two others pass, and each port's next board burns.
TEST_F(GangE2eTest, FourPortsBurnAtOnceWhateverTheOthersDo) {
    const Resources idle = ResourcesNow();
    vboard::BoardOptions twoBoards = NorBoard();
    twoBoards.boards = 2;  // the next board appears where the first was burned
    Plug("a", twoBoards);
    Plug("b", WithFault("fail-code=13"));  // the boot loader's data refused
    Plug("c", WithFault("silent"));
    Plug("d", twoBoards);
    StartGang({Port("a"), Port("b"), Port("c"), Port("d")});

    ASSERT_TRUE(PumpResults({1, 2, 4}, 1));
    EXPECT_EQ(results_[1][0], (Result{1, true, 30}));
    EXPECT_EQ(results_[2][0], (Result{2, false, 78}));
    EXPECT_EQ(results_[4][0], (Result{4, true, 30}));
    EXPECT_NE(ChannelLogText(2).find("burn_spiflash fail."), std::string::npos);

    // The failed board is taken off, and a good one plugged in once the port waits for it.
    fs::remove(Port("b"));
    boards_.erase("b");
    ASSERT_TRUE(PumpUntil([&] { return state_.Rows()[1].waiting; }));
    Plug("b", NorBoard());
    ASSERT_TRUE(PumpResults({1, 2, 4}, 2));
    for (unsigned channel : {1u, 2u, 4u}) EXPECT_EQ(results_[channel][1], (Result{channel, true, 30}));
    EXPECT_EQ(statuses_.count(3), 0u);  // the silent port never became ready
    ExpectPassedFlashesHoldTheBurnFile(5);
    EXPECT_EQ(state_.WorkNumber(), 0);

    station_.Close();
    boards_.clear();
    EXPECT_EQ(ResourcesNow(), idle);
}

// A board unplugged in the middle of its burn fails alone; its port is told
// missing and burns the board plugged in next.
TEST_F(GangE2eTest, PortUnpluggedWhileTheOthersBurn) {
    Plug("a", NorBoard());
    Plug("b", WithFault("disconnect=20000"));
    Plug("c", NorBoard());
    StartGang({Port("a"), Port("b"), Port("c")});

    ASSERT_TRUE(PumpResults({1, 2, 3}, 1));
    EXPECT_EQ(results_[1][0], (Result{1, true, 30}));
    EXPECT_EQ(results_[2][0], (Result{2, false, 78}));
    EXPECT_EQ(results_[3][0], (Result{3, true, 30}));
    ASSERT_TRUE(PumpUntil([&] { return PortToldMissing(Port("b")); }));

    Plug("b", NorBoard());
    ASSERT_TRUE(PumpResults({2}, 2));
    EXPECT_EQ(results_[2][1], (Result{2, true, 30}));
    ExpectPassedFlashesHoldTheBurnFile(3);
}

// Channel 2, whose handshake result once read as "no prompt yet", and channel
// 16, the window's last, burn like channel 1.
TEST_F(GangE2eTest, ChannelsTwoAndSixteenBurn) {
    Plug("two", NorBoard());
    Plug("sixteen", NorBoard());
    std::vector<std::string> ports(16);
    ports[1] = Port("two");
    ports[15] = Port("sixteen");
    StartGang(ports);
    ASSERT_TRUE(PumpResults({2, 16}, 1));
    for (unsigned channel : {2u, 16u}) {
        EXPECT_EQ(results_[channel][0], (Result{channel, true, 30}));
        EXPECT_EQ(engine_.LastFlashId(channel), kE2eNorId) << channel;
        EXPECT_NE(ChannelLogText(channel).find("++Burn success++"), std::string::npos) << channel;
    }
    ExpectPassedFlashesHoldTheBurnFile(2);
}

// A board that fails but stays in its boot ROM (it never echoes the download
// command) is not burned again, however long it stays; once it has gone the
// port waits for the next board with the failure still on the row. (Retries
// are counted in the watcher's own tests.)
TEST_F(GangE2eTest, FailedBoardThatStaysInItsBootRomIsNotBurnedAgain) {
    Plug("a", WithFault("bad-echo"));
    Plug("b", NorBoard());
    StartGang({Port("a"), Port("b")});
    ASSERT_TRUE(PumpResults({1, 2}, 1));
    EXPECT_FALSE(results_[1][0].passed);
    EXPECT_TRUE(results_[2][0].passed);
    // Many looks at the failed board, which answers each of them.
    for (int wait = 0; wait < 3000 && station_.Watcher(1).DepartureRounds() < 5; ++wait)
        std::this_thread::sleep_for(10ms);
    ASSERT_GE(station_.Watcher(1).DepartureRounds(), 5u);
    while (auto m = window_.Pop(std::chrono::steady_clock::now()))
        if (m->event) state_.OnEvent(*m->event);
    EXPECT_EQ(results_[1].size(), 1u);
    const RowRecord& row = state_.Rows()[0];
    EXPECT_EQ(row.result, RowResult::Failed);
    EXPECT_TRUE(row.board_stays);
    EXPECT_FALSE(row.waiting);
    EXPECT_EQ(row.cause, "download producer fail.");
    EXPECT_TRUE(state_.Rows()[1].waiting);  // the passed port re-armed at once

    // Taken off the fixture: the row waits, its failure still shown.
    fs::remove(Port("a"));
    boards_.erase("a");
    ASSERT_TRUE(PumpUntil([&] { return state_.Rows()[0].waiting; }));
    EXPECT_EQ(state_.Rows()[0].result, RowResult::Failed);
    EXPECT_FALSE(state_.Rows()[0].board_stays);

    Plug("a", NorBoard());
    ASSERT_TRUE(PumpResults({1}, 2));
    EXPECT_TRUE(results_[1][1].passed);
    EXPECT_EQ(state_.Rows()[0].result, RowResult::Passed);
}

}  // namespace
}  // namespace kestrow::engine::testing
