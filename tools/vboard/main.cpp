// vboard: a virtual target board on a pseudo-terminal, for demonstrations,
// tests and benchmarks of the station without hardware.
#include "tools/vboard/virtual_board.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <iostream>
#include <unistd.h>

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"vboard: plays a camera/IoT board on a pseudo-terminal: the boot ROM of chip types 6-11\n"
                 "(wake characters, prompt, echoed commands, baud selector, registers, DDR table, uploads\n"
                 "with checksum, go) and then the producer with an emulated SPI NOR or SPI NAND flash.\n"
                 "Prints the terminal's path (the port to open) on the first line, then runs until\n"
                 "interrupted (Ctrl-C, SIGTERM), or until standard input ends with --stdin-quit."};
    vboard::BoardOptions options;
    std::vector<std::string> faults;
    std::string saveFlash;
    bool stdinQuit = false;
    app.add_option("--chip-type", options.chipType, "Chip type whose boot ROM to play, 6 to 11")
        ->check(CLI::Range(6u, 11u))
        ->capture_default_str();
    app.add_flag("--secure", options.secure,
                 "Boot ROM in secure mode: chip type 9 wakes on \"sss\" and prints its secure prompt; "
                 "types 7, 8, 10 and 11 print their prompt unasked; only securedown/securego are taken");
    app.add_option("--flash-id", options.flashId, "Flash chip ID the producer reports (e.g. 0x1740ef)")
        ->capture_default_str();
    app.add_flag("--nand", options.nand, "The flash is SPI NAND (default SPI NOR)");
    app.add_option("--flash-size", options.flashSize, "Flash size in bytes")->capture_default_str();
    app.add_option("--save-flash", saveFlash, "Write the flash content to FILE when vboard ends");
    app.add_option("--fault", faults,
                   "Inject a fault (repeatable): silent (never answers); no-prompt (never prints the boot "
                   "prompt); err-comm (answers every command's carriage return with \"Err Comm\"); bad-echo "
                   "(never echoes download, go, sign and their secure forms); drop-ack=K (never acknowledges data chunk K of a command); "
                   "fail-code=C (answers producer command C with failure); disconnect=N (unplugs after N "
                   "received bytes); garbage (noise between reply frames)");
    app.add_flag("--pace", options.pace,
                 "Let bytes cross the virtual wire no faster than baud / 10 per second (8N1), as a real "
                 "serial line does");
    app.add_flag("--stdin-quit", stdinQuit, "Also stop when standard input reaches its end");
    CLI11_PARSE(app, argc, argv);
    for (const std::string& fault : faults) {
        if (!vboard::ApplyFault(fault, options)) {
            std::cerr << "vboard: unknown fault \"" << fault << "\"; see --help\n";
            return 2;
        }
    }

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    try {
        vboard::VirtualBoard board(options);
        std::cout << board.PortPath() << std::endl;
        while (!g_stop) {
            if (stdinQuit) {
                char c;
                if (::read(0, &c, 1) <= 0) break;
            } else {
                ::pause();
            }
        }
        if (!saveFlash.empty() && !board.SaveFlash(saveFlash)) {
            std::cerr << "vboard: cannot write " << saveFlash << '\n';
            return 1;
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
