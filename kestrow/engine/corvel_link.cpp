#include "kestrow/engine/corvel_link.h"

#include "corvel.h"
#include "kestrow/config/text_util.h"

#include <cstring>
#include <vector>

namespace kestrow::engine {
namespace {

// The library's result for a bad argument of a file transfer.
constexpr unsigned kBadArgument = 4;

static_assert(sizeof(config::SpiNorInfo) == sizeof(T_SFLASH_PHY_INFO));
static_assert(sizeof(config::SpiNandInfo) <= sizeof(tag_Nand_Phy_Info));
static_assert(sizeof(RamReg) == sizeof(T_RAM_REG));
static_assert(sizeof(BurnedParam) == sizeof(T_BURNED_PARAM));

std::vector<T_RAM_REG> ToRamRegs(std::span<const RamReg> regs) {
    std::vector<T_RAM_REG> out;
    out.reserve(regs.size());
    for (const RamReg& r : regs) out.push_back({r.address, r.value});
    return out;
}

// False when the path does not fit the record (it would name another file).
bool FillDownloadBin(const DownloadBin& bin, T_DOWNLOAD_BIN& out) {
    std::memset(&out, 0, sizeof out);
    std::wstring path = ToWide(bin.path);
    if (path.size() >= std::size(out.path)) return false;
    std::wmemcpy(out.path, path.c_str(), path.size());
    std::memcpy(out.name, bin.name.data(), sizeof out.name);
    out.length = bin.length;
    return true;
}

}  // namespace

std::wstring ToWide(const std::string& text) {
    std::u16string units = config::Utf8ToUtf16(text);
    std::wstring out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        out.push_back(static_cast<wchar_t>(c));
    }
    return out;
}

