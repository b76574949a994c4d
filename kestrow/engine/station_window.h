#pragma once
// What the engine and the station state need from the window. The Qt window
// implements it with queued events on its own thread, the command line with
// terminal output, tests with a recorder. Post never waits.
#include "kestrow/engine/port_search.h"
#include "kestrow/engine/station_event.h"

#include <string>

namespace kestrow::engine {

class StationWindow {
public:
    virtual ~StationWindow() = default;
    // Queues `event` for the window thread; never blocks.
    virtual void Post(const StationEvent& event) = 0;
    // Enables or disables the bar of controls above the channel list.
    virtual void EnableBar(bool enabled) = 0;
    virtual void RefreshTitle() = 0;
    // The window's part of the end of a run (after the station state's reset).
    virtual void EndOfRun() = 0;
    // Shows or hides the bar's "Close"/"Open" button.
    virtual void ShowCloseButton(bool visible) = 0;
    // The watched port cannot be opened, and why (`problem`), or "" once it
    // opens again. Told once per change, never per attempt.
    virtual void ReportPort(const std::string& port, const std::string& problem) = 0;
    // The watched port cannot be opened because of `why`. A front that speaks
    // the operator's language words it itself; the others are told in English.
    virtual void ReportPortCondition(const std::string& port, const PortCondition& why) {
        ReportPort(port, PortProblemText(port, why));
    }
};

}  // namespace kestrow::engine
