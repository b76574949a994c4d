#pragma once
// A station without its window, driven by the test thread: the station (its
// engine, state and port watcher) over the transfer library, burning virtual
// boards on pseudo-terminals.
#include "engine_fakes.h"
#include "spi_nor_station.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/burn_engine.h"
#include "kestrow/engine/corvel_link.h"
#include "kestrow/engine/port_watcher.h"
#include "kestrow/engine/queued_window.h"
#include "kestrow/engine/station_state.h"
#include "kestrow/engine/status_codes.h"
#include "kestrow/station/station.h"
#include "tools/vboard/virtual_board.h"

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <thread>

namespace kestrow::engine::testing {

inline constexpr std::uint32_t kE2eNorId = 0xEF4017;
inline constexpr std::uint32_t kE2eNorSize = 8 * 1024 * 1024;
inline constexpr std::uint32_t kE2eErase = 65536;
inline constexpr std::uint32_t kE2eNandId = 0xC8D1;
inline constexpr unsigned kE2eChannels = 16;

inline std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(gen() & 0xFF);
    return out;
}

// What one channel's burn showed the station.
struct ChannelOutcome {
    std::vector<unsigned> statuses;  // in order, Ready included
    bool done = false;
    bool passed = false;
};

class StationE2eTest : public StationFolderFixture {
protected:
    static void SetUpTestSuite() {
        static CorvelLink initLink;
        ASSERT_EQ(initLink.Init(kE2eChannels, &BurnEngine::BurnEntry, &BurnEngine::ProgressEntry), kLinkSuccess);
    }

    StationE2eTest() : language_(dir_.string()) {
        language_.SetLanguage("");
        UseSpiNorStation(config_, 3, kE2eNorId, kE2eNorSize, kE2eErase);
        config::SpiNorInfo& nor = config_.spinor_list[0];
        nor.page_size = 256;
        nor.program_size = 256;
        nor.clock = 20000000;
        config_.platform_type = 2;
        config_.burned_mode = 1;
        config_.path_1k_data = "sign.bin";
        config_.path_ram = "ram.bin";
        config::SpiNandInfo nand{};
        nand.chip_id = kE2eNandId;
        nand.page_size = 2048;
        nand.pages_per_block = 64;
        nand.total_blocks = 1024;
        nand.spare_size = 64;
        nand.clock = 20000000;
        config_.spinand_list = {nand};
        config_.active_ram_tables = {{{0x08000000, 0x11}, {0x08000004, 0x22}}};
        WriteFile("producer.bin", RandomBytes(3000, 1));
        WriteFile("boot.bin", RandomBytes(70000, 2));
        WriteFile("sign.bin", RandomBytes(1024, 3));
        WriteFile("ram.bin", RandomBytes(2048, 4));
    }

    ~StationE2eTest() override { station_.Close(); }

    void StartStation() {
        link_.SecureBootFlag(static_cast<unsigned>(config_.boot_mode_flag));
        if (!station_.IsOpen()) station_.Open(config_.device_channel);
        else state_.RefreshRows(config_.device_channel);
    }

    // Wakes and attaches the board on `port` to channel slot `slot` as the
    // watcher does, without starting the run.
    bool AttachBoard(const std::string& port, unsigned slot) {
        state_.SetPort(slot + 1, port);
        for (int attempt = 0; attempt < 30; ++attempt) {
            link_.StartRead(port, slot, static_cast<unsigned>(config_.chip_type));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (station_.Watcher(slot + 1).Attach(port, slot)) return true;
        }
        return false;
    }

    // Hands every queued message to the station state until `channels` boards
    // have ended or the time is up; the outcome of each channel. Without
    // `handleReady` the Ready statuses are only recorded: the caller starts
    // the run once for boards it attached together.
    std::map<unsigned, ChannelOutcome> Pump(std::size_t channels, bool handleReady = true,
                                            std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::map<unsigned, ChannelOutcome> out;
        std::size_t done = 0;
        auto until = std::chrono::steady_clock::now() + limit;
        while (done < channels) {
            auto m = window_.Pop(until);
            if (!m) break;
            if (!m->event) continue;
            const StationEvent& event = *m->event;
            if (event.kind != EventKind::Status) {
                state_.OnEvent(event);
                continue;
            }
            unsigned channel = event.channel;
            const StatusInfo* info = FindStatus(event.value);
            if (channel > 0 && info) {
                out[channel].statuses.push_back(info->code);
                if (info->kind == StatusKind::Success || info->kind == StatusKind::Failure) {
                    out[channel].done = true;
                    out[channel].passed = info->kind == StatusKind::Success;
                    ++done;
                }
            }
            if (handleReady || event.value != status::kReady) state_.OnEvent(event);
        }
        // Let the burn threads leave the engine before the test looks at the logs.
        while (engine_.RunningBurns() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return out;
    }

    // One board on the watched port, burned as the window flow does.
    ChannelOutcome BurnOneBoard(const vboard::VirtualBoard& board) {
        StartStation();
        station_.SetPorts({board.PortPath()});
        station_.StartWatching();
        auto outcome = Pump(1);
        station_.StopWatching();
        link_.DetachUart(board.PortPath());  // the library lets go of the port, as `kestrow burn` does
        return outcome[1];
    }

    static vboard::BoardOptions NorBoard() {
        vboard::BoardOptions o;
        o.chipType = 8;
        o.flashId = kE2eNorId;
        o.flashSize = kE2eNorSize;
        return o;
    }
    static vboard::BoardOptions NandBoard() {
        vboard::BoardOptions o = NorBoard();
        o.nand = true;
        o.flashId = kE2eNandId;
        o.flashSize = 128 * 1024 * 1024;
        return o;
    }

    config::BurnConfig config_;
    config::LanguageTable language_;
    CorvelLink link_;
    QueuedWindow window_;
    station::Station station_{{config_, language_, link_, window_}};
    StationState& state_ = station_.State();
    BurnEngine& engine_ = station_.Engine();
};

}  // namespace kestrow::engine::testing