unsigned CorvelLink::Init(unsigned channels, BurnEntry burn, ProgressEntry progress) {
    return KW_Init(channels, burn, progress);
}
// Not KW_Start: it would also wake the channels whose ports are only watched.
unsigned CorvelLink::StartChannel(unsigned channel) { return KW_Start_Channel(channel); }
unsigned CorvelLink::SetCorvelParam(unsigned channel, const CorvelParam& para) {
    T_CORVEL_PARA p{para.event_time, para.platform_type, para.chip_type};
    return KW_SetCorvelParam(channel, &p);
}
unsigned CorvelLink::SecureBootFlag(unsigned flag) { return KW_Secuse_boot_flag(flag); }
unsigned CorvelLink::StartRead(const std::string& port, unsigned index, unsigned chipType) {
    return KW_Start_Read(ToWide(port).c_str(), index, static_cast<E_CHIP_TYPE>(chipType));
}
unsigned CorvelLink::DownloadRam(unsigned channel, const std::string& path, unsigned address) {
    return KW_Uart_DownloadRam(channel, ToWide(path).c_str(), address);
}
unsigned CorvelLink::CheckSecureEn(unsigned index) { return KW_check_secure_en(index); }
unsigned CorvelLink::ChooseBaud(const std::string& port, unsigned index, unsigned baud) {
    // Not KW_Choose_Baud: its success on channel 2 reads as "no prompt yet".
    static_assert(BAUD_SELECTED == kLinkSuccess && BAUD_NO_PROMPT == kLinkNoPrompt);
    return KW_Uart_SelectBaud(ToWide(port).c_str(), index, baud);
}
unsigned CorvelLink::AttachUart(const std::string& port, unsigned baud, unsigned index) {
    return KW_Attach_Uart(ToWide(port).c_str(), baud, index);
}
unsigned CorvelLink::DetachUart(const std::string& port) { return KW_Detach_Uart(ToWide(port).c_str()); }
PortCondition CorvelLink::PortError(const std::string& port, unsigned index) {
    static_assert(kLookAtPort == KW_MAX_CHANNELS);
    constexpr unsigned kDetailChars = 256;
    wchar_t detail[kDetailChars];
    unsigned code = KW_Uart_PortError(ToWide(port).c_str(), index, detail, kDetailChars);
    PortCondition condition;
    condition.state = code <= PORT_OPEN_FAILED ? static_cast<PortState>(code) : PortState::OpenFailed;
    for (const wchar_t* c = detail; *c != L'\0'; ++c) condition.detail.push_back(static_cast<char>(*c));  // ASCII
    return condition;
}
unsigned CorvelLink::Download1kData(unsigned channel, const std::string& path, unsigned magic) {
    return KW_Download_1k_Data_uart(channel, ToWide(path).c_str(), magic);
}
unsigned CorvelLink::SetRamParam(unsigned channel, std::span<const RamReg> regs) {
    std::vector<T_RAM_REG> table = ToRamRegs(regs);
    return KW_Uart_SetRamParam(channel, table.data(), static_cast<unsigned>(table.size()));
}
unsigned CorvelLink::SetRamParamNoCommit(unsigned channel, std::span<const RamReg> regs) {
    std::vector<T_RAM_REG> table = ToRamRegs(regs);
    return KW_SetRamParam_no_CommitCorvel(channel, table.data(), static_cast<unsigned>(table.size()));
}
unsigned CorvelLink::DownloadProducer(unsigned channel, const std::string& path, unsigned runAddress) {
    return KW_Uart_DownloadProducer(channel, ToWide(path).c_str(), runAddress);
}
unsigned CorvelLink::ChangeCom(const std::string& port, unsigned channel, unsigned baud) {
    return KW_ChangeCom(ToWide(port).c_str(), channel, baud);
}
unsigned CorvelLink::TestConnection(unsigned channel) { return KW_Uart_TestConnection(channel); }
unsigned CorvelLink::SetBurnedParam(unsigned channel, const BurnedParam& param) {
    T_BURNED_PARAM p;
    std::memcpy(&p, param.words.data(), sizeof p);
    return KW_Uart_SetBurnedParam(channel, &p);
}
unsigned CorvelLink::SetMode(unsigned channel, ModeControl mode) {
    return KW_Uart_SetMode(channel, T_MODE_CONTROL{mode.medium, mode.burn_mode, mode.erase_before_burn, mode.no_erase});
}
unsigned CorvelLink::GetFlashId(unsigned channel, unsigned p1, unsigned p2, unsigned& id, unsigned& chipCount) {
    return KW_Uart_GetFlashID(channel, p1, p2, &id, &chipCount);
}
unsigned CorvelLink::SetSpiParam(unsigned channel, const config::SpiNorInfo& info) {
    T_SFLASH_PHY_INFO record;
    std::memcpy(&record, &info, sizeof record);
    return KW_Uart_SetSPIParam(channel, &record);
}
unsigned CorvelLink::SetNandParam(unsigned channel, const config::SpiNandInfo& info) {
    // The configuration keeps the record as the producer receives it; the
    // library's copy is longer, its tail stays zero.
    tag_Nand_Phy_Info record;
    std::memset(&record, 0, sizeof record);
    std::memcpy(&record, &info, sizeof info);
    return KW_Uart_SetNandParam(channel, &record);
}
unsigned CorvelLink::SetExParameter(unsigned channel, unsigned value) { return KW_Uart_Set_Ex_Parameter(channel, value); }
unsigned CorvelLink::InitSecArea(unsigned channel, unsigned value) { return KW_Uart_InitSecArea(channel, value); }
unsigned CorvelLink::DownloadBoot(unsigned channel, const DownloadBin& bin, unsigned chipType) {
    T_DOWNLOAD_BIN record;
    if (!FillDownloadBin(bin, record)) return kBadArgument;
    return KW_Uart_DownloadBoot(channel, record.path, &record, static_cast<E_CHIP_TYPE>(chipType));
}
unsigned CorvelLink::DownloadSpiImage(unsigned channel, const DownloadBin& bin) {
    T_DOWNLOAD_BIN record;
    if (!FillDownloadBin(bin, record)) return kBadArgument;
    return KW_Uart_Download_spi_img(channel, &record);
}
unsigned CorvelLink::CloseProducer(unsigned channel) { return KW_Uart_Close(channel); }

}  // namespace kestrow::engine
