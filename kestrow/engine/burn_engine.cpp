#include "kestrow/engine/burn_engine.h"

#include "kestrow/config/chip_types.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/message_sink.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/engine/channel_log.h"
#include "kestrow/engine/progress.h"
#include "kestrow/engine/status_codes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string_view>
#include <thread>

namespace kestrow::engine {
namespace {

// The producer needs this long after its start (and a baud switch) before it answers.
constexpr auto kProducerInitPause = std::chrono::milliseconds(350);
constexpr std::uint8_t kBurnModeNormal = 1;
constexpr std::uint32_t kNorIdMask = 0xFFFFFF;

std::atomic<BurnEngine*> g_installed{nullptr};
// Library callbacks between taking the installed engine and counting
// themselves in it; Install waits for them so that an engine taken out of
// service is never entered afterwards.
std::atomic<int> g_entering{0};

std::array<char, 8> TargetName(const char* name) {
    std::array<char, 8> out{};
    std::memcpy(out.data(), name, std::min<std::size_t>(std::strlen(name), out.size()));
    return out;
}

std::uint32_t RoundUp(std::uint64_t length, std::uint64_t unit) {
    return static_cast<std::uint32_t>(unit == 0 ? length : (length + unit - 1) / unit * unit);
}

// A failure whose text the operator reads on the board's row.
StepOutcome FailedWithMessage(unsigned code, const std::string& text) {
    return StepFailed(code, "->" + text + " fail\r\n", text);
}

}  // namespace

struct BurnEngine::Burn {
    unsigned channel;
    std::string log;  // the channel log every step appends to
    bool recorded = false;
    bool passed = false;
    ModeControl mode{};
    config::SpiNandInfo nand{};  // the NAND record of the flash found
};

std::string FailureCause(std::string line) {
    auto blank = [](char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t'; };
    while (!line.empty() && blank(line.back())) line.pop_back();
    std::size_t first = 0;
    while (first < line.size() && blank(line[first])) ++first;
    line.erase(0, first);
    if (line.rfind("->", 0) == 0) line.erase(0, 2);
    constexpr std::string_view kTail = ", fail";
    if (line.size() > kTail.size() && line.ends_with(kTail)) line.resize(line.size() - kTail.size());
    return line;
}

std::uint64_t GetBurnFileLength(const std::string& path) {
    auto size = config::RegularFileSize(path);  // a folder or a device is no burn file
    if (!size || !std::ifstream(path, std::ios::binary)) return 0;
    return *size;
}

unsigned NandBootBlocks(std::uint64_t length, unsigned pageSize, unsigned pagesPerBlock) {
    if (pageSize == 0 || pagesPerBlock == 0) return 0;
    std::uint64_t pages = (length + pageSize - 1) / pageSize;
    std::uint64_t reserve = (length / 10 + pageSize - 1) / pageSize;
    return static_cast<unsigned>((pages + reserve + pagesPerBlock - 1) / pagesPerBlock);
}

BurnEngine::BurnEngine(const config::BurnConfig& config, BoardLink& link, StationState& state,
                       StationWindow& window, EngineOptions options)
    : config_(config), link_(link), state_(state), window_(window), options_(options) {}

void BurnEngine::Install(BurnEngine* engine) {
    g_installed = engine;
    while (g_entering > 0) std::this_thread::yield();
}

int BurnEngine::BurnEntry(unsigned channel) {
    ++g_entering;
    BurnEngine* engine = g_installed;
    if (engine == nullptr) {
        --g_entering;
        return 0;
    }
    ++engine->running_;
    --g_entering;
    int result = engine->RunBurn(channel);
    --engine->running_;
    return result;
}

void BurnEngine::ProgressEntry(unsigned channel, unsigned bytes) {
    ++g_entering;
    if (BurnEngine* engine = g_installed) engine->ReportProgress(channel, bytes);
    --g_entering;
}

void BurnEngine::ReportProgress(unsigned channel, unsigned bytes) {
    if (channel < bytes_.size()) bytes_[channel] = bytes;
    window_.Post(ProgressEvent(channel, bytes));
}

std::string BurnEngine::LogOfChannel(unsigned channel) const {
    std::lock_guard lock(logs_mutex_);
    return channel < logs_.size() ? logs_[channel] : std::string();
}

unsigned BurnEngine::LastFlashId(unsigned channel) const {
    return channel < flash_ids_.size() ? flash_ids_[channel].load() : 0;
}

void BurnEngine::Post(unsigned channel, unsigned code) {
    if (channel < last_status_.size()) last_status_[channel] = code;
    window_.Post(StatusEvent(channel, code));
}

bool BurnEngine::BurnFileStillExists() const {
    std::ifstream in(config::ResolveProgramPath(config_.path_nandboot), std::ios::binary);
    return static_cast<bool>(in);
}

int BurnEngine::BurnChannel(unsigned channel) {
    ++running_;
    int result = RunBurn(channel);
    --running_;
    return result;
}

int BurnEngine::RunBurn(unsigned channel) {
    // Until this returns the channel's port is not watched for the next board.
    struct InBurn {
        BurnEngine& engine;
        unsigned channel;
        ~InBurn() { engine.EndBurn(channel); }
    } inBurn{*this, channel};
    state_.EnterBurn(channel);
    const std::tm start = ChannelLog::Now();
    Burn burn{channel, ChannelLogName(channel, start)};
    if (channel < logs_.size()) {
        std::lock_guard lock(logs_mutex_);
        logs_[channel] = burn.log;
    }
    ChannelLog log(burn.log);
    log.Write(0, "=============Burn Information For Channel[%u]=============\n", channel);
    log.Write(0, "Print Time: %d-%d-%d %02d:%02d:%02d\n\n", start.tm_year + 1900, start.tm_mon + 1, start.tm_mday,
              start.tm_hour, start.tm_min, start.tm_sec);
    log.Write(0, "ss g_udisk_burnnum: %d\n", state_.udisk_burn_number.load());

    window_.EnableBar(false);
    log.Write(kLogTime, "work number = %d\n", state_.BeginChannel(channel));
    if (channel < flash_ids_.size()) flash_ids_[channel] = 0;
    if (channel < bytes_.size()) bytes_[channel] = 0;
    if (!StartRecord(burn, log)) return 0;
    // Every way out ends the record (normally it has ended with the result).
    struct Recorded {
        BurnEngine& engine;
        Burn& burn;
        ~Recorded() { engine.EndRecord(burn, kNoStatus); }
    } recorded{*this, burn};

    for (const BurnStep& step : kBurnSequence)
        if (Applies(step.id, burn) && !RunStep(burn, step, log)) return 0;

    // The record has the result before the front hears of it.
    burn.passed = true;
    EndRecord(burn, status::kCompletion);
    Post(channel, status::kCompletion);
    int left = state_.EndChannel();
    if (left >= 0) {
        log.Write(kLogTime, "end work number = %d\n", left);
        if (left == 0) state_.EndOfRun();
    }
    state_.spi_nor_read_back = false;
    state_.bin_read_back = false;
    log.Write(kLogTime, "++Burn success++\r\n");
    state_.DisarmTimer(channel);
    window_.RefreshTitle();
    return 1;
}

bool BurnEngine::StartRecord(Burn& burn, ChannelLog& log) {
    if (recorder_ == nullptr) return true;
    std::string refusal = recorder_->BoardStarts(
        {burn.channel, state_.PortOfChannel(burn.channel), burn.log, config::ResolveProgramPath(config_.path_nandboot)});
    if (refusal.empty()) {
        burn.recorded = true;
        return true;
    }
    // Nothing has been sent to the board: it is refused as an unknown medium is.
    log.Write(kLogTime, "->%s, burn refused, fail\r\n", refusal.c_str());
    state_.SetFailureCause(burn.channel, refusal);
    Post(burn.channel, status::kSetModeFailed);
    return false;
}

void BurnEngine::EndRecord(Burn& burn, unsigned result) {
    if (!burn.recorded) return;
    burn.recorded = false;
    const unsigned c = burn.channel;
    if (result == kNoStatus) result = c < last_status_.size() ? last_status_[c].load() : 0;
    recorder_->BoardEnds(c, {burn.passed, result, c < bytes_.size() ? bytes_[c].load() : 0, LastFlashId(c)});
}

void BurnEngine::EndBurn(unsigned channel) {
    // The port is let go here, on the burn's own thread, before it may be
    // watched again: the library's worker then finds nothing left to close
    // once the burn returns, and cannot close the port under the next board.
    const std::string port = state_.PortOfChannel(channel);
    if (!port.empty()) link_.DetachUart(port);
    state_.LeaveBurn(channel);
}

bool BurnEngine::RunStep(Burn& burn, const BurnStep& step, ChannelLog& entryLog) {
    std::optional<ChannelLog> own;
    if (step.log == StepLog::Own) own.emplace(burn.log);
    ChannelLog& log = own ? *own : entryLog;
    if (step.start_line) log.Write(kLogTime, "%s", step.start_line);
    if (step.start_status != kNoStatus) Post(burn.channel, step.start_status);
    StepOutcome outcome = DoStep(step.id, burn, log);
    if (outcome.ok) return true;

    std::string line = !outcome.line.empty() ? outcome.line : step.failure_line ? step.failure_line : "";
    if (!line.empty()) {
        if (step.log == StepLog::OnFailure) ChannelLog(burn.log).Write(kLogTime, "%s", line.c_str());
        else log.Write(kLogTime, "%s", line.c_str());
    }
    // Before the failure status: the row takes the cause with it.
    state_.SetFailureCause(burn.channel, !outcome.cause.empty() ? outcome.cause : FailureCause(line));
    const unsigned failure = outcome.status != kNoStatus ? outcome.status : step.failure_status;
    EndRecord(burn, failure);
    Post(burn.channel, failure);
    own.reset();
    if (step.sequence_line) entryLog.Write(kLogTime, "%s", step.sequence_line);
    return false;
}

bool BurnEngine::Applies(BurnStepId step, const Burn& burn) const {
    const bool secure = config_.boot_mode_flag == config::kSecureBootMode;
    switch (step) {
        case BurnStepId::SignatureData: return secure;
        case BurnStepId::RamParameters:
            return !secure && config::ChipTypeOrReserved(config_.chip_type).ram == config::RamSetup::Table;
        case BurnStepId::BaudSwitch: return config_.uart_baud != static_cast<std::int32_t>(kDefaultBaud);
        case BurnStepId::SpiNorFlash: return IsSpiNorMedium(burn.mode.medium);
        case BurnStepId::SpiNandParameters:
            return !IsSpiNorMedium(burn.mode.medium) && config_.chip_mode == config::kModeSpiNand;
        case BurnStepId::SecurityArea:
        case BurnStepId::SpiNandBootLoader: return !IsSpiNorMedium(burn.mode.medium);
        default: return true;
    }
}

StepOutcome BurnEngine::DoStep(BurnStepId step, Burn& burn, ChannelLog& log) {
    switch (step) {
        case BurnStepId::BurnMedium: return CheckMedium(burn, log);
        case BurnStepId::StartBurn: return StartBurn(burn);
        case BurnStepId::SignatureData: return Download1kData(burn, log);
        case BurnStepId::RamParameters: return SetRamParam(burn, log);
        case BurnStepId::Producer: return DownloadProducer(burn, log);
        case BurnStepId::BaudSwitch: return SwitchBaud(burn);
        case BurnStepId::ProducerStart: std::this_thread::sleep_for(kProducerInitPause); return StepDone();
        case BurnStepId::ConnectionTest: return TestConnection(burn);
        case BurnStepId::BurnedParameters: return SetBurnPara(burn, log);
        case BurnStepId::BurnMode: return SetBurnMode(burn, log);
        case BurnStepId::SpiNorFlash: return BurnSpiFlash(burn);
        case BurnStepId::SpiNandParameters: return GetFlashIdAndSetNandParam(burn, log);
        case BurnStepId::SecurityArea: return InitSecArea(burn);
        case BurnStepId::SpiNandBootLoader: return BurnNandBoot(burn);
    }
    return StepFailed();
}

StepOutcome BurnEngine::CheckMedium(Burn& burn, ChannelLog& log) {
    auto medium = MediumCode(config_.chip_mode);
    if (!medium) {
        char line[96];
        std::snprintf(line, sizeof line, "->chip_mode %d names no burn medium, burn refused, fail\n", config_.chip_mode);
        return StepFailed(kNoStatus, line);
    }
    burn.mode = ModeControl{*medium, kBurnModeNormal, 0, 0};
    log.Write(kLogTime, "burn_mode = %d, eMedium = %d\n", burn.mode.burn_mode, burn.mode.medium);
    return StepDone();
}

StepOutcome BurnEngine::StartBurn(const Burn& burn) {
    // The library takes these for the whole burn; its answer changes nothing.
    link_.SetCorvelParam(burn.channel, CorvelParam{static_cast<std::uint32_t>(config_.event_time),
                                                   static_cast<std::uint32_t>(config_.platform_type),
                                                   static_cast<std::uint32_t>(config_.chip_type)});
    return StepDone();
}

StepOutcome BurnEngine::Download1kData(const Burn& burn, ChannelLog& log) {
    log.Write(0, "1k data path: %s\n", config_.path_1k_data.c_str());
    if (link_.Download1kData(burn.channel, config::ResolveProgramPath(config_.path_1k_data), k1kDataMagic) !=
        kLinkSuccess)
        return StepFailed();
    return StepDone();
}

StepOutcome BurnEngine::SetRamParam(const Burn& burn, ChannelLog& log) {
    std::vector<RamReg> regs;
    auto clock = static_cast<std::size_t>(config_.clock_index);
    if (config::ChipTypeOrReserved(config_.chip_type).ramListFromTables && clock < config_.active_ram_tables.size())
        for (const config::RamRegister& r : config_.active_ram_tables[clock]) regs.push_back({r.address, r.value});
    log.Write(0, "ram_count = %zu\n", regs.size());
    for (std::size_t i = 0; i < regs.size(); ++i)
        log.Write(0, "ram[%02zu]: addr=%08x, value=%08x\n", i, regs[i].address, regs[i].value);

    if (regs.size() > kMaxRamRegisters) {
        log.Write(0, "the RAM table holds %zu pairs, at most %zu can be sent\n", regs.size(), kMaxRamRegisters);
        return StepFailed();
    }
    unsigned result = options_.carrier_burn ? link_.SetRamParamNoCommit(burn.channel, regs)
                                            : link_.SetRamParam(burn.channel, regs);
    return result == kLinkSuccess ? StepDone() : StepFailed();
}

StepOutcome BurnEngine::DownloadProducer(const Burn& burn, ChannelLog& log) {
    log.Write(0, "producer path: %s, addr=%08x\n", config_.path_producer.c_str(), config_.producer_run_addr);
    if (link_.DownloadProducer(burn.channel, config::ResolveProgramPath(config_.path_producer),
                               config_.producer_run_addr) != kLinkSuccess)
        return StepFailed();
    return StepDone();
}

StepOutcome BurnEngine::SwitchBaud(const Burn& burn) {
    // The library reopens the channel's own port at the working rate.
    if (link_.ChangeCom(state_.PortOfChannel(burn.channel), burn.channel, static_cast<unsigned>(config_.uart_baud)) ==
        0)
        return StepFailed();
    return StepDone();
}

StepOutcome BurnEngine::TestConnection(const Burn& burn) {
    return link_.TestConnection(burn.channel) == kLinkSuccess ? StepDone() : StepFailed();
}

StepOutcome BurnEngine::SetBurnPara(const Burn& burn, ChannelLog& log) {
    log.Write(0, "mode: %d\n", config_.burned_mode);
    BurnedParam param;
    param.words[0] = static_cast<std::uint32_t>(config_.burned_mode);
    return link_.SetBurnedParam(burn.channel, param) != 0 ? StepDone() : StepFailed();
}

StepOutcome BurnEngine::SetBurnMode(const Burn& burn, ChannelLog& log) {
    ModeControl mode = burn.mode;
    log.Write(0, "burn_mode = %d, eMedium = %d\n", mode.burn_mode, mode.medium);
    if (mode.burn_mode == kBurnModeNormal) {
        mode.erase_before_burn = options_.erase_before_burn ? 1 : 0;
        mode.no_erase = options_.no_erase && !options_.erase_before_burn ? 1 : 0;
    }
    return link_.SetMode(burn.channel, mode) != 0 ? StepDone() : StepFailed();
}

StepOutcome BurnEngine::BurnSpiFlash(const Burn& burn) {
    unsigned id = 0, chips = 0;
    if (link_.GetFlashId(burn.channel, kFlashIdQuery, kFlashIdQuery, id, chips) != kLinkSuccess)
        return StepFailed(status::kFlashIdFailed);
    if (burn.channel < flash_ids_.size()) flash_ids_[burn.channel] = id;
    auto match = std::find_if(config_.spinor_list.begin(), config_.spinor_list.end(),
                              [id](const config::SpiNorInfo& r) { return (r.chip_id & kNorIdMask) == (id & kNorIdMask); });
    if (match == config_.spinor_list.end()) {
        char line[96];
        std::snprintf(line, sizeof line, "->flash ID 0x%x is not in the SPI NOR list, fail\r\n", id);
        return StepFailed(status::kFlashParamFailed, line);
    }
    const config::SpiNorInfo info = *match;
    if (link_.SetSpiParam(burn.channel, info) == 0) return StepFailed(status::kFlashParamFailed);
    const std::string path = config::ResolveProgramPath(config_.path_nandboot);
    std::uint64_t length = GetBurnFileLength(path);
    if (length == 0) return FailedWithMessage(status::kImageFileWrong, "The length of file is wrong!");
    if (length > info.total_size)
        return FailedWithMessage(status::kSpiImageFailed, "The length of file is more than the total size of SPI NOR Flash.");
    if (length == info.total_size) {
        if (StepOutcome image = BurnSpiImage(burn); !image.ok) return image;
        return CloseProducer(burn);
    }
    Post(burn.channel, status::kDownloadBoot);
    DownloadBin bin{path, TargetName("UBOOT"), 0};
    length = GetBurnFileLength(path);
    if (length == 0) return StepFailed(status::kImageFileWrong);
    bin.length = RoundUp(length, info.erase_size);
    if (StepOutcome boot = DownloadBoot(burn, bin); !boot.ok) return boot;
    return CloseProducer(burn);
}

StepOutcome BurnEngine::BurnSpiImage(const Burn& burn) {
    Post(burn.channel, status::kSpiImage);
    DownloadBin bin{config::ResolveProgramPath(config_.path_nandboot), TargetName("spiflash"), 0};
    std::uint64_t length = GetBurnFileLength(bin.path);
    if (length == 0) return StepFailed(status::kImageFileWrong);
    bin.length = static_cast<std::uint32_t>(length);
    // This board's addresses go into its own copy of the image.
    ImageToStream stream{bin.path, {}, nullptr};
    if (recorder_ != nullptr) stream = recorder_->ImageStarts(burn.channel, bin.path);
    if (!stream.refusal.empty()) return FailedWithMessage(status::kSpiImageFailed, stream.refusal);
    bin.path = stream.path;
    if (link_.DownloadSpiImage(burn.channel, bin) != kLinkSuccess) return StepFailed(status::kSpiImageFailed);
    return StepDone();
}

StepOutcome BurnEngine::GetFlashIdAndSetNandParam(Burn& burn, ChannelLog& log) {
    unsigned id = 0, chips = 0;
    if (link_.GetFlashId(burn.channel, kFlashIdQuery, kFlashIdQuery, id, chips) != kLinkSuccess)
        return StepFailed(status::kFlashIdFailed, "->GetFlashID fail!\r\n");
    if (burn.channel < flash_ids_.size()) flash_ids_[burn.channel] = id;
    log.Write(0, "FlashID = 0x%x, chip count = %u\n", id, chips);
    auto match = std::find_if(config_.spinand_list.begin(), config_.spinand_list.end(),
                              [id](const config::SpiNandInfo& r) { return r.chip_id == id; });
    if (match == config_.spinand_list.end()) return StepFailed(status::kSetNandParamFailed, "->set nand para fail\r\n");
    const config::SpiNandInfo& info = *match;
    Post(burn.channel, status::kSetNandParam);
    log.Write(kLogTime, "++set nand para++\r\n");
    log.Write(0, "page_size = %d, spare size = %d, data_len = 0x%x, cmd_len = %u\n", info.page_size, info.spare_size,
              info.clock, info.command_length);
    // The boot area holds the boot loader with a tenth reserved for bad blocks.
    std::uint64_t length = GetBurnFileLength(config::ResolveProgramPath(config_.path_nandboot));
    unsigned bootBlocks = length == 0 ? 0 : NandBootBlocks(length, info.page_size, info.pages_per_block);
    if (bootBlocks == 0 || link_.SetExParameter(burn.channel, bootBlocks) == 0)
        return StepFailed(status::kBootAreaFailed);
    if (link_.SetNandParam(burn.channel, info) == 0)
        return StepFailed(status::kSetNandParamFailed, "->set nand para fail\r\n");
    burn.nand = info;
    return StepDone();
}

StepOutcome BurnEngine::InitSecArea(const Burn& burn) {
    return link_.InitSecArea(burn.channel, 0) == kLinkSuccess ? StepDone() : StepFailed();
}

StepOutcome BurnEngine::BurnNandBoot(const Burn& burn) {
    const std::string path = config::ResolveProgramPath(config_.path_nandboot);
    std::uint64_t length = GetBurnFileLength(path);
    if (length == 0) return FailedWithMessage(status::kDownloadBootFailed, "nand获取到的文件长度为0");
    std::uint64_t block = std::uint64_t{burn.nand.page_size} * burn.nand.pages_per_block;
    if (block == 0) {
        char line[160];
        std::snprintf(line, sizeof line,
                      "->no NAND parameters (chip_mode %d reads no flash ID), boot loader length cannot be rounded, "
                      "fail\r\n",
                      config_.chip_mode);
        return StepFailed(status::kDownloadBootFailed, line);
    }
    Post(burn.channel, status::kDownloadBoot);
    DownloadBin bin{path, TargetName("UBOOT"), RoundUp(length, block)};
    if (StepOutcome boot = DownloadBoot(burn, bin); !boot.ok) return boot;
    return CloseProducer(burn);
}

StepOutcome BurnEngine::DownloadBoot(const Burn& burn, const DownloadBin& bin) {
    if (link_.DownloadBoot(burn.channel, bin, static_cast<unsigned>(config_.chip_type)) == kLinkSuccess)
        return StepDone();
    // A burn file that went away during the download (a dropped share, a
    // replaced build) is the likeliest cause; the board has no boot loader
    // either way.
    std::string line;
    if (!BurnFileStillExists())
        line = "->the burn file " + bin.path + " went away during the boot loader download, fail\r\n";
    return StepFailed(status::kDownloadBootFailed, line);
}

StepOutcome BurnEngine::CloseProducer(const Burn& burn) {
    return link_.CloseProducer(burn.channel) == kLinkSuccess ? StepDone() : StepFailed(status::kCloseFailed);
}

}  // namespace kestrow::engine
