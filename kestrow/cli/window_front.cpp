// Opens the station window when kestrow runs without a subcommand; built only
// with the window library (KESTROW_WINDOW), so a headless build has no window.
#ifdef KESTROW_WINDOW
#include "kestrow/app/station_app.h"
#include "kestrow/cli/command_registry.h"
#include "kestrow/engine/corvel_link.h"

namespace kestrow::cli {

extern int (*g_openWindow)(int argc, char** argv, const Context& context);

namespace {

int OpenStationWindow(int argc, char** argv, const Context& context) {
    engine::CorvelLink link;
    return app::RunStationWindow(argc, argv, context.station, link);
}

[[maybe_unused]] const bool g_windowInstalled = (g_openWindow = &OpenStationWindow, true);

}  // namespace
}  // namespace kestrow::cli
#endif
