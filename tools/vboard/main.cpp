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
    CLI::App app{"vboard: plays a camera/IoT board's boot ROM on a pseudo-terminal.\n"
                 "Prints the terminal's path (the port to open) on the first line, then runs\n"
                 "until interrupted (Ctrl-C, SIGTERM) or until standard input closes with --stdin-quit."};
    vboard::BoardOptions options;
    std::vector<std::string> faults;
    bool stdinQuit = false;
    app.add_option("--chip-type", options.chipType, "Chip type whose boot ROM to play, 6 to 11")
        ->check(CLI::Range(6u, 11u))
        ->capture_default_str();
    app.add_flag("--secure", options.secure,
                 "Boot ROM in secure mode: chip type 9 wakes on \"sss\" and prints its secure prompt; "
                 "types 7, 8, 10 and 11 print their prompt unasked");
    app.add_option("--fault", faults,
                   "Inject a fault (repeatable): silent (never answers), no-prompt (never prints the "
                   "boot prompt), err-comm (answers every command's carriage return with \"Err Comm\")");
    app.add_flag("--stdin-quit", stdinQuit, "Also stop when standard input reaches its end");
    CLI11_PARSE(app, argc, argv);
    for (const std::string& name : faults) {
        vboard::Fault fault;
        if (!vboard::ParseFault(name, fault)) {
            std::cerr << "vboard: unknown fault \"" << name << "\"; see --help\n";
            return 2;
        }
        options.faults.push_back(fault);
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
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
