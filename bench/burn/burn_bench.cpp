// burn_bench [gang] [rearm] [efficiency] [idle]   (no argument: all four)
//
// gang:       1, 16 and 32 paced virtual boards, each its own vboard process
//             on its own port, burned at once by one `kestrow burn
//             --all-ports` on a copy of the sample station (115200 baud, its
//             64 KiB boot loader). Prints the wall time of N boards as a ratio
//             of one board alone, the station's CPU seconds per board, and how
//             many boards passed and hold the boot loader in their saved flash.
// rearm:      (a) from a board appearing on a watched port to the first wake
//             character the station sends it, over 50 plugs; (b) from a burn's
//             end (its result) to its port being watched again, over 20 burns.
// efficiency: one paced board, a boot loader and a whole-flash image, at
//             115200 and 921600: the burn's protocol minimum (every byte both
//             ways at baud/10 plus every pause the protocol prescribes) as a
//             share of its wall time, from "Start burn" to "Completion".
// idle:       the CPU the station spends watching a port whose board never answers.
#include "kestrow/config/language_table.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/engine/corvel_link.h"
#include "kestrow/engine/queued_window.h"
#include "kestrow/engine/status_codes.h"
#include "kestrow/station/station.h"
#include "tests/kestrow/engine/spi_nor_station.h"
#include "tools/vboard/virtual_board.h"

#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace kestrow;
using namespace kestrow::engine;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kFlashId = 0xEF4017;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

void WriteRandom(const std::string& path, std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(gen());
    std::ofstream(path, std::ios::binary) << bytes;
}

// ---- gang: separate processes, the kestrow program ----

struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;  // its standard output
};

Child Spawn(std::vector<std::string> args) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDERR_FILENO);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    return {pid, ::fdopen(pipeFds[0], "r")};
}

std::string ReadLine(FILE* in) {
    char line[512];
    if (std::fgets(line, sizeof line, in) == nullptr) return "";
    return std::string(line, std::strcspn(line, "\r\n"));
}

struct GangRun {
    double wall = 0, cpu = 0;
    unsigned passed = 0;
    unsigned flashed = 0;  // boards whose saved flash holds the boot loader
};

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Behind its 512-byte header the flash holds the boot loader, but for the 60
// bytes of flash parameters the station writes behind the file's "SPIP".
bool FlashHoldsBootLoader(const std::string& flash, const std::string& boot) {
    const std::size_t marker = boot.find("SPIP");
    if (marker == std::string::npos || flash.size() < boot.size()) return false;
    const std::size_t params = marker + 4;
    return flash.compare(512, params - 512, boot, 512, params - 512) == 0 &&
           flash.compare(params + 60, boot.size() - params - 60, boot, params + 60) == 0;
}

// N boards, each its own vboard process, burned by one kestrow burn --all-ports.
GangRun BurnGang(const std::string& station, unsigned boards) {
    std::vector<Child> fleet;
    std::string announced;
    auto flashFile = [&](unsigned i) { return station + "/flash-" + std::to_string(i) + ".bin"; };
    for (unsigned i = 0; i < boards; ++i) {
        fs::remove(flashFile(i));
        fleet.push_back(Spawn({VBOARD_PROGRAM, "--chip-type", "8", "--flash-id", "0xef4017", "--flash-size", "8388608",
                               "--pace", "--boards", "1", "--save-flash", flashFile(i)}));
        announced += ReadLine(fleet.back().out) + "\n";
    }
    std::ofstream(station + "/virtual_ports.txt") << announced;
    GangRun run;
    auto start = Clock::now();
    Child kestrow = Spawn({KESTROW_PROGRAM, "burn", "--station", station, "--all-ports", "--boards",
                           std::to_string(boards), "--json", "--timeout", "600"});
    for (std::string line; !(line = ReadLine(kestrow.out)).empty();) {
        const nlohmann::json record = nlohmann::json::parse(line);
        if (record.value("result", "") == "passed") ++run.passed;
        else std::printf("    not passed: %s\n", line.c_str());
    }
    int status = 0;
    rusage use{};
    ::wait4(kestrow.pid, &status, 0, &use);
    run.wall = Seconds(Clock::now() - start);
    run.cpu = use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    std::fclose(kestrow.out);
    for (Child& board : fleet) {
        ::kill(board.pid, SIGTERM);
        ::waitpid(board.pid, nullptr, 0);
        std::fclose(board.out);
    }
    const std::string boot = ReadBytes(station + "/u-boot.bin");
    for (unsigned i = 0; i < boards; ++i) run.flashed += FlashHoldsBootLoader(ReadBytes(flashFile(i)), boot);
    return run;
}

