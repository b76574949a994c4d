// burn_bench [boards] [idle-seconds]
//
// 1. Burns one virtual board alone, then `boards` (default 15) at once on
//    channels 1 and 3..16, each board pacing its wire at the link rate as a real
//    serial line does. Prints the parallel wall time as a ratio of the single
//    board's, and the CPU seconds the station spends per burned board.
// 2. Watches a port whose board never answers for `idle-seconds` (default 60)
//    and prints the station's CPU use as a share of one core.
#include "kestrow/config/language_table.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/engine/burn_engine.h"
#include "kestrow/engine/corvel_link.h"
#include "kestrow/engine/port_watcher.h"
#include "kestrow/engine/queued_window.h"
#include "kestrow/engine/station_state.h"
#include "kestrow/engine/status_codes.h"
#include "kestrow/station/station.h"
#include "tests/kestrow/engine/spi_nor_station.h"
#include "tools/vboard/virtual_board.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kestrow;
using namespace kestrow::engine;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint32_t kFlashId = 0xEF4017;
constexpr std::uint32_t kFlashSize = 8 * 1024 * 1024;
constexpr std::size_t kBootBytes = 64 * 1024;

double CpuSeconds() {
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return use.ru_utime.tv_sec + use.ru_stime.tv_sec + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

void WriteRandom(const std::string& path, std::size_t size, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(gen());
    std::ofstream(path, std::ios::binary) << bytes;
}

struct Bench {
    explicit Bench(const std::string& folder) : language(folder) {
        language.SetLanguage("");
        testing::UseSpiNorStation(config, static_cast<int>(kMaxStationChannels), kFlashId, kFlashSize, 65536);
        config.spinor_list[0].clock = 20000000;
        config.platform_type = 2;
        config.active_ram_tables = {{{0x08000000, 0x11}}};
        station.Open(config.device_channel);
    }

    // Hands the window's messages to the station until `boards` results arrived.
    int Pump(unsigned boards) {
        int passed = 0;
        unsigned results = 0;
        auto until = Clock::now() + std::chrono::minutes(5);
        while (results < boards) {
            auto m = window.Pop(until);
            if (!m) break;
            if (!m->event) continue;
            const StationEvent& event = *m->event;
            const StatusInfo* info = event.kind == EventKind::Status ? FindStatus(event.value) : nullptr;
            // The run is started once for all boards (below); a Start per
            // Ready could wake a channel a second time while its worker starts.
            if (info && info->code == status::kReady) continue;
            if (info && (info->kind == StatusKind::Success || info->kind == StatusKind::Failure)) {
                ++results;
                passed += info->kind == StatusKind::Success;
            }
            state.OnEvent(event);
        }
        while (engine.RunningBurns() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return passed;
    }

    bool Attach(const std::string& port, unsigned slot) {
        state.SetPort(slot + 1, port);
        for (int attempt = 0; attempt < 20; ++attempt) {
            link.StartRead(port, slot, static_cast<unsigned>(config.chip_type));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (station.Watcher(slot + 1).Attach(port, slot)) return true;
        }
        return false;
    }

    config::BurnConfig config;
    config::LanguageTable language;
    CorvelLink link;
    QueuedWindow window;
    station::Station station{{config, language, link, window}};
    StationState& state = station.State();
    BurnEngine& engine = station.Engine();
};

vboard::BoardOptions PacedBoard() {
    vboard::BoardOptions o;
    o.chipType = 8;
    o.flashId = kFlashId;
    o.flashSize = kFlashSize;
    o.pace = true;
    return o;
}

struct Run {
    double wall = 0, cpu = 0;
    int passed = 0;
    unsigned attached = 0;
};

// Channel slot of the i-th board. Channel 2 is left out: the baud handshake's
// success result for it equals its "no prompt yet" code.
unsigned SlotOf(unsigned i) { return i == 0 ? 0 : i + 1; }

// Attaches `boards` boards to channels 1, 3, 4, ... and burns them in one run.
Run BurnTogether(const std::string& folder, unsigned boards) {
    std::vector<std::unique_ptr<vboard::VirtualBoard>> fleet;
    for (unsigned i = 0; i < boards; ++i) fleet.push_back(std::make_unique<vboard::VirtualBoard>(PacedBoard()));
    Bench station(folder);
    Run run;
    for (unsigned i = 0; i < boards; ++i) run.attached += station.Attach(fleet[i]->PortPath(), SlotOf(i));
    if (run.attached < boards) std::printf("  only %u of %u boards could be attached\n", run.attached, boards);
    double cpu = CpuSeconds();
    auto start = Clock::now();
    station.state.Start();
    run.passed = station.Pump(run.attached);
    run.wall = std::chrono::duration<double>(Clock::now() - start).count();
    run.cpu = CpuSeconds() - cpu;
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned boards = argc > 1 ? static_cast<unsigned>(std::stoul(argv[1])) : kMaxStationChannels - 1;
    double idleSeconds = argc > 2 ? std::stod(argv[2]) : 60.0;
    std::string folder = (std::filesystem::temp_directory_path() / ("kw_burn_bench_" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(folder + "/log");
    config::UseStationFolder(folder);
    WriteRandom(folder + "/producer.bin", 3000, 1);
    WriteRandom(folder + "/boot.bin", kBootBytes, 2);
    CorvelLink link;
    if (link.Init(kMaxStationChannels, &BurnEngine::BurnEntry, &BurnEngine::ProgressEntry) != kLinkSuccess) {
        std::fprintf(stderr, "burn_bench: the transfer library did not start\n");
        return 1;
    }

    std::printf("burn: %zu-byte boot loader, 115200 baud, paced virtual boards\n", kBootBytes);
    Run one = BurnTogether(folder, 1);
    std::printf("  1 board alone:   %.2f s wall, %.3f CPU s, %d passed\n", one.wall, one.cpu, one.passed);
    Run many = BurnTogether(folder, boards);
    std::printf("  %u boards at once: %.2f s wall, %.3f CPU s, %d passed\n", many.attached, many.wall, many.cpu,
                many.passed);
    if (many.passed == static_cast<int>(boards) && one.passed == 1) {
        std::printf("  wall time ratio (%u boards / 1 board): %.3f (goal <= 1.10)\n", boards, many.wall / one.wall);
        std::printf("  CPU seconds per burned board: %.3f (%u boards), %.3f (1 board)\n", many.cpu / boards,
                    boards, one.cpu);
    } else {
        std::printf("  no ratio: %d of %u boards burned together\n", many.passed, boards);
    }

    {
        vboard::BoardOptions silent = PacedBoard();
        silent.faults = {vboard::Fault::Silent};
        vboard::VirtualBoard board(silent);
        Bench station(folder);
        station.station.SetPorts({board.PortPath()});
        double cpu = CpuSeconds();
        auto start = Clock::now();
        station.station.StartWatching();
        std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
        station.station.StopWatching();
        double wall = std::chrono::duration<double>(Clock::now() - start).count();
        double used = CpuSeconds() - cpu;
        std::printf("idle watch: %.3f CPU s in %.1f s = %.2f%% of one core (goal < 1%%)\n", used, wall,
                    100.0 * used / wall);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
