// kestrow: with no arguments the station window, otherwise one subcommand.
#include "kestrow/cli/command_registry.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/engine/program_version.h"

#include <iostream>

namespace kestrow::cli {

std::vector<CommandSetup>& RegisteredCommands() {
    static std::vector<CommandSetup> commands;
    return commands;
}

// Set by the window front when it is linked in; without it the program is headless.
int (*g_openWindow)(int argc, char** argv, const Context& context) = nullptr;

}  // namespace kestrow::cli

int main(int argc, char** argv) {
    using namespace kestrow::cli;
    CLI::App app{"Kestrow burning station: burns camera and IoT boards over serial ports, "
                 "builds SPI NOR flash images and FAT disk images."};
    app.set_version_flag("--version", [] { return kestrow::engine::VersionLine(); });
    Context context;
    app.add_option("--station", context.station,
                   "Station folder (configuration, tables, logs); default $KESTROW_STATION, "
                   "else for an installed program ~/.local/share/kestrow/station (made from the "
                   "sample station), else the program's folder")
        ->check(CLI::ExistingDirectory);
    app.fallthrough();  // --station may also follow the subcommand
    for (CommandSetup setup : RegisteredCommands()) setup(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version exit 0; every usage error exits 2, after the parser has said why.
        return app.exit(e) == 0 ? 0 : 2;
    }
    // corvel reads KESTROW_STATION, so both halves of the station share one folder.
    context.station = kestrow::config::UseStationFolder(context.station);
    if (context.run) {
        try {
            return context.run(context);
        } catch (const std::exception& e) {
            // A failure no command foresaw still ends with a reason, not an abort.
            std::cerr << "kestrow: " << e.what() << "\n";
            return 1;
        }
    }
    if (g_openWindow == nullptr) {
        std::cerr << "kestrow: this build has no window; see kestrow --help\n";
        return 2;
    }
    return g_openWindow(argc, argv, context);
}
