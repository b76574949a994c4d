// vboard: a virtual target board on a pseudo-terminal, for demonstrations,
// tests and benchmarks of the station without hardware.
#include "tools/vboard/virtual_board.h"

#include <CLI/CLI.hpp>
#include <atomic>
#include <csignal>
#include <iostream>
#include <poll.h>
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
                 "interrupted (Ctrl-C, SIGTERM), until standard input ends with --stdin-quit, or, with\n"
                 "--boards, until the last board's burn has ended."};
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
    app.add_flag("--nand", options.nand, "The flash is SPI NAND (default SPI NOR): boot-loader pieces are programmed page by page and "
                 "need the NAND parameters first");
    app.add_option("--flash-size", options.flashSize, "Flash size in bytes")->capture_default_str();
    auto* boards = app.add_option("--boards", options.boards,
                                  "Play N boards one after another on the same port, then end: when a burn ends "
                                  "(the producer is closed, or the host closes the port and does not open it "
                                  "again within a second) the next board appears after 0.3 s, in its boot ROM "
                                  "with a blank flash and the same faults")
                       ->check(CLI::Range(1u, 1000000u));
    app.add_option("--save-flash", saveFlash,
                   "Write the flash content to FILE when vboard ends; with --boards N above 1, each board's "
                   "flash to FILE.1, FILE.2, ... when its burn ends (the board on the port when vboard is "
                   "stopped is saved too)");
    app.add_option("--fault", faults,
                   "Inject a fault (repeatable): silent (never answers); no-prompt (never prints the boot "
                   "prompt); err-comm (answers every command's carriage return with \"Err Comm\"); bad-echo "
                   "(never echoes download, go, sign and their secure forms); drop-ack=K (never acknowledges data chunk K of a command); "
                   "fail-code=C (answers producer command C with failure); disconnect=N (unplugs after N "
                   "received bytes); unplug-after=LINE (unplugs when the first byte after the command line "
                   "LINE arrives, e.g. draminit); garbage (noise between reply frames); bad-checksum (sums "
                   "every upload wrongly and refuses it with \"checksum error\"); bad-ram (the RAM test "
                   "program of chip type 11 reports a RAM word that did not hold)");
    app.add_flag("--pace", options.pace,
                 "Let bytes cross the virtual wire no faster than baud / 10 per second (8N1), as a real "
                 "serial line does");
    app.add_flag("--follow-baud", options.followHostBaud,
                 "Once the producer runs, follow whatever rate the host sets on its port, even one "
                 "other than the link rate patched into the producer");
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
    const bool perBoardFiles = !saveFlash.empty() && options.boards > 1;
    auto boardFile = [&](unsigned number) { return saveFlash + "." + std::to_string(number); };
    std::atomic<unsigned> savedUpTo{0};
    std::atomic<bool> saveFailed{false};
    auto save = [&](unsigned number, const std::vector<uint8_t>& flash) {
        if (!perBoardFiles) return;
        if (!vboard::SaveBytes(boardFile(number), flash)) {
            std::cerr << "vboard: cannot write " << boardFile(number) << '\n';
            saveFailed = true;
        }
        savedUpTo = number;
    };
    try {
        vboard::VirtualBoard board(options, save);
        std::cout << board.PortPath() << std::endl;
        const bool endWithLastBoard = boards->count() > 0;
        while (!g_stop && !(endWithLastBoard && board.Done())) {
            pollfd in{STDIN_FILENO, POLLIN, 0};
            if (::poll(&in, stdinQuit ? 1 : 0, 100) > 0) {
                char c;
                if (::read(STDIN_FILENO, &c, 1) <= 0) break;
            }
        }
        if (perBoardFiles) {
            if (savedUpTo < board.BoardNumber() && !board.SaveFlash(boardFile(board.BoardNumber()))) {
                std::cerr << "vboard: cannot write " << boardFile(board.BoardNumber()) << '\n';
                return 1;
            }
            if (saveFailed) return 1;
        } else if (!saveFlash.empty() && !board.SaveFlash(saveFlash)) {
            std::cerr << "vboard: cannot write " << saveFlash << '\n';
            return 1;
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
