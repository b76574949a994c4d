#pragma once
// A StationWindow for fronts without widgets (the command line, tests): every
// posted event and port report goes into a queue that the front's
// own thread takes out and hands to the station state. Nothing here blocks a burn.
#include "kestrow/engine/station_window.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace kestrow::engine {

class QueuedWindow : public StationWindow {
public:
    struct Message {
        std::optional<StationEvent> event;
        // A report on the watched port: `port_problem` says why it cannot be
        // opened, or is empty once it opens again.
        bool port_report = false;
        std::string port, port_problem;
    };

    void Post(const StationEvent& event) override {
        Message m;
        m.event = event;
        Push(std::move(m));
    }
    void EnableBar(bool enabled) override { bar_enabled = enabled; }
    void RefreshTitle() override {}
    void EndOfRun() override { ++end_of_runs; }
    void ShowCloseButton(bool) override {}
    void ReportPort(const std::string& port, const std::string& problem) override {
        Message m;
        m.port_report = true;
        m.port = port;
        m.port_problem = problem;
        Push(std::move(m));
    }

    // The next message, or nullopt when none arrived before `until`.
    std::optional<Message> Pop(std::chrono::steady_clock::time_point until);

    std::atomic<bool> bar_enabled{true};
    std::atomic<int> end_of_runs{0};

private:
    void Push(Message m);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Message> queue_;
};

}  // namespace kestrow::engine
