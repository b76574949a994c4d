#include "kestrow/station/station.h"

#include "kestrow/config/chip_types.h"
#include "kestrow/config/station_folder.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace kestrow::station {
namespace {

constexpr auto kBurnExitPoll = std::chrono::milliseconds(5);
constexpr std::size_t kMinPortNameChars = 3;

}  // namespace

Station::Station(StationParts parts, engine::EngineOptions options)
    : config_(parts.config),
      link_(parts.link),
      state_(parts.config, parts.language, parts.link, parts.window),
      engine_(parts.config, parts.link, state_, parts.window, options),
      language_(parts.language),
      window_(parts.window) {
    for (unsigned channel = 1; channel <= engine::kMaxChannels; ++channel)
        watchers_.push_back(std::make_unique<engine::PortWatcher>(parts.config, parts.link, state_, parts.window,
                                                                  channel, parts.ports));
}

engine::TransferTotal Station::Open(int rows) {
    engine::BurnEngine::Install(&engine_);
    open_ = true;
    state_.OpenMainLog();
    engine::TransferTotal total = RecomputeTransferTotal();
    state_.RefreshRows(rows);
    return total;
}

void Station::Close() {
    if (!open_) return;
    // A board still burning now is cut short (its port is let go below): its
    // record says so, whatever the burn reports on its way out.
    if (records_) records_->InterruptRunning();
    StopWatching();
    // The library lets go of the watched ports: they are free for other programs again.
    for (const std::string& port : state_.Ports())
        if (!port.empty()) link_.DetachUart(port);
    engine::BurnEngine::Install(nullptr);
    // A burn whose result is in may still be on its way out of the engine,
    // which uses this station's state: it must leave first.
    while (engine_.RunningBurns() > 0) std::this_thread::sleep_for(kBurnExitPoll);
    state_.MainLog().Close();
    open_ = false;
}

std::vector<std::string> Station::OpenRecords(const std::string& records) {
    records_ = std::make_unique<BoardRecords>(config_, window_, records::OpenStationStore(config::StationFolder(), records),
                                              config::StationFolder());
    engine_.SetRecorder(records_.get());
    for (auto& watcher : watchers_) watcher->SetRecorder(records_.get());
    return records_->Start(language_);
}

engine::TransferTotal Station::RecomputeTransferTotal() {
    engine::TransferTotal total = engine::ComputeTransferTotal(config_);
    if (total.bytes) state_.SetTransferTotal(*total.bytes);
    return total;
}

void Station::SetPorts(std::vector<std::string> ports) {
    if (ports.size() > engine::kMaxChannels) ports.resize(engine::kMaxChannels);
    state_.SetPorts(std::move(ports));
}

void Station::StartWatching() {
    std::vector<std::string> ports = state_.Ports();
    for (std::size_t i = 0; i < ports.size(); ++i)
        if (ports[i].size() >= kMinPortNameChars) watchers_[i]->Start();
}

void Station::StopWatching() {
    // All at once: a watcher in the middle of a handshake ends only after it.
    for (auto& watcher : watchers_) watcher->RequestStop();
    for (auto& watcher : watchers_) watcher->Stop();
}

bool Station::Watching() const {
    return std::any_of(watchers_.begin(), watchers_.end(), [](const auto& w) { return w->Running(); });
}

bool Station::Busy() const {
    return state_.AutoStart() || state_.WorkNumber() > 0 || engine_.RunningBurns() > 0;
}

std::vector<unsigned> Station::BurningChannels() const {
    std::vector<unsigned> channels;
    for (unsigned channel = 1; channel <= engine::kMaxChannels; ++channel)
        if (state_.AutoStart(channel)) channels.push_back(channel);
    return channels;
}

std::string Station::ChannelLogPath(unsigned channel) const {
    std::string log = engine_.LogOfChannel(channel);
    if (log.empty()) log = engine::ChannelLogName(channel, engine::ChannelLog::Now());
    return engine::ResolveLogPath(log);
}

void Station::NoteInterrupted(unsigned channel, const std::string& why) {
    engine::ChannelLog(ChannelLogPath(channel)).Write(engine::kLogTime, "%s\n", why.c_str());
    state_.MainLog().Write(engine::kLogTime, "channel %u %s\n", channel, why.c_str());
}

std::optional<std::string> MissingBurnFile(const config::BurnConfig& c, const std::string& configFile) {
    struct Needed {
        const char* key;
        const std::string& name;
        bool used;
    } files[] = {
        {"path producer", c.path_producer, true},
        {"path nandboot", c.path_nandboot, true},
        {"path 1k data", c.path_1k_data, c.boot_mode_flag == config::kSecureBootMode},
        {"path ram", c.path_ram, config::ChipTypeOrReserved(c.chip_type).ram == config::RamSetup::TestImage},
    };
    for (const Needed& f : files) {
        if (!f.used) continue;
        std::string path = config::ResolveProgramPath(f.name);
        if (engine::GetBurnFileLength(path) == 0)
            return configFile + ": " + f.key + " = " + f.name + ": " + path + " is missing or empty";
    }
    return std::nullopt;
}

}  // namespace kestrow::station