void Gang(const std::string& folder) {
    const std::string station = folder + "/gang-station";
    fs::copy(KESTROW_SAMPLE_STATION, station, fs::copy_options::recursive);
    std::printf("gang: paced boards at 115200, each its own vboard process, one kestrow burn --all-ports\n");
    GangRun one = BurnGang(station, 1);
    std::printf("  %2u board alone:  %6.2f s wall, %.3f CPU s, %u passed, %u flashes right\n", 1u, one.wall,
                one.cpu, one.passed, one.flashed);
    for (unsigned boards : {16u, 32u}) {
        GangRun many = BurnGang(station, boards);
        std::printf("  %2u boards at once: %6.2f s wall, %.3f CPU s, %u passed, %u flashes right: ratio %.3f "
                    "(goal <= %.2f), %.3f CPU s per board\n",
                    boards, many.wall, many.cpu, many.passed, many.flashed, many.wall / one.wall,
                    boards == 16 ? 1.05 : 1.10, many.cpu / boards);
    }
}

// ---- in-process stations ----

// A window that notes when each status is posted, on the posting thread.
class StampedWindow : public QueuedWindow {
public:
    void Post(const StationEvent& event) override {
        if (event.kind == EventKind::Status) {
            std::lock_guard lock(mutex_);
            stamps_.push_back({event.value, Clock::now()});
        }
        QueuedWindow::Post(event);
    }
    // When `code` was last posted.
    Clock::time_point Stamp(unsigned code) {
        std::lock_guard lock(mutex_);
        for (auto it = stamps_.rbegin(); it != stamps_.rend(); ++it)
            if (it->first == code) return it->second;
        return {};
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<unsigned, Clock::time_point>> stamps_;
};

// A link that notes when each port is woken.
class StampedLink : public CorvelLink {
public:
    unsigned StartRead(const std::string& port, unsigned index, unsigned chipType) override {
        {
            std::lock_guard lock(mutex_);
            wakes_.push_back(Clock::now());
        }
        return CorvelLink::StartRead(port, index, chipType);
    }
    // The first wake after `after`.
    std::optional<Clock::time_point> WakeAfter(Clock::time_point after) {
        std::lock_guard lock(mutex_);
        for (Clock::time_point t : wakes_)
            if (t > after) return t;
        return std::nullopt;
    }

private:
    std::mutex mutex_;
    std::vector<Clock::time_point> wakes_;
};

struct Bench {
    explicit Bench(const std::string& folder, std::uint32_t flashSize) : language(folder) {
        language.SetLanguage("");
        testing::UseSpiNorStation(config, 1, kFlashId, flashSize, 65536);
        config.spinor_list[0].page_size = 256;
        config.spinor_list[0].program_size = 256;
        config.spinor_list[0].clock = 20000000;
        config.platform_type = 2;
        config.burned_mode = 1;
        config.active_ram_tables = {{{0x08000000, 0x11}, {0x08000004, 0x22}}};
    }
    ~Bench() { station.Close(); }
    // As `kestrow burn` does: every board recorded (records.db in the folder).
    void Watch(const std::string& port) {
        station.SetPorts({port});
        station.Open(1);
        if (station.Records() == nullptr) station.OpenRecords("");
        station.StartWatching();
    }
    // Hands events to the station until a result; `onReady` runs before a
    // Ready is handled (the burn starts from it). The result's code, or 0.
    unsigned PumpOne(const std::function<void()>& onReady = {}, std::chrono::seconds limit = std::chrono::seconds(300)) {
        auto until = Clock::now() + limit;
        while (auto m = window.Pop(until)) {
            if (!m->event) continue;
            const StationEvent& e = *m->event;
            const StatusInfo* info = e.kind == EventKind::Status ? FindStatus(e.value) : nullptr;
            if (info && info->code == status::kReady && onReady) onReady();
            station.State().OnEvent(e);
            if (info && (info->kind == StatusKind::Success || info->kind == StatusKind::Failure)) return e.value;
        }
        return 0;
    }

