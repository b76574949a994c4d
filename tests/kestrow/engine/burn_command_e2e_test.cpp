// `kestrow burn` as a production line runs it: boards appear one after another
// on the same port name (a link re-pointed to each new virtual board, as a
// fixture swaps boards under one cable).
#include "station_harness.h"

#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace kestrow::engine::testing {
namespace {

class BurnCommandTest : public StationFolderFixture {
public:
    BurnCommandTest() {
        std::filesystem::copy(KESTROW_SAMPLE_STATION, dir_,
                              std::filesystem::copy_options::recursive |
                                  std::filesystem::copy_options::overwrite_existing);
    }

    // Points the station's cable at `board`.
    void PlugIn(const vboard::VirtualBoard& board) {
        std::filesystem::path next = dir_ / "cable.next";
        std::filesystem::remove(next);
        std::filesystem::create_symlink(board.PortPath(), next);
        std::filesystem::rename(next, Cable());  // atomic: the station never sees no cable
    }
    std::string Cable() const { return (dir_ / "cable").string(); }

    // Runs kestrow with `args`; `onLine` sees every line of its standard output.
    int RunKestrow(const std::string& args, const std::function<void(const std::string&)>& onLine) {
        std::string command = std::string(KESTROW_PROGRAM) + " " + args + " 2>" + Path("stderr.txt");
        FILE* out = ::popen(command.c_str(), "r");
        if (!out) return -1;
        char line[4096];
        while (std::fgets(line, sizeof line, out)) onLine(line);
        int status = ::pclose(out);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static vboard::BoardOptions SampleBoard() {
        vboard::BoardOptions o;
        o.chipType = 8;
        o.flashId = 0xEF4017;  // the sample station's first SPI NOR entry
        o.flashSize = 8 * 1024 * 1024;
        return o;
    }
};

// Swaps boards under the cable as a line operator does. The station keeps the
// board it burns open, so the cable is moved to the next board (in its boot ROM,
// blank) as soon as the producer runs, after any port switch; the station finds
// it when it looks at the port again after the burn.
class BoardSwapper {
public:
    BoardSwapper(BurnCommandTest& test, std::size_t boards) {
        thread_ = std::jthread([this, &test, boards](std::stop_token stop) {
            auto current = std::make_unique<vboard::VirtualBoard>(BurnCommandTest::SampleBoard());
            test.PlugIn(*current);
            for (std::size_t i = 0; i < boards && !stop.stop_requested(); ++i) {
                auto next = std::make_unique<vboard::VirtualBoard>(BurnCommandTest::SampleBoard());
                if (!WaitForCommand(*current, kTestConnection, stop)) return;
                test.PlugIn(*next);
                if (!WaitForCommand(*current, kClose, stop)) return;
                std::lock_guard lock(mutex_);
                flashes_.push_back(current->Flash());
                burned_.push_back(std::move(current));
                current = std::move(next);
            }
            std::lock_guard lock(mutex_);
            burned_.push_back(std::move(current));  // a last blank board the station must leave alone
        });
    }
    std::vector<std::vector<std::uint8_t>> Flashes() {
        thread_.request_stop();
        thread_.join();
        return flashes_;
    }

private:
    static constexpr unsigned kTestConnection = 2;
    static constexpr unsigned kClose = 34;
    static bool WaitForCommand(const vboard::VirtualBoard& board, unsigned code, std::stop_token stop) {
        while (!stop.stop_requested()) {
            for (const auto& c : board.ProducerCommands())
                if (c.code == code) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> flashes_;
    std::vector<std::unique_ptr<vboard::VirtualBoard>> burned_;
    std::jthread thread_;
};

TEST_F(BurnCommandTest, BurnsThreeBoardsInARowWithRecordsAndLogs) {
    BoardSwapper swapper(*this, 3);
    while (!std::filesystem::is_symlink(Cable())) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::vector<nlohmann::json> records;
    int status = RunKestrow("burn --station " + dir_.string() + " --port " + Cable() + " --boards 3 --json --timeout 60",
                            [&](const std::string& line) { records.push_back(nlohmann::json::parse(line)); });
    std::vector<std::vector<std::uint8_t>> flashes = swapper.Flashes();
    EXPECT_EQ(status, 0) << ReadFile("stderr.txt");
    ASSERT_EQ(records.size(), 3u);
    ASSERT_EQ(flashes.size(), 3u);
    const std::string bootText = ReadFile("u-boot.bin");
    const std::vector<std::uint8_t> boot(bootText.begin(), bootText.end());
    for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i]["result"], "passed");
        EXPECT_EQ(records[i]["port"], Cable());
        EXPECT_EQ(records[i]["channel"], 1);
        EXPECT_EQ(records[i]["flash_id"], "0xef4017");
        EXPECT_EQ(records[i]["status"], "Completion");
        EXPECT_GT(records[i]["bytes"].get<unsigned>(), boot.size());
        EXPECT_GT(records[i]["duration_s"].get<double>(), 0.0);
        // Behind the 512-byte boot header the flash holds the file, except that
        // the flash parameters follow the file's "SPIP" marker.
        const std::vector<std::uint8_t>& flash = flashes[i];
        ASSERT_GE(flash.size(), boot.size());
        std::size_t params = bootText.find("SPIP") + 4;
        ASSERT_GT(params, 512u);
        EXPECT_TRUE(std::equal(boot.begin() + 512, boot.begin() + params, flash.begin() + 512));
        std::uint32_t id = 0;
        std::memcpy(&id, flash.data() + params, sizeof id);
        EXPECT_EQ(id, 0xEF4017u);
        EXPECT_TRUE(std::equal(boot.begin() + params + 60, boot.end(), flash.begin() + params + 60));
        EXPECT_TRUE(std::all_of(flash.begin() + 65536, flash.begin() + 131072, [](std::uint8_t b) { return b == 0xFF; }));
    }
    std::time_t now = std::time(nullptr);
    std::tm today{};
    localtime_r(&now, &today);
    std::string log = ReadFile(ChannelLogName(1, today));
    std::size_t headers = 0, successes = 0;
    for (std::size_t at = 0; (at = log.find("Burn Information For Channel[1]", at)) != std::string::npos; ++at) ++headers;
    for (std::size_t at = 0; (at = log.find("++Burn success++", at)) != std::string::npos; ++at) ++successes;
    EXPECT_EQ(headers, 3u);
    EXPECT_EQ(successes, 3u);
}

// Several ports at once: --all-ports takes every usable port the search finds
// (here the boards announced in the station folder) in the search's order,
// one channel each; every board burns and its record names port and channel.
TEST_F(BurnCommandTest, AllPortsBurnsEveryAnnouncedBoardAtOnce) {
    std::vector<std::unique_ptr<vboard::VirtualBoard>> boards;
    std::string announced;
    for (int i = 0; i < 3; ++i) {
        boards.push_back(std::make_unique<vboard::VirtualBoard>(SampleBoard()));
        announced += boards.back()->PortPath() + "\n";
    }
    WriteFile("virtual_ports.txt", announced);
    std::vector<nlohmann::json> records;
    int status = RunKestrow("burn --station " + dir_.string() + " --all-ports --boards 3 --json --timeout 60",
                            [&](const std::string& line) { records.push_back(nlohmann::json::parse(line)); });
    EXPECT_EQ(status, 0) << ReadFile("stderr.txt");
    ASSERT_EQ(records.size(), 3u);
    std::map<std::string, unsigned> channelOf;
    for (const nlohmann::json& r : records) {
        EXPECT_EQ(r["result"], "passed") << r.dump();
        channelOf[r["port"].get<std::string>()] = r["channel"].get<unsigned>();
    }
    for (std::size_t i = 0; i < boards.size(); ++i) {
        EXPECT_EQ(channelOf[boards[i]->PortPath()], i + 1) << boards[i]->PortPath();
        EXPECT_FALSE(boards[i]->Flash().empty());
    }
    const std::string err = ReadFile("stderr.txt");
    EXPECT_NE(err.find("watching " + boards[0]->PortPath() + " (channel 1), " + boards[1]->PortPath() + " (channel 2)"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("channel 3, " + boards[2]->PortPath()), std::string::npos) << err;  // its summary line
}

// The library has 32 channels: a port given 20th burns on channel 20 while
// the ports before it have no board.
TEST_F(BurnCommandTest, PortsBeyondTheWindowsSixteenBurnToo) {
    vboard::VirtualBoard board(SampleBoard());
    std::string ports;
    for (int i = 1; i < 20; ++i) ports += " --port " + Path("absent" + std::to_string(i));
    std::vector<nlohmann::json> records;
    int status = RunKestrow("burn --station " + dir_.string() + ports + " --port " + board.PortPath() +
                                " --boards 1 --json --timeout 60",
                            [&](const std::string& line) { records.push_back(nlohmann::json::parse(line)); });
    EXPECT_EQ(status, 0) << ReadFile("stderr.txt");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["channel"], 20);
    EXPECT_EQ(records[0]["port"], board.PortPath());
    EXPECT_EQ(records[0]["result"], "passed");
    EXPECT_NE(ReadFile("stderr.txt").find("warning: " + Path("absent1") + " is missing"), std::string::npos);
}

TEST_F(BurnCommandTest, PortListsThatCannotBeWatchedAreRefused) {
    std::string many;
    for (int i = 0; i < 33; ++i) many += " --port " + Path("p" + std::to_string(i));
    struct Case {
        std::string args;
        const char* stderr_text;
    } cases[] = {
        {" --port " + Path("a") + " --port " + Path("a"), "is given twice"},
        {" --port " + Path("a") + " --all-ports", "excludes"},
        {many, "33 ports given; at most 32 can be watched"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        int status = RunKestrow("burn --station " + dir_.string() + c.args + " --timeout 5", [](const std::string&) {});
        EXPECT_EQ(status, 2);
        EXPECT_NE(ReadFile("stderr.txt").find(c.stderr_text), std::string::npos) << ReadFile("stderr.txt");
    }
}

TEST_F(BurnCommandTest, ExitStatusTellsFailureConfigurationErrorAndTimeOut) {
    struct Case {
        const char* name;
        const char* fault;  // nullptr: a healthy board; "" no board at all
        std::string extra;
        int status;
        const char* stderr_text;
    } cases[] = {
        {"failed burn", "fail-code=2", "", 1, ""},
        {"no board", "", "--timeout 1", 3, "timed out"},
        {"missing chip tables", nullptr, "", 2, "SDK_CPU_DDR2.ini"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<vboard::VirtualBoard> board;
        vboard::BoardOptions options = SampleBoard();
        if (c.fault && *c.fault) {
            ASSERT_TRUE(vboard::ApplyFault(c.fault, options));
        }
        if (!c.fault || *c.fault) {
            board = std::make_unique<vboard::VirtualBoard>(options);
            PlugIn(*board);
        } else {
            std::filesystem::remove(Cable());
        }
        if (!c.fault) std::filesystem::rename(Path("SDK_CPU_DDR2.ini"), Path("tables.bak"));
        std::vector<std::string> lines;
        int status = RunKestrow("burn --station " + dir_.string() + " --port " + Cable() + " " + c.extra,
                                [&](const std::string& line) { lines.push_back(line); });
        if (!c.fault) std::filesystem::rename(Path("tables.bak"), Path("SDK_CPU_DDR2.ini"));
        EXPECT_EQ(status, c.status);
        EXPECT_NE(ReadFile("stderr.txt").find(c.stderr_text), std::string::npos) << ReadFile("stderr.txt");
        if (c.status == 1) {
            ASSERT_FALSE(lines.empty());
            EXPECT_NE(lines[lines.size() - 3].find("board 1 on channel 1: FAILED"), std::string::npos)
                << lines[lines.size() - 3];
        }
    }
}

// --timeout: refused when it cannot be a time; when it runs out while a board
// step is blocked (an acknowledgement that never comes, which the library
// waits 10 s for), the run ends at once with that board interrupted.
TEST_F(BurnCommandTest, TimeoutIsCheckedAndEndsARunWhoseBoardIsBlocked) {
    struct Refused {
        const char* value;
        const char* stderr_text;
    } refused[] = {
        {"nan", "--timeout nan is not a number of seconds"},
        {"abc", "--timeout abc is not a number of seconds"},
        {"-1", "--timeout -1 is negative (0 means no limit)"},
        {"inf", "--timeout inf is too long to schedule"},
        {"1e300", "--timeout 1e300 is too long to schedule"},
    };
    std::filesystem::remove(Cable());
    for (const Refused& c : refused) {
        SCOPED_TRACE(c.value);
        int status = RunKestrow("burn --station " + dir_.string() + " --port " + Cable() + " --timeout " + c.value,
                                [](const std::string&) {});
        EXPECT_EQ(status, 2);
        EXPECT_NE(ReadFile("stderr.txt").find(c.stderr_text), std::string::npos) << ReadFile("stderr.txt");
    }
    std::string help;
    EXPECT_EQ(RunKestrow("burn --help", [&](const std::string& line) { help += line; }), 0);
    EXPECT_NE(help.find("(default 0: no limit)"), std::string::npos) << help;

    vboard::BoardOptions options = SampleBoard();
    ASSERT_TRUE(vboard::ApplyFault("drop-ack=1", options));
    vboard::VirtualBoard board(options);
    PlugIn(board);
    std::vector<nlohmann::json> records;
    const auto started = std::chrono::steady_clock::now();
    int status = RunKestrow("burn --station " + dir_.string() + " --port " + Cable() + " --json --timeout 2",
                            [&](const std::string& line) { records.push_back(nlohmann::json::parse(line)); });
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(status, 3) << ReadFile("stderr.txt");
    // Before the blocked step's own 10 s: the run did not wait for it.
    EXPECT_LT(took, std::chrono::seconds(10));
    ASSERT_EQ(records.size(), 1u) << ReadFile("stderr.txt");
    EXPECT_EQ(records[0]["result"], "interrupted");
    EXPECT_EQ(records[0]["cause"], "interrupted: the --timeout of 2 s ran out");
    const std::string err = ReadFile("stderr.txt");
    EXPECT_NE(err.find("summary: 0 passed, 0 failed, 1 interrupted"), std::string::npos) << err;
    std::string channelLogs;  // the program's clock names them, not the test's
    for (const auto& entry : std::filesystem::directory_iterator(dir_ / "log"))
        if (entry.path().filename().string().starts_with("ch")) channelLogs += ReadFile("log/" + entry.path().filename().string());
    EXPECT_NE(channelLogs.find("interrupted: the --timeout of 2 s ran out"), std::string::npos) << channelLogs;
}

}  // namespace
}  // namespace kestrow::engine::testing
