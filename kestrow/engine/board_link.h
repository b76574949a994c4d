#pragma once
// BoardLink: the transfer-library calls the engine, the station and the attach
// thread make, one method per call with the library's own result codes
// (1 success, 0 failure, 2 and 4 where the library documents them). The station
// uses the transfer library through CorvelLink; tests use a scripted fake.
#include "kestrow/config/flash_records.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace kestrow::engine {

inline constexpr unsigned kLinkSuccess = 1;
// Handshake result meaning "no boot prompt yet": the port is left as it is.
inline constexpr unsigned kLinkNoPrompt = 2;

// Why a serial port cannot be used, with the transfer library's values.
enum class PortState : std::uint8_t {
    Usable = 0,
    Missing = 1,
    NoPermission = 2,
    InUse = 3,
    NotSerial = 4,
    OpenFailed = 5,
};
struct PortCondition {
    PortState state = PortState::Usable;
    std::string detail;  // the holder, or the system's own words
    bool operator==(const PortCondition&) const = default;
};
// PortError's slot meaning "look at the port without opening it".
inline constexpr unsigned kLookAtPort = 32;

struct RamReg {
    std::uint32_t address;
    std::uint32_t value;
};

// Burn mode record sent by value: medium, mode and the two erase switches.
struct ModeControl {
    std::uint8_t medium = 0;
    std::uint8_t burn_mode = 0;
    std::uint8_t erase_before_burn = 0;
    std::uint8_t no_erase = 0;
};

// The 24-byte block of burned parameters; word 0 is the burned mode.
struct BurnedParam {
    std::array<std::uint32_t, 6> words{};
};

// One file to write into the flash: the boot loader or a whole-flash image.
struct DownloadBin {
    std::string path;              // resolved file path
    std::array<char, 8> name{};    // zero-padded target name
    std::uint32_t length = 0;      // bytes to reserve
};

struct CorvelParam {
    std::uint32_t event_time = 0;
    std::uint32_t platform_type = 0;
    std::uint32_t chip_type = 0;
};

using BurnEntry = int (*)(unsigned channel);
using ProgressEntry = void (*)(unsigned channel, unsigned bytes);

class BoardLink {
public:
    virtual ~BoardLink() = default;

    // Library frame.
    virtual unsigned Init(unsigned channels, BurnEntry burn, ProgressEntry progress) = 0;
    // Starts the burn of one attached channel; 1 when it was started.
    virtual unsigned StartChannel(unsigned channel) = 0;
    virtual unsigned SetCorvelParam(unsigned channel, const CorvelParam& para) = 0;
    virtual unsigned SecureBootFlag(unsigned flag) = 0;

    // Port watching and attach (channel index, not number, as the library takes it).
    virtual unsigned StartRead(const std::string& port, unsigned index, unsigned chipType) = 0;
    virtual unsigned DownloadRam(unsigned channel, const std::string& path, unsigned address) = 0;
    virtual unsigned CheckSecureEn(unsigned index) = 0;
    // 1 the boot ROM took the rate, kLinkNoPrompt no prompt yet, 0 failure.
    virtual unsigned ChooseBaud(const std::string& port, unsigned index, unsigned baud) = 0;
    // The channel number bound to the port, 0 on failure.
    virtual unsigned AttachUart(const std::string& port, unsigned baud, unsigned index) = 0;
    virtual unsigned DetachUart(const std::string& port) = 0;
    // Why a port cannot be used: the last open of channel slot `index`, or with
    // kLookAtPort a look at `port` that opens nothing.
    virtual PortCondition PortError(const std::string& port, unsigned index) = 0;

    // Burn of one channel.
    virtual unsigned Download1kData(unsigned channel, const std::string& path, unsigned magic) = 0;
    virtual unsigned SetRamParam(unsigned channel, std::span<const RamReg> regs) = 0;
    virtual unsigned SetRamParamNoCommit(unsigned channel, std::span<const RamReg> regs) = 0;
    virtual unsigned DownloadProducer(unsigned channel, const std::string& path, unsigned runAddress) = 0;
    virtual unsigned ChangeCom(const std::string& port, unsigned channel, unsigned baud) = 0;
    virtual unsigned TestConnection(unsigned channel) = 0;
    virtual unsigned SetBurnedParam(unsigned channel, const BurnedParam& param) = 0;
    virtual unsigned SetMode(unsigned channel, ModeControl mode) = 0;
    virtual unsigned GetFlashId(unsigned channel, unsigned p1, unsigned p2, unsigned& id, unsigned& chipCount) = 0;
    virtual unsigned SetSpiParam(unsigned channel, const config::SpiNorInfo& info) = 0;
    virtual unsigned SetNandParam(unsigned channel, const config::SpiNandInfo& info) = 0;
    virtual unsigned SetExParameter(unsigned channel, unsigned value) = 0;
    virtual unsigned InitSecArea(unsigned channel, unsigned value) = 0;
    virtual unsigned DownloadBoot(unsigned channel, const DownloadBin& bin, unsigned chipType) = 0;
    virtual unsigned DownloadSpiImage(unsigned channel, const DownloadBin& bin) = 0;
    // Ends the producer session of the channel.
    virtual unsigned CloseProducer(unsigned channel) = 0;
};

}  // namespace kestrow::engine