    config::BurnConfig config;
    config::LanguageTable language;
    StampedLink link;
    StampedWindow window;
    station::Station station{{config, language, link, window}};
};

vboard::BoardOptions Board(std::uint32_t flashSize, bool pace) {
    vboard::BoardOptions o;
    o.chipType = 8;
    o.flashId = kFlashId;
    o.flashSize = flashSize;
    o.pace = pace;
    return o;
}

void Rearm(const std::string& folder) {
    WriteRandom(folder + "/boot.bin", 64 * 1024, 2);
    std::printf("re-arm: one watched port\n");
    {
        // A port the station watches while no board answers; at a random moment
        // a board is there and waits for the first wake character.
        int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::grantpt(master);
        ::unlockpt(master);
        char name[128];
        ::ptsname_r(master, name, sizeof name);
        Bench bench(folder, 8 << 20);
        bench.Watch(name);
        std::mt19937 gen(7);
        std::vector<double> latencies;
        char buffer[256];
        auto drain = [&] {
            while (::read(master, buffer, sizeof buffer) > 0) {
            }
        };
        for (int plug = 0; plug < 50; ++plug) {
            auto absentUntil = Clock::now() + std::chrono::milliseconds(50 + gen() % 250);
            while (Clock::now() < absentUntil) {
                drain();
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            drain();
            const auto appeared = Clock::now();
            for (bool woken = false; !woken && Clock::now() - appeared < std::chrono::seconds(5);) {
                pollfd p{master, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) continue;
                ssize_t n = ::read(master, buffer, sizeof buffer);
                woken = n > 0 && std::memchr(buffer, 'k', static_cast<std::size_t>(n)) != nullptr;
                if (woken) latencies.push_back(1000 * Seconds(Clock::now() - appeared));
            }
        }
        ::close(master);
        std::printf("  board appearing -> first wake character: p50 %.1f ms, p95 %.1f ms over %zu plugs "
                    "(goal p95 <= 150 ms)\n",
                    Percentile(latencies, 0.5), Percentile(latencies, 0.95), latencies.size());
    }
    {
        constexpr unsigned kBurns = 20;
        vboard::BoardOptions options = Board(8 << 20, false);
        options.boards = kBurns;
        vboard::VirtualBoard board(options);
        Bench bench(folder, 8 << 20);
        bench.Watch(board.PortPath());
        std::vector<double> latencies;
        for (unsigned i = 0; i < kBurns; ++i) {
            if (bench.PumpOne() != status::kCompletion) break;
            const Clock::time_point ended = bench.window.Stamp(status::kCompletion);
            for (int wait = 0; wait < 2000 && !bench.link.WakeAfter(ended); ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            if (auto woken = bench.link.WakeAfter(ended)) latencies.push_back(1000 * Seconds(*woken - ended));
        }
        std::printf("  burn's result -> its port watched again: p50 %.1f ms, p95 %.1f ms over %zu burns\n",
                    Percentile(latencies, 0.5), Percentile(latencies, 0.95), latencies.size());
    }
}

// What the board saw, to count the protocol's work from.
struct BoardTally {
    std::map<unsigned, vboard::VirtualBoard::WireBytes> wire;
    std::vector<std::string> lines;
    std::size_t ram_pairs = 0;
    std::vector<vboard::Upload> uploads;
    std::size_t commands = 0;
};

BoardTally Tally(const vboard::VirtualBoard& board) {
    return {board.Wire(), board.Lines(), board.RamPairs().size(), board.Uploads(), board.ProducerCommands().size()};
}

// The protocol's pauses of the host between "Start burn" and "Completion".
namespace pause {
constexpr double kBeforeEchoedChar = 0.010, kAfterEchoedChar = 0.001;
constexpr double kPerRamPair = 0.020, kAfterRamTable = 0.005;
constexpr double kAfterOpen = 0.010, kAfterDownloadCommand = 0.023, kPerUploadChunk = 0.005;
constexpr double kAfterUpload = 0.500, kAfterGo = 0.003;
constexpr double kPortSwitch = 0.020 + 0.010;  // the port closed, then reopened at the working rate
constexpr double kProducerStart = 0.350;
constexpr double kPerCommandBlock = 0.005;
}  // namespace pause
constexpr double kCommandBlock = 31, kRamPair = 8, kRamEnd = 4;

// The rate the boot ROM talks at once it has taken the station's baud selector.
double BootRomRate(unsigned linkBaud) {
    if (linkBaud == 115200) return 115200;
    return linkBaud == 921600 || linkBaud == 1000000 || linkBaud == 1500000 ? 1000000 : 2000000;
}

// The shortest time the protocol allows for what crossed the wire between
// `before` and `after`: every byte both ways at baud/10, one after the
// other, plus every pause the protocol prescribes. Where the host writes and
// then pauses without waiting for an answer (a RAM pair, an upload, a
// command block), the bytes cross during the pause: the longer of the two counts.
double ProtocolMinimum(const BoardTally& before, const BoardTally& after, unsigned linkBaud) {
    double wire = 0, pauses = 0;
    for (const auto& [baud, bytes] : after.wire) {
        auto was = before.wire.find(baud);
        std::uint64_t crossed = bytes.in + bytes.out - (was == before.wire.end() ? 0 : was->second.in + was->second.out);
        wire += static_cast<double>(crossed) * 10.0 / baud;
    }
    auto overlapped = [&](double bytes, double baud, double pause) {
        double crossing = bytes * 10.0 / baud;
        wire -= crossing;
        pauses += std::max(crossing, pause);
    };
    const double rom = BootRomRate(linkBaud), link = linkBaud;
    for (std::size_t i = before.lines.size(); i < after.lines.size(); ++i) {
        const std::string& line = after.lines[i];
        if (line.empty()) continue;  // the bare return after download and go is not echoed
        pauses += static_cast<double>(line.size() + 1) * (pause::kBeforeEchoedChar + pause::kAfterEchoedChar);
        if (line == "draminit") overlapped(kRamEnd, rom, pause::kAfterRamTable);
    }
    for (std::size_t i = before.ram_pairs; i < after.ram_pairs; ++i) overlapped(kRamPair, rom, pause::kPerRamPair);
    const double chunk = linkBaud == 115200 ? 8192 : 16384;
    for (std::size_t i = before.uploads.size(); i < after.uploads.size(); ++i) {
        const double bytes = static_cast<double>(after.uploads[i].file.size() + 6);
        pauses += pause::kAfterOpen;
        overlapped(1, rom, pause::kAfterDownloadCommand);  // the return after "download"
        overlapped(bytes, rom, std::ceil(bytes / chunk) * pause::kPerUploadChunk + pause::kAfterUpload);
        overlapped(1, rom, pause::kAfterGo);  // the return after "go"
    }
    if (linkBaud != 115200) pauses += pause::kPortSwitch;
    pauses += pause::kProducerStart;
    for (std::size_t i = before.commands; i < after.commands; ++i)
        overlapped(kCommandBlock, link, pause::kPerCommandBlock);
    return wire + pauses;
}

void Efficiency(const std::string& folder) {
    WriteRandom(folder + "/producer.bin", 4096, 1);
    std::printf("efficiency: one paced board, protocol minimum / wall time from \"Start burn\" to \"Completion\"\n");
    struct Case {
        const char* what;
        unsigned baud;
        std::uint32_t flash, file;
    } cases[] = {{"boot loader, 64 KiB", 115200, 8 << 20, 64 << 10},
                 {"boot loader, 64 KiB", 921600, 8 << 20, 64 << 10},
                 {"whole-flash image, 256 KiB", 115200, 256 << 10, 256 << 10},
                 {"whole-flash image, 1 MiB", 921600, 1 << 20, 1 << 20}};
    for (const Case& c : cases) {
        WriteRandom(folder + "/boot.bin", c.file, 3);
        vboard::VirtualBoard board(Board(c.flash, true));
        Bench bench(folder, c.flash);
        bench.config.uart_baud = static_cast<std::int32_t>(c.baud);
        bench.Watch(board.PortPath());
        BoardTally before;
        unsigned result = bench.PumpOne([&] { before = Tally(board); });
        BoardTally after = Tally(board);
        if (result != status::kCompletion) {
            std::printf("  %-27s at %7u: the burn did not pass (%u)\n", c.what, c.baud, result);
            continue;
        }
        double wall = Seconds(bench.window.Stamp(status::kCompletion) - bench.window.Stamp(status::kStartBurn));
        double minimum = ProtocolMinimum(before, after, c.baud);
        std::printf("  %-27s at %7u: %7.3f s wall, %7.3f s protocol minimum: %.3f (goal >= 0.97)\n", c.what, c.baud,
                    wall, minimum, minimum / wall);
    }
}

void Idle(const std::string& folder, double seconds) {
    vboard::BoardOptions silent = Board(8 << 20, true);
    silent.faults = {vboard::Fault::Silent};
    vboard::VirtualBoard board(silent);
    Bench bench(folder, 8 << 20);
    double cpu = CpuSeconds();
    auto start = Clock::now();
    bench.Watch(board.PortPath());
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    bench.station.StopWatching();
    double wall = Seconds(Clock::now() - start);
    double used = CpuSeconds() - cpu;
    std::printf("idle watch: %.3f CPU s in %.1f s = %.2f%% of one core (goal < 1%%)\n", used, wall, 100.0 * used / wall);
}

}  // namespace

int main(int argc, char** argv) {
    std::set<std::string> parts(argv + 1, argv + argc);
    auto wanted = [&](const char* part) { return parts.empty() || parts.count(part) != 0; };
    const std::string folder = (fs::temp_directory_path() / ("kw_burn_bench_" + std::to_string(::getpid()))).string();
    fs::create_directories(folder + "/log");
    config::UseStationFolder(folder);
    CorvelLink link;
    if (link.Init(kMaxChannels, &BurnEngine::BurnEntry, &BurnEngine::ProgressEntry) != kLinkSuccess) {
        std::fprintf(stderr, "burn_bench: the transfer library did not start\n");
        return 1;
    }
    WriteRandom(folder + "/producer.bin", 4096, 1);
    std::printf("load average at the start: ");
    std::fflush(stdout);
    (void)!std::system("cut -d' ' -f1-3 /proc/loadavg");
    if (wanted("gang")) Gang(folder);
    if (wanted("rearm")) Rearm(folder);
    if (wanted("efficiency")) Efficiency(folder);
    if (wanted("idle")) Idle(folder, 30.0);
    std::printf("load average at the end: ");
    std::fflush(stdout);
    (void)!std::system("cut -d' ' -f1-3 /proc/loadavg");
    fs::remove_all(folder);
    return 0;
}
