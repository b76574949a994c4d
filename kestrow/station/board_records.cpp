#include "kestrow/station/board_records.h"

#include "kestrow/base/sha256.h"
#include "kestrow/config/address_pool.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/engine/status_codes.h"
#include "kestrow/image/board_image.h"

#include <sys/stat.h>

#include <algorithm>

namespace kestrow::station {
namespace {

using records::PoolKind;
using records::StoreErrorKind;
// "AA:BB:CC", the high half of a MAC address as FormatMac writes it.
constexpr std::size_t kMacHighChars = 8;

constexpr const char* kNoBoardUntilBack = "; no board is taken until it answers";

std::size_t PoolIndex(PoolKind kind) {
    return static_cast<std::size_t>(std::find(records::kPoolKinds.begin(), records::kPoolKinds.end(), kind) -
                                    records::kPoolKinds.begin());
}

// The status text as the records keep it: English, whatever the window shows.
std::string StatusText(unsigned code, int chipMode) {
    const engine::StatusInfo* info = engine::FindStatus(code);
    if (info == nullptr) return {};
    const int index = engine::StatusTextIndex(*info, chipMode);
    if (index < 0 || static_cast<std::size_t>(index) >= config::kLanguageEntryCount) return {};
    return std::string(config::BuiltinEnglishTexts()[static_cast<std::size_t>(index)]);
}

}  // namespace

BoardRecords::BoardRecords(config::BurnConfig& config, engine::StationWindow& window,
                           std::unique_ptr<records::RecordStore> store, std::string stationFolder)
    : config_(config), window_(window), store_(std::move(store)), folder_(std::move(stationFolder)) {
    for (PoolKind kind : records::kPoolKinds) used_up_texts_[PoolIndex(kind)] = records::PoolUsedUpMessage(kind);
}

std::vector<std::string> BoardRecords::Start(const config::LanguageTable& language) {
    for (PoolKind kind : records::kPoolKinds) {
        std::string text = language.GetString(records::PoolUsedUpEntry(kind));
        if (!text.empty()) used_up_texts_[PoolIndex(kind)] = text;
    }
    std::vector<std::string> problems;
    if (records::StoreStatus s = store_->CheckReachable(); !s) {
        StoreFailed(s.error().message);
        problems.push_back(s.error().message + kNoBoardUntilBack);
        return problems;
    }
    // The outbox went first (on connecting): a result that waited there is a
    // real result, not an interruption.
    if (auto marked = store_->MarkInterrupted(); !marked) problems.push_back(marked.error().message);
    RaisePools(problems);
    return problems;
}

void BoardRecords::RaisePools(std::vector<std::string>& problems) {
    auto pools = store_->Pools();
    if (!pools) {
        problems.push_back(pools.error().message);
        return;
    }
    // What config_addr.txt and the Bluetooth log say was handed out before.
    // A value outside a pool's range (another range, the defaults) says
    // nothing about this pool and would use it up: it is left out.
    for (const records::PoolState& pool : *pools) {
        std::optional<std::uint64_t> value;
        switch (pool.range.kind) {
            case PoolKind::Mac:
                // config_addr.txt keeps low parts only; the high part is the
                // pool's own (its start and end share it).
                value = records::ParseMac(records::FormatMac(pool.range.start).substr(0, kMacHighChars) + ":" +
                                          config_.mac_current_low);
                break;
            case PoolKind::Serial:
                if (config_.serial_prefix == pool.range.prefix)
                    value = records::ParsePoolValue(PoolKind::Serial, pool.range.prefix,
                                                    config_.serial_prefix + config_.serial_current_low);
                break;
            case PoolKind::Bluetooth:
                // The log's highest address is the last one used.
                if (config_.blue_log_missing == 0)
                    if (auto last = records::ParseBluetooth(config_.blue_current); last && *last > 0)
                        value = *last + 1;
                break;
        }
        if (!value || *value < pool.range.start || *value > pool.range.end + 1) continue;
        if (auto raised = store_->RaiseNext(pool.range.kind, *value); !raised)
            problems.push_back(raised.error().message);
    }
}

void BoardRecords::StoreFailed(const std::string& message) {
    std::lock_guard lock(gate_mutex_);
    gate_problem_ = message + kNoBoardUntilBack;
    gate_checked_ = std::chrono::steady_clock::now();
    gate_checked_once_ = true;
}

std::string BoardRecords::MayTakeBoard() {
    std::lock_guard lock(gate_mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (gate_checked_once_ && now - gate_checked_ < kStoreRecheck) return gate_problem_;
    records::StoreStatus s = store_->CheckReachable();
    gate_problem_ = s ? "" : s.error().message + kNoBoardUntilBack;
    gate_checked_ = now;
    gate_checked_once_ = true;
    return gate_problem_;
}

std::string BoardRecords::DigestOf(const std::string& path, std::uint64_t& size) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return {};
    size = static_cast<std::uint64_t>(st.st_size);
    const std::int64_t mtime = std::int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
    std::lock_guard lock(digest_mutex_);
    if (digest_.path != path || digest_.size != size || digest_.mtime_ns != mtime || digest_.sha256.empty())
        digest_ = {path, size, mtime, base::Sha256OfFile(path).value_or("")};
    return digest_.sha256;
}

std::string BoardRecords::BoardStarts(const engine::BoardStart& start) {
    if (start.channel == 0 || start.channel > kRecordChannels) return {};
    records::BurnStart begin;
    begin.port = start.port;
    begin.channel = start.channel;
    begin.chip_type = config_.chip_type;
    begin.medium = config_.chip_mode;
    begin.boot_mode = config_.boot_mode_flag;
    begin.burn_file = start.burn_file;
    begin.burn_file_sha256 = DigestOf(start.burn_file, begin.burn_file_size);
    begin.log_file = config::ResolveProgramPath(start.channel_log);
    begin.start_time_us = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    records::StoreResult<records::RecordId> id = store_->BeginRecord(begin);
    std::lock_guard lock(mutex_);
    Slot& slot = slots_[start.channel];
    slot = Slot{};  // the channel's last board is this one, recorded or not
    if (!id) {
        if (id.error().kind == StoreErrorKind::Unreachable) StoreFailed(id.error().message);
        return "no burn record can be kept: " + id.error().message;
    }
    slot.record = {*id, {}, begin.burn_file, begin.burn_file_sha256, begin.start_time_us, true};
    slot.port = start.port;
    slot.started = std::chrono::steady_clock::now();
    slot.seen = true;
    return {};
}

std::string BoardRecords::UsedUpText(const records::StoreError& error) const {
    if (!error.pool) return error.message;
    const std::string english = records::PoolUsedUpMessage(*error.pool);
    const std::string& local = used_up_texts_[PoolIndex(*error.pool)];
    // The store's message is the English text and the range.
    if (error.message.starts_with(english)) return local + error.message.substr(english.size());
    return local;
}

engine::ImageToStream BoardRecords::ImageStarts(unsigned channel, const std::string& imagePath) {
    engine::ImageToStream stream{imagePath, {}, nullptr};
    const image::ImageDataPartitions parts = image::FindDataPartitions(imagePath);
    if (!parts.Any() || channel == 0 || channel > kRecordChannels) return stream;
    records::RecordId id = 0;
    {
        std::lock_guard lock(mutex_);
        if (!slots_[channel].record.running) return stream;
        id = slots_[channel].record.id;
    }
    records::StoreResult<records::Identity> got =
        store_->AllocateIdentity(id, records::PoolSet{parts.mac, parts.serial, parts.bluetooth});
    if (!got) {
        if (got.error().kind == StoreErrorKind::Unreachable) StoreFailed(got.error().message);
        stream.refusal = got.error().kind == StoreErrorKind::PoolUsedUp ? UsedUpText(got.error()) : got.error().message;
        return stream;
    }
    {
        std::lock_guard lock(mutex_);
        slots_[channel].record.identity = *got;
        WriteConfigAddress(channel, *got, "N");
    }
    if (got->mac.empty() && got->serial.empty() && got->bluetooth.empty()) return stream;  // no pool enabled
    std::string error;
    std::unique_ptr<image::BoardImage> copy =
        image::BoardImage::Make(imagePath, {got->mac, got->serial, got->bluetooth}, folder_, error);
    if (!copy) {
        stream.refusal = "this board's copy of the image cannot be made: " + error;
        return stream;
    }
    stream.path = copy->Path();
    stream.copy = std::shared_ptr<image::BoardImage>(std::move(copy));
    return stream;
}

void BoardRecords::WriteConfigAddress(unsigned channel, const records::Identity& identity, const char* flag) {
    // config_addr.txt counts channels from 0; it keeps the MAC low part and
    // the serial number's six digits.
    const int n = static_cast<int>(channel) - 1;
    if (auto mac = records::ParseMac(identity.mac))
        config_.WriteChannelAddress(config::kPoolFile, config::kMacPoolPrefix, flag, records::MacLowText(*mac), n);
    if (identity.serial.size() > config::kSerialLowDigits)
        config_.WriteChannelAddress(config::kPoolFile, config::kSerialPoolPrefix, flag,
                                    identity.serial.substr(identity.serial.size() - config::kSerialLowDigits), n);
}

void BoardRecords::BoardEnds(unsigned channel, const engine::BoardEnd& end) {
    if (channel == 0 || channel > kRecordChannels) return;
    records::RecordId id = 0;
    std::string port;
    double seconds = 0;
    {
        std::lock_guard lock(mutex_);
        Slot& slot = slots_[channel];
        if (!slot.record.running) return;  // interrupted when the station closed
        slot.record.running = false;
        id = slot.record.id;
        port = slot.port;
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - slot.started).count();
        if (end.passed) WriteConfigAddress(channel, slot.record.identity, "Y");
    }
    records::BurnEnd finish{end.passed ? records::BurnResult::Passed : records::BurnResult::Failed, end.status,
                            StatusText(end.status, config_.chip_mode), end.bytes, seconds, end.flash_id};
    records::StoreResult<records::Delivery> done = store_->FinishRecord(id, finish);
    if (!done)
        window_.ReportPort(port, "the record of channel " + std::to_string(channel) +
                                     "'s board is lost: " + done.error().message);
    else if (*done == records::Delivery::KeptLocally)
        window_.ReportPort(port, "the records store cannot be reached: the record of channel " +
                                     std::to_string(channel) + "'s board waits in " + records::kOutboxFile +
                                     " until it answers");
}

void BoardRecords::InterruptRunning() {
    std::vector<records::RecordId> running;
    {
        std::lock_guard lock(mutex_);
        for (Slot& slot : slots_) {
            if (!slot.record.running) continue;
            slot.record.running = false;
            running.push_back(slot.record.id);
        }
    }
    for (records::RecordId id : running)
        store_->FinishRecord(id, {records::BurnResult::Interrupted, 0, "interrupted: the station closed", 0, 0, 0});
}

std::optional<ChannelRecord> BoardRecords::LastOf(unsigned channel) const {
    if (channel == 0 || channel > kRecordChannels) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (!slots_[channel].seen) return std::nullopt;
    return slots_[channel].record;
}

}  // namespace kestrow::station
