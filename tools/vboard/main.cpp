// vboard: a virtual target board on a pseudo-terminal, or one on each of
// several, for demonstrations, tests and benchmarks of the station without
// hardware.
#include "tools/vboard/station_announcement.h"
#include "tools/vboard/virtual_board.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <iostream>
#include <memory>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace {
// How long the last board's answers may wait for the host to read them, and
// how long the terminal must have held nothing unread before vboard ends: a
// written byte reaches the host's queue a moment after the write returns.
constexpr std::chrono::seconds kLingerForTheHost{5};
constexpr std::chrono::milliseconds kHostQuiet{500};
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"vboard: plays a camera/IoT board on a pseudo-terminal: the boot ROM of chip types 6-11\n"
                 "(wake characters, prompt, echoed commands, baud selector, registers, DDR table, uploads\n"
                 "with checksum, go) and then the producer with an emulated SPI NOR or SPI NAND flash.\n"
                 "Prints the terminal's path (the port to open) on the first line, one line per port\n"
                 "with --ports (with --station the links announced there), then runs until interrupted\n"
                 "(Ctrl-C, SIGTERM, SIGHUP), until standard input ends with --stdin-quit, or, with --boards,\n"
                 "until the last board's burn has ended on every port."};
    vboard::BoardOptions options;
    std::vector<std::string> faults;
    std::string saveFlash;
    std::string station;
    bool stdinQuit = false;
    unsigned ports = 1;
    app.add_option("--chip-type", options.chipType, "Chip type whose boot ROM to play, 6 to 11")
        ->check(CLI::Range(6u, 11u))
        ->capture_default_str();
    app.add_flag("--secure", options.secure,
                 "Boot ROM in secure mode: chip type 9 wakes on \"sss\" and prints its secure prompt; "
                 "types 7, 8, 10 and 11 print their prompt unasked; only securedown/securego are taken");
    app.add_option("--flash-id", options.flashId, "Flash chip ID the producer reports (e.g. 0x1740ef)")
        ->capture_default_str();
    app.add_flag("--nand", options.nand, "The flash is SPI NAND (default SPI NOR): boot-loader pieces are programmed page by page and "
                 "need the NAND parameters first");
    app.add_option("--flash-size", options.flashSize, "Flash size in bytes")->capture_default_str();
    auto* boards = app.add_option("--boards", options.boards,
                                  "Play N boards one after another on the same port, then end: when a burn ends "
                                  "(the producer is closed, the host closes the port and does not open it "
                                  "again within a second, or the host wakes the board again after its burn "
                                  "began, as it does once a burn failed, and has looked at the silent port twice "
                                  "more) the next board appears after 0.3 s, "
                                  "in its boot ROM with a blank flash and the same faults")
                       ->check(CLI::Range(1u, 1000000u));
    app.add_option("--ports", ports,
                   "Play boards on N pseudo-terminals at once, each port with its own --boards sequence, "
                   "state and flash, as the fixtures of one line")
        ->check(CLI::Range(1u, 64u))
        ->capture_default_str();
    app.add_option("--save-flash", saveFlash,
                   "Write the flash content to FILE when vboard ends; with --boards N above 1, each board's "
                   "flash to FILE.1, FILE.2, ... when its burn ends (the board on the port when vboard is "
                   "stopped is saved too); with --ports above 1, port K's to FILE.pK (FILE.pK.1, ...)");
    app.add_option("--fault", faults,
                   "Inject a fault (repeatable): silent (never answers); no-prompt (never prints the boot "
                   "prompt); err-comm (answers every command's carriage return with \"Err Comm\"); bad-echo "
                   "(never echoes download, go, sign and their secure forms); drop-ack=K (never acknowledges data chunk K of a command); "
                   "fail-code=C (answers producer command C with failure); disconnect=N (unplugs after N "
                   "received bytes); unplug-after=LINE (unplugs when the first byte after the command line "
                   "LINE arrives, e.g. draminit); garbage (noise between reply frames); bad-checksum (sums "
                   "every upload wrongly and refuses it with \"checksum error\"); bad-ram (the RAM test "
                   "program of chip type 11 reports a RAM word that did not hold). With --ports, K:FAULT injects it on port K only");
    app.add_flag("--pace", options.pace,
                 "Let bytes cross the virtual wire no faster than baud / 10 per second (8N1), as a real "
                 "serial line does");
    app.add_flag("--follow-baud", options.followHostBaud,
                 "Once the producer runs, follow whatever rate the host sets on its port, even one "
                 "other than the link rate patched into the producer");
    app.add_flag("--stdin-quit", stdinQuit, "Also stop when standard input reaches its end");
    app.add_option("--station", station,
                   "Announce the ports in station folder DIR: a link DIR/virtual_port_K to port K's terminal, "
                   "the links listed in DIR/virtual_ports.txt; both are removed when vboard ends, so a list "
                   "left behind never leads to a terminal another program has since")
        ->check(CLI::ExistingDirectory);
    CLI11_PARSE(app, argc, argv);
    // Each port's options: the faults without a port number, and its own.
    std::vector<vboard::BoardOptions> portOptions(ports, options);
    for (const std::string& fault : faults) {
        std::size_t colon = fault.find(':');
        unsigned port = 0;
        std::string what = fault;
        if (colon != std::string::npos && colon > 0 &&
            std::all_of(fault.begin(), fault.begin() + static_cast<long>(colon),
                        [](unsigned char c) { return std::isdigit(c) != 0; })) {
            port = static_cast<unsigned>(std::stoul(fault.substr(0, colon)));
            what = fault.substr(colon + 1);
            if (port == 0 || port > ports) {
                std::cerr << "vboard: --fault " << fault << " names port " << port << " of " << ports << "\n";
                return 2;
            }
        }
        for (unsigned p = 0; p < ports; ++p) {
            if (port != 0 && p + 1 != port) continue;
            if (!vboard::ApplyFault(what, portOptions[p])) {
                std::cerr << "vboard: unknown fault \"" << what << "\"; see --help\n";
                return 2;
            }
        }
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGHUP, OnSignal);
    const bool perBoardFiles = !saveFlash.empty() && options.boards > 1;
    // Port K's flash file, and its board B's with several boards a port.
    auto portFile = [&](unsigned port) { return ports > 1 ? saveFlash + ".p" + std::to_string(port) : saveFlash; };
    auto boardFile = [&](unsigned port, unsigned number) { return portFile(port) + "." + std::to_string(number); };
    struct Port {
        std::atomic<unsigned> savedUpTo{0};
        std::unique_ptr<vboard::VirtualBoard> board;
    };
    std::vector<Port> fleet(ports);
    std::atomic<bool> saveFailed{false};
    try {
        for (unsigned p = 0; p < ports; ++p) {
            auto save = [&, p](unsigned number, const std::vector<uint8_t>& flash) {
                if (!perBoardFiles) return;
                if (!vboard::SaveBytes(boardFile(p + 1, number), flash)) {
                    std::cerr << "vboard: cannot write " << boardFile(p + 1, number) << '\n';
                    saveFailed = true;
                }
                fleet[p].savedUpTo = number;
            };
            fleet[p].board = std::make_unique<vboard::VirtualBoard>(portOptions[p], save);
        }
        std::vector<std::string> announced;
        for (const Port& port : fleet) announced.push_back(port.board->PortPath());
        std::unique_ptr<vboard::StationAnnouncement> announcement;
        if (!station.empty()) {
            announcement = std::make_unique<vboard::StationAnnouncement>(station, announced);
            announced = announcement->Ports();
        }
        for (const std::string& port : announced) std::cout << port << '\n';
        std::cout << std::flush;
        const bool endWithLastBoard = boards->count() > 0;
        auto allDone = [&] {
            return std::all_of(fleet.begin(), fleet.end(), [](const Port& p) { return p.board->Done(); });
        };
        while (!g_stop && !(endWithLastBoard && allDone())) {
            pollfd in{STDIN_FILENO, POLLIN, 0};
            if (::poll(&in, stdinQuit ? 1 : 0, 100) > 0) {
                char c;
                if (::read(STDIN_FILENO, &c, 1) <= 0) break;
            }
        }
        // The last answers may still wait in the terminal for a busy host to
        // read them; ending now would hang the port up under them.
        const auto lingerUntil = std::chrono::steady_clock::now() + kLingerForTheHost;
        auto quietSince = std::chrono::steady_clock::now();
        for (auto now = quietSince; !g_stop && endWithLastBoard && now < lingerUntil && now - quietSince < kHostQuiet;
             now = std::chrono::steady_clock::now()) {
            if (!std::all_of(fleet.begin(), fleet.end(), [](const Port& p) { return p.board->HostHasReadAll(); }))
                quietSince = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        for (unsigned p = 0; p < ports; ++p) {
            const vboard::VirtualBoard& board = *fleet[p].board;
            if (perBoardFiles) {
                const std::string last = boardFile(p + 1, board.BoardNumber());
                if (fleet[p].savedUpTo < board.BoardNumber() && !board.SaveFlash(last)) {
                    std::cerr << "vboard: cannot write " << last << '\n';
                    return 1;
                }
            } else if (!saveFlash.empty() && !board.SaveFlash(portFile(p + 1))) {
                std::cerr << "vboard: cannot write " << portFile(p + 1) << '\n';
                return 1;
            }
        }
        if (saveFailed) return 1;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
