#include "kestrow/engine/burn_engine.h"

#include "kestrow/config/file_io.h"
#include "kestrow/config/message_sink.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/engine/channel_log.h"
#include "kestrow/engine/progress.h"
#include "kestrow/engine/status_codes.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

namespace kestrow::engine {
namespace {

// The producer needs this long after its start (and a baud switch) before it answers.
constexpr auto kProducerInitPause = std::chrono::milliseconds(350);
constexpr std::uint8_t kBurnModeNormal = 1;
constexpr std::uint32_t kNorIdMask = 0xFFFFFF;
constexpr int kChipTypeNoRamFirst = 0;   // these two chip types take no RAM parameters
constexpr int kChipTypeNoRamSecond = 4;
constexpr int kFirstRamTableChip = 6;
constexpr int kLastRamTableChip = 11;

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

}  // namespace

struct BurnEngine::Burn {
    unsigned channel;
    std::string log;  // the channel log every step appends to
};

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
    window_.Post(ProgressEvent(channel, bytes));
}

unsigned BurnEngine::LastFlashId(unsigned channel) const {
    return channel < flash_ids_.size() ? flash_ids_[channel].load() : 0;
}

void BurnEngine::Post(unsigned channel, unsigned code) {
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
    const std::tm start = ChannelLog::Now();
    const Burn burn{channel, ChannelLogName(channel, start)};
    ChannelLog log(burn.log);
    log.Write(0, "=============Burn Information For Channel[%u]=============\n", channel);
    log.Write(0, "Print Time: %d-%d-%d %02d:%02d:%02d\n\n", start.tm_year + 1900, start.tm_mon + 1, start.tm_mday,
              start.tm_hour, start.tm_min, start.tm_sec);
    log.Write(0, "ss g_udisk_burnnum: %d\n", state_.udisk_burn_number.load());

    window_.EnableBar(false);
    log.Write(kLogTime, "work number = %d\n", state_.BeginChannel(channel));
    if (channel < flash_ids_.size()) flash_ids_[channel] = 0;

    auto medium = MediumCode(config_.chip_mode);
    if (!medium) {
        log.Write(kLogTime, "->chip_mode %d names no burn medium, burn refused, fail\n", config_.chip_mode);
        Post(channel, status::kSetModeFailed);
        return 0;
    }
    const ModeControl mode{*medium, kBurnModeNormal, 0, 0};
    log.Write(kLogTime, "burn_mode = %d, eMedium = %d\n", mode.burn_mode, mode.medium);
    Post(channel, status::kStartBurn);
    link_.SetCorvelParam(channel, CorvelParam{static_cast<std::uint32_t>(config_.event_time),
                                              static_cast<std::uint32_t>(config_.platform_type),
                                              static_cast<std::uint32_t>(config_.chip_type)});

    if (config_.boot_mode_flag == config::kSecureBootMode) {
        log.Write(kLogTime, "++Start download 1k data ++\r\n");
        log.Write(0, "1k data path: %s\n", config_.path_1k_data.c_str());
        Post(channel, status::k1kData);
        if (link_.Download1kData(channel, config::ResolveProgramPath(config_.path_1k_data), k1kDataMagic) !=
            kLinkSuccess) {
            log.Write(kLogTime, "download producer fail.\r\n");
            Post(channel, status::k1kDataFailed);
            return 0;
        }
    } else if (config_.chip_type != kChipTypeRamCheck && !SetRamParam(burn)) {
        log.Write(kLogTime, "Burn_SetRamParam fail\n");
        return 0;
    }

    log.Write(kLogTime, "++Start download producer++\r\n");
    log.Write(0, "producer path: %s, addr=%08x\n", config_.path_producer.c_str(), config_.producer_run_addr);
    Post(channel, status::kDownloadProducer);
    if (link_.DownloadProducer(channel, config::ResolveProgramPath(config_.path_producer),
                               config_.producer_run_addr) != kLinkSuccess) {
        log.Write(kLogTime, "download producer fail.\r\n");
        Post(channel, status::kDownloadProducerFailed);
        return 0;
    }
    if (config_.uart_baud != static_cast<std::int32_t>(kDefaultBaud) &&
        link_.ChangeCom(config_.uart_com[0], channel, static_cast<unsigned>(config_.uart_baud)) == 0) {
        log.Write(kLogTime, "Burn_Switch Uart COM fail.\r\n");
        Post(channel, status::kSwitchComFailed);
        return 0;
    }
    std::this_thread::sleep_for(kProducerInitPause);
    if (!TestConnection(burn)) {
        log.Write(kLogTime, "Burn_TestPCAndProducerConnectOK fail.\r\n");
        return 0;
    }
    if (!SetBurnPara(burn)) {
        log.Write(kLogTime, "Burn_SetBurnPara fail.\r\n");
        return 0;
    }
    if (!SetBurnMode(burn, mode)) {
        log.Write(kLogTime, "Burn_SetBurnMode fail.\r\n");
        return 0;
    }

    if (IsSpiNorMedium(mode.medium)) {
        config::SpiNorInfo nor{};
        if (!BurnSpiFlash(burn, nor)) {
            log.Write(kLogTime, "burn_spiflash fail.\r\n");
            return 0;
        }
    } else {
        config::SpiNandInfo nand{};
        unsigned bootBlocks = 0;
        if (!GetFlashIdAndSetNandParam(burn, nand, bootBlocks)) {
            log.Write(kLogTime, "Burn_GetFlashIDAndSetNandParam fail.\r\n");
            return 0;
        }
        Post(channel, status::kSecurityArea);
        log.Write(kLogTime, "++init security area++\r\n");
        if (link_.InitSecArea(channel, 0) != kLinkSuccess) {
            log.Write(kLogTime, "KW_InitSecArea fail!\r\n");
            Post(channel, status::kSecurityAreaFailed);
            return 0;
        }
        if (!BurnNandBoot(burn, nand)) {
            log.Write(kLogTime, "Burn_NandFlash_Uboot fail.\r\n");
            return 0;
        }
    }

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

bool BurnEngine::SetRamParam(const Burn& burn) {
    if (config_.chip_type == kChipTypeNoRamFirst || config_.chip_type == kChipTypeNoRamSecond) return true;
    ChannelLog log(burn.log);
    log.Write(kLogTime, "++SetRamParam++\r\n");
    Post(burn.channel, status::kSetRam);

    std::vector<RamReg> regs;
    auto clock = static_cast<std::size_t>(config_.clock_index);
    if (config_.chip_type >= kFirstRamTableChip && config_.chip_type <= kLastRamTableChip &&
        clock < config_.active_ram_tables.size())
        for (const config::RamRegister& r : config_.active_ram_tables[clock]) regs.push_back({r.address, r.value});
    log.Write(0, "ram_count = %zu\n", regs.size());
    for (std::size_t i = 0; i < regs.size(); ++i)
        log.Write(0, "ram[%02zu]: addr=%08x, value=%08x\n", i, regs[i].address, regs[i].value);

    unsigned result = 0;
    if (regs.size() > kMaxRamRegisters) {
        log.Write(0, "the RAM table holds %zu pairs, at most %zu can be sent\n", regs.size(), kMaxRamRegisters);
    } else {
        result = options_.carrier_burn ? link_.SetRamParamNoCommit(burn.channel, regs)
                                       : link_.SetRamParam(burn.channel, regs);
    }
    if (result == kLinkSuccess) return true;
    log.Write(kLogTime, "->SetRamParam fail.\r\n");
    Post(burn.channel, status::kSetRamFailed);
    return false;
}

bool BurnEngine::TestConnection(const Burn& burn) {
    ChannelLog log(burn.log);
    log.Write(kLogTime, "++test connetion++\r\n");
    Post(burn.channel, status::kTest);
    if (link_.TestConnection(burn.channel) == kLinkSuccess) return true;
    log.Write(kLogTime, "->connetion fail!\r\n");
    Post(burn.channel, status::kTestFailed);
    return false;
}

bool BurnEngine::SetBurnPara(const Burn& burn) {
    ChannelLog log(burn.log);
    log.Write(kLogTime, "++Set Burned Param++\r\n");
    log.Write(0, "mode: %d\n", config_.burned_mode);
    BurnedParam param;
    param.words[0] = static_cast<std::uint32_t>(config_.burned_mode);
    if (link_.SetBurnedParam(burn.channel, param) != 0) return true;
    log.Write(kLogTime, "->Set Burned Param fail\r\n");
    Post(burn.channel, status::kBurnedParamFailed);
    return false;
}

bool BurnEngine::SetBurnMode(const Burn& burn, ModeControl mode) {
    ChannelLog log(burn.log);
    Post(burn.channel, status::kSetMode);
    log.Write(kLogTime, "++set mode++\r\n");
    log.Write(0, "burn_mode = %d, eMedium = %d\n", mode.burn_mode, mode.medium);
    if (mode.burn_mode == kBurnModeNormal) {
        mode.erase_before_burn = options_.erase_before_burn ? 1 : 0;
        mode.no_erase = options_.no_erase && !options_.erase_before_burn ? 1 : 0;
    }
    if (link_.SetMode(burn.channel, mode) != 0) return true;
    log.Write(kLogTime, "->set mode fail!\r\n");
    Post(burn.channel, status::kSetModeFailed);
    return false;
}

bool BurnEngine::BurnSpiFlash(const Burn& burn, config::SpiNorInfo& info) {
    Post(burn.channel, status::kFlashId);
    unsigned id = 0, chips = 0;
    if (link_.GetFlashId(burn.channel, kFlashIdQuery, kFlashIdQuery, id, chips) != kLinkSuccess) {
        Post(burn.channel, status::kFlashIdFailed);
        return false;
    }
    if (burn.channel < flash_ids_.size()) flash_ids_[burn.channel] = id;
    auto match = std::find_if(config_.spinor_list.begin(), config_.spinor_list.end(),
                              [id](const config::SpiNorInfo& r) { return (r.chip_id & kNorIdMask) == (id & kNorIdMask); });
    if (match == config_.spinor_list.end()) {
        ChannelLog(burn.log).Write(kLogTime, "->flash ID 0x%x is not in the SPI NOR list, fail\r\n", id);
        Post(burn.channel, status::kFlashParamFailed);
        return false;
    }
    info = *match;
    if (link_.SetSpiParam(burn.channel, info) == 0) {
        Post(burn.channel, status::kFlashParamFailed);
        return false;
    }
    const std::string path = config::ResolveProgramPath(config_.path_nandboot);
    std::uint64_t length = GetBurnFileLength(path);
    if (length == 0) {
        FailWithMessage(burn, status::kImageFileWrong, "The length of file is wrong!");
        return false;
    }
    if (length > info.total_size) {
        FailWithMessage(burn, status::kSpiImageFailed,
                        "The length of file is more than the total size of SPI NOR Flash.");
        return false;
    }
    if (length == info.total_size) {
        bool written = false;
        if (!BurnSpiImage(burn, written)) return false;
        return CloseProducer(burn);
    }
    Post(burn.channel, status::kDownloadBoot);
    DownloadBin bin{path, TargetName("UBOOT"), 0};
    length = GetBurnFileLength(path);
    if (length == 0) {
        Post(burn.channel, status::kImageFileWrong);
        return false;
    }
    bin.length = RoundUp(length, info.erase_size);
    if (!DownloadBoot(burn, bin)) return false;
    return CloseProducer(burn);
}

bool BurnEngine::BurnSpiImage(const Burn& burn, bool& succeeded) {
    Post(burn.channel, status::kSpiImage);
    DownloadBin bin{config::ResolveProgramPath(config_.path_nandboot), TargetName("spiflash"), 0};
    std::uint64_t length = GetBurnFileLength(bin.path);
    if (length == 0) {
        Post(burn.channel, status::kImageFileWrong);
        return false;
    }
    bin.length = static_cast<std::uint32_t>(length);
    if (link_.DownloadSpiImage(burn.channel, bin) != kLinkSuccess) {
        Post(burn.channel, status::kSpiImageFailed);
        return false;
    }
    succeeded = true;
    return true;
}

bool BurnEngine::GetFlashIdAndSetNandParam(const Burn& burn, config::SpiNandInfo& info, unsigned& bootBlocks) {
    if (config_.chip_mode != config::kModeSpiNand) return true;
    ChannelLog log(burn.log);
    Post(burn.channel, status::kFlashId);
    log.Write(kLogTime, "++KW_GetFlashID++\r\n");
    unsigned id = 0, chips = 0;
    if (link_.GetFlashId(burn.channel, kFlashIdQuery, kFlashIdQuery, id, chips) != kLinkSuccess) {
        log.Write(kLogTime, "->GetFlashID fail!\r\n");
        Post(burn.channel, status::kFlashIdFailed);
        return false;
    }
    if (burn.channel < flash_ids_.size()) flash_ids_[burn.channel] = id;
    log.Write(0, "FlashID = 0x%x, chip count = %u\n", id, chips);
    auto match = std::find_if(config_.spinand_list.begin(), config_.spinand_list.end(),
                              [id](const config::SpiNandInfo& r) { return r.chip_id == id; });
    if (match == config_.spinand_list.end()) {
        log.Write(kLogTime, "->set nand para fail\r\n");
        Post(burn.channel, status::kSetNandParamFailed);
        return false;
    }
    info = *match;
    Post(burn.channel, status::kSetNandParam);
    log.Write(kLogTime, "++set nand para++\r\n");
    log.Write(0, "page_size = %d, spare size = %d, data_len = 0x%x, cmd_len = %u\n", info.page_size, info.spare_size,
              info.clock, info.command_length);
    if (!SetBootAreaSize(burn, config::ResolveProgramPath(config_.path_nandboot), info, bootBlocks)) {
        Post(burn.channel, status::kBootAreaFailed);
        return false;
    }
    if (link_.SetNandParam(burn.channel, info) == 0) {
        log.Write(kLogTime, "->set nand para fail\r\n");
        Post(burn.channel, status::kSetNandParamFailed);
        return false;
    }
    return true;
}

bool BurnEngine::SetBootAreaSize(const Burn& burn, const std::string& path, const config::SpiNandInfo& info,
                                 unsigned& bootBlocks) {
    std::uint64_t length = GetBurnFileLength(path);
    if (length == 0) return false;
    bootBlocks = NandBootBlocks(length, info.page_size, info.pages_per_block);
    if (bootBlocks == 0) return false;  // a record without page or block size
    return link_.SetExParameter(burn.channel, bootBlocks) != 0;
}

bool BurnEngine::BurnNandBoot(const Burn& burn, const config::SpiNandInfo& info) {
    const std::string path = config::ResolveProgramPath(config_.path_nandboot);
    std::uint64_t length = GetBurnFileLength(path);
    if (length == 0) {
        FailWithMessage(burn, status::kDownloadBootFailed, "nand获取到的文件长度为0");
        return false;
    }
    std::uint64_t block = std::uint64_t{info.page_size} * info.pages_per_block;
    if (block == 0) {
        ChannelLog(burn.log).Write(
            kLogTime, "->no NAND parameters (chip_mode %d reads no flash ID), boot loader length cannot be rounded, fail\r\n",
            config_.chip_mode);
        Post(burn.channel, status::kDownloadBootFailed);
        return false;
    }
    Post(burn.channel, status::kDownloadBoot);
    DownloadBin bin{path, TargetName("UBOOT"), RoundUp(length, block)};
    if (!DownloadBoot(burn, bin)) return false;
    return CloseProducer(burn);
}

bool BurnEngine::DownloadBoot(const Burn& burn, const DownloadBin& bin) {
    if (link_.DownloadBoot(burn.channel, bin, static_cast<unsigned>(config_.chip_type)) == kLinkSuccess) return true;
    // A burn file that went away during the download (a dropped share, a
    // replaced build) is the likeliest cause; the board has no boot loader
    // either way.
    if (!BurnFileStillExists())
        ChannelLog(burn.log).Write(kLogTime, "->the burn file %s went away during the boot loader download, fail\r\n",
                                   bin.path.c_str());
    Post(burn.channel, status::kDownloadBootFailed);
    return false;
}

bool BurnEngine::CloseProducer(const Burn& burn) {
    if (link_.CloseProducer(burn.channel) == kLinkSuccess) return true;
    Post(burn.channel, status::kCloseFailed);
    return false;
}

void BurnEngine::FailWithMessage(const Burn& burn, unsigned code, const std::string& text) {
    ChannelLog(burn.log).Write(kLogTime, "->%s fail\r\n", text.c_str());
    window_.ShowMessageBox(config::kProgramCaption, text);
    // The box alone would leave the channel counted as running; the failure
    // status ends it like every other failure.
    Post(burn.channel, code);
}

}  // namespace kestrow::engine
