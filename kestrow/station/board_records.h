#pragma once
// The station's burn records and identity pools, shared by the window and
// `kestrow burn`: every board's burn leaves a record in the station's store
// (records.db, or the fleet's PostgreSQL), and a board that gets a
// whole-flash image with MAC, SEQ or BTADDR partitions gets its own next
// addresses written into them, in its own copy of the image.
//
// An address is taken from its pool when the board's image starts to stream
// and is never handed out again, whatever the burn's result. While the store
// cannot be reached no board is taken (the watchers wait, each port saying
// why) and a result that cannot be stored waits in the station's outbox.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/burn_recorder.h"
#include "kestrow/engine/station_window.h"
#include "kestrow/records/record_store.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kestrow::station {

inline constexpr unsigned kRecordChannels = 32;
// While the store answers, the watchers ask it again after this long at the
// earliest; each board's own record is begun on the store anyway.
inline constexpr std::chrono::milliseconds kStoreRecheck{1000};

// What the station knows of a channel's latest board.
struct ChannelRecord {
    records::RecordId id = 0;
    records::Identity identity;
    std::string burn_file, burn_file_sha256;
    std::int64_t start_time_us = 0;
    bool running = false;
};

class BoardRecords : public engine::BurnRecorder {
public:
    BoardRecords(config::BurnConfig& config, engine::StationWindow& window, std::unique_ptr<records::RecordStore> store,
                 std::string stationFolder);

    // Start-up, on the front's thread before any board: the outbox is
    // delivered, the last run's unfinished burns become "interrupted", and
    // the pools are raised (never lowered) to what config_addr.txt and the
    // Bluetooth log say was handed out. `language` gives the used-up
    // messages. Returns the problems to show; boards are still refused while
    // the store is unreachable and taken once it answers.
    std::vector<std::string> Start(const config::LanguageTable& language);

    // Running records become "interrupted" (the station closes with boards
    // still burning); those burns' own ends no longer change them.
    void InterruptRunning();

    // The latest board of `channel` (1-based), running or ended.
    std::optional<ChannelRecord> LastOf(unsigned channel) const;
    records::RecordStore& Store() { return *store_; }

    // engine::BurnRecorder
    std::string MayTakeBoard() override;
    std::string BoardStarts(const engine::BoardStart& start) override;
    engine::ImageToStream ImageStarts(unsigned channel, const std::string& imagePath) override;
    void BoardEnds(unsigned channel, const engine::BoardEnd& end) override;

private:
    struct Slot {
        ChannelRecord record;
        std::string port;
        std::chrono::steady_clock::time_point started{};
        bool seen = false;
    };
    struct FileDigest {
        std::string path;
        std::uint64_t size = 0;
        std::int64_t mtime_ns = 0;
        std::string sha256;
    };

    void StoreFailed(const std::string& message);
    std::string UsedUpText(const records::StoreError& error) const;
    // SHA-256 of the burn file, computed again only when it changed.
    std::string DigestOf(const std::string& path, std::uint64_t& size);
    void WriteConfigAddress(unsigned channel, const records::Identity& identity, const char* flag);
    void RaisePools(std::vector<std::string>& problems);

    config::BurnConfig& config_;
    engine::StationWindow& window_;
    std::unique_ptr<records::RecordStore> store_;
    const std::string folder_;
    std::array<std::string, 3> used_up_texts_;  // per pool, in the station's language

    mutable std::mutex mutex_;  // slots_, config_addr.txt
    std::array<Slot, kRecordChannels + 1> slots_{};

    std::mutex gate_mutex_;
    std::chrono::steady_clock::time_point gate_checked_{};
    bool gate_checked_once_ = false;
    std::string gate_problem_;

    std::mutex digest_mutex_;
    FileDigest digest_;
};

}  // namespace kestrow::station
