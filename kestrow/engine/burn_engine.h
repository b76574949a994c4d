#pragma once
// The burn of one board on one channel: the first download (1 KB signature
// data or RAM parameters), the producer, the optional baud switch, the
// producer's set-up and one of the two flash paths (SPI NOR, or SPI NAND).
// Runs on the library's worker thread of the channel; reports through posted
// status codes, the channel log and the station state.
#include "kestrow/config/burn_config.h"
#include "kestrow/engine/board_link.h"
#include "kestrow/engine/burn_recorder.h"
#include "kestrow/engine/burn_steps.h"
#include "kestrow/engine/channel_log.h"
#include "kestrow/engine/station_state.h"
#include "kestrow/engine/station_window.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace kestrow::engine {

// Settings of this build that the configuration file does not carry.
struct EngineOptions {
    bool carrier_burn = false;         // RAM parameters are not sent, only timed
    std::uint8_t erase_before_burn = 0;
    std::uint8_t no_erase = 0;
};

inline constexpr unsigned k1kDataMagic = 0x5349474E;  // "NGIS" read little-endian
inline constexpr unsigned kFlashIdQuery = 254;       // both parameters of the flash-ID query
inline constexpr unsigned kDefaultBaud = 115200;
inline constexpr std::size_t kMaxRamRegisters = 64;
inline constexpr unsigned kMaxStationChannels = 16;  // what the configuration's device channel may name

class BurnEngine {
public:
    BurnEngine(const config::BurnConfig& config, BoardLink& link, StationState& state, StationWindow& window,
               EngineOptions options = {});

    // The whole burn of `channel`: 1 when the board was burned, 0 on failure.
    int BurnChannel(unsigned channel);
    // Progress callback of the library: bytes so far in the current burn.
    void ReportProgress(unsigned channel, unsigned bytes);

    // Who keeps each burn's record and gives each board its addresses; none
    // by default. Set while no burn runs.
    void SetRecorder(BurnRecorder* recorder) { recorder_ = recorder; }

    // Flash ID the channel's last burn read (0 when none was read).
    unsigned LastFlashId(unsigned channel) const;
    // The log file of the channel's current or last burn; "" before its first.
    std::string LogOfChannel(unsigned channel) const;
    // Burns still inside BurnChannel; a station waits for 0 before it ends.
    int RunningBurns() const { return running_; }

    // The engine the library's plain-function callbacks reach. Returns once no
    // callback is on its way into the engine installed before, so that
    // engine's RunningBurns() counts every burn that will ever run in it.
    static void Install(BurnEngine* engine);
    static int BurnEntry(unsigned channel);
    static void ProgressEntry(unsigned channel, unsigned bytes);

private:
    struct Burn;  // one call's channel, log path and what its steps found

    int RunBurn(unsigned channel);
    // After every burn: frees the channel's port for the next board.
    void EndBurn(unsigned channel);
    // Runs one step of kBurnSequence: its lines, its statuses, its work.
    // False when it failed (its failure status is posted).
    bool RunStep(Burn& burn, const BurnStep& step, ChannelLog& entryLog);
    // The record of the burn: false when the recorder refused the board
    // (its failure is posted).
    bool StartRecord(Burn& burn, ChannelLog& log);
    // Ends it once, with `result` (kNoStatus: the last status posted), before
    // the result is posted.
    void EndRecord(Burn& burn, unsigned result);
    bool Applies(BurnStepId step, const Burn& burn) const;
    StepOutcome DoStep(BurnStepId step, Burn& burn, ChannelLog& log);

    void Post(unsigned channel, unsigned code);
    // The steps' work; `log` is where the step's own lines go.
    StepOutcome CheckMedium(Burn& burn, ChannelLog& log);
    StepOutcome StartBurn(const Burn& burn);
    StepOutcome Download1kData(const Burn& burn, ChannelLog& log);
    StepOutcome SetRamParam(const Burn& burn, ChannelLog& log);
    StepOutcome DownloadProducer(const Burn& burn, ChannelLog& log);
    StepOutcome SwitchBaud(const Burn& burn);
    StepOutcome TestConnection(const Burn& burn);
    StepOutcome SetBurnPara(const Burn& burn, ChannelLog& log);
    StepOutcome SetBurnMode(const Burn& burn, ChannelLog& log);
    StepOutcome BurnSpiFlash(const Burn& burn);
    StepOutcome BurnSpiImage(const Burn& burn);
    StepOutcome GetFlashIdAndSetNandParam(Burn& burn, ChannelLog& log);
    StepOutcome InitSecArea(const Burn& burn);
    StepOutcome BurnNandBoot(const Burn& burn);
    // The boot loader download of both paths; a failure is 78.
    StepOutcome DownloadBoot(const Burn& burn, const DownloadBin& bin);
    StepOutcome CloseProducer(const Burn& burn);
    bool BurnFileStillExists() const;

    const config::BurnConfig& config_;
    BoardLink& link_;
    StationState& state_;
    StationWindow& window_;
    EngineOptions options_;
    BurnRecorder* recorder_ = nullptr;
    std::array<std::atomic<unsigned>, kMaxChannels + 1> flash_ids_{};
    mutable std::mutex logs_mutex_;
    std::array<std::string, kMaxChannels + 1> logs_;  // under logs_mutex_
    // Of each channel's current burn: the last status posted and the bytes so far.
    std::array<std::atomic<unsigned>, kMaxChannels + 1> last_status_{};
    std::array<std::atomic<unsigned>, kMaxChannels + 1> bytes_{};
    std::atomic<int> running_{0};
};

// Size of a file in bytes; 0 when it cannot be opened or measured.
std::uint64_t GetBurnFileLength(const std::string& path);

// Blocks a NAND boot loader of `length` bytes needs with a tenth reserved for
// bad blocks; 0 for an empty NAND record.
unsigned NandBootBlocks(std::uint64_t length, unsigned pageSize, unsigned pagesPerBlock);

}  // namespace kestrow::engine
