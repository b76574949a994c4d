// kestrow handshake: wakes the boot ROM of one board on a serial port, switches
// its link rate and attaches it to channel 1, printing every step. Useful to
// check the wiring of a station before a burn. Exit status 0 when the board
// was attached, 1 when no board answered or the handshake failed, 2 for a
// usage error (a rate the link cannot run, a port that can never be serial).
#include "kestrow/cli/command_registry.h"
#include "kestrow/config/chip_types.h"
#include "kestrow/config/serial_link.h"
#include "kestrow/engine/corvel_link.h"
#include "kestrow/engine/port_search.h"

#include "corvel.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

namespace kestrow::cli {
namespace {

struct HandshakeOptions {
    std::string port;
    unsigned chipType = config::ChipTypeNamed("SOC_FC_E1");
    unsigned baud = 921600;
    bool secure = false;
    unsigned timeoutSeconds = 10;
};

int BurnNothing(unsigned) { return 0; }
void IgnoreProgress(unsigned, unsigned) {}

constexpr unsigned kChannelIndex = 0;
constexpr auto kRetryPause = std::chrono::milliseconds(100);
constexpr unsigned kMaxHandshakeSeconds = 3600;
constexpr int kHandshakeAttached = 0;
constexpr int kHandshakeFailed = 1;
constexpr int kHandshakeUsage = 2;

int RunHandshake(const HandshakeOptions& opts) {
    if (const std::string why = config::WhyNeverASerialPort(opts.port); !why.empty()) {
        std::cerr << "handshake: " << why << "\n";
        return kHandshakeUsage;
    }
    // The same name conversion as the burn's, so any path it accepts works here.
    const std::wstring port = engine::ToWide(opts.port);
    auto step = [](const std::string& text) { std::cout << text << std::endl; };

    KW_Secuse_boot_flag(opts.secure ? 2 : 0);
    T_CORVEL_PARA para{0, 2, opts.chipType};
    KW_SetCorvelParam(0, &para);
    if (KW_Init(1, BurnNothing, IgnoreProgress) != KW_SUCCESS) {
        std::cerr << "handshake: the transfer library did not initialise\n";
        return kHandshakeFailed;
    }
    unsigned major = 0, minor = 0, build = 0;
    KW_GetVersion(&major, &minor, &build);
    step("corvel " + std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build) +
         ", chip type " + std::to_string(opts.chipType) + (opts.secure ? " (secure boot)" : ""));

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opts.timeoutSeconds);
    unsigned attempt = 0;
    for (;;) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::cerr << "handshake: no boot prompt from " << opts.port << " within " << opts.timeoutSeconds
                      << " s (board off, wrong port or wrong chip type?)\n";
            KW_Detach_Uart(port.c_str());
            return kHandshakeFailed;
        }
        if (KW_Start_Read(port.c_str(), kChannelIndex, static_cast<E_CHIP_TYPE>(opts.chipType)) == 0) {
            engine::CorvelLink link;
            engine::PortCondition why = link.PortError(opts.port, kChannelIndex);
            if (why.state == engine::PortState::Usable) why.state = engine::PortState::OpenFailed;
            std::cerr << "handshake: " << engine::PortProblemText(opts.port, why) << "\n";
            return kHandshakeFailed;
        }
        if (attempt++ == 0) step("port " + opts.port + " open at 115200 baud, wake characters sent");
        std::this_thread::sleep_for(kRetryPause);
        unsigned result = opts.secure ? KW_check_secure_en(kChannelIndex)
                                      : KW_Choose_Baud(port.c_str(), kChannelIndex, opts.baud);
        if (result == 2) continue;  // no prompt yet: wake the board again
        if (result == 0) {
            std::cerr << "handshake: the boot ROM did not accept the "
                      << (opts.secure ? "secure handshake" : "baud rate command") << "\n";
            KW_Detach_Uart(port.c_str());
            return kHandshakeFailed;
        }
        break;
    }
    step(opts.secure ? "secure boot prompt recognised"
                     : "boot prompt recognised, baud rate command sent for " + std::to_string(opts.baud));
    unsigned linkBaud = opts.secure ? 115200 : opts.baud;
    if (KW_Attach_Uart(port.c_str(), linkBaud, kChannelIndex) == 0) {
        std::cerr << "handshake: attaching the board failed (see the transfer log)\n";
        KW_Detach_Uart(port.c_str());
        return kHandshakeFailed;
    }
    step("board attached to channel 1 at link rate " + std::to_string(linkBaud));
    KW_Detach_Uart(port.c_str());
    step("port closed");
    step("handshake complete");
    return kHandshakeAttached;
}

void SetupHandshakeCommand(CLI::App& app, Context& context) {
    auto opts = std::make_shared<HandshakeOptions>();
    CLI::App* cmd = app.add_subcommand("handshake", "Wake a board's boot ROM on a serial port and attach it (a wiring check)");
    cmd->add_option("--port", opts->port, "Serial port: a device path such as /dev/ttyUSB0, or COMn")->required();
    constexpr config::ChipTypeRun kSerialBoot =
        config::ChipTypesWhere([](const config::ChipTypeInfo& row) { return row.serialBoot; });
    cmd->add_option("--chip-type", opts->chipType,
                    "Chip type of the board, " + std::to_string(kSerialBoot.first) + " to " +
                        std::to_string(kSerialBoot.last))
        ->check(CLI::Range(unsigned(kSerialBoot.first), unsigned(kSerialBoot.last)))
        ->capture_default_str();
    cmd->add_option("--baud", opts->baud, "Link rate to switch the boot ROM to: " + config::LinkBaudRatesText())
        ->check(CLI::IsMember(std::vector<unsigned>(config::kLinkBaudRates.begin(), config::kLinkBaudRates.end())))
        ->capture_default_str();
    cmd->add_flag("--secure", opts->secure, "The board boots in secure mode");
    cmd->add_option("--timeout", opts->timeoutSeconds,
                    "Seconds to wait for the boot prompt, 1 to " + std::to_string(kMaxHandshakeSeconds))
        ->check(CLI::Range(1u, kMaxHandshakeSeconds))
        ->capture_default_str();
    cmd->callback([opts, &context] { context.run = [opts](const Context&) { return RunHandshake(*opts); }; });
}

CommandRegistrar handshakeRegistrar(SetupHandshakeCommand);

}  // namespace
}  // namespace kestrow::cli
