#pragma once
// Events with the semantics the channel protocol relies on: an auto-reset event
// wakes one waiter and clears itself; a manual-reset event stays set until reset.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace corvel {

class Event {
public:
    explicit Event(bool autoReset) : autoReset_(autoReset) {}

    void Set() {
        {
            std::lock_guard lock(mutex_);
            set_ = true;
        }
        if (autoReset_) cv_.notify_one(); else cv_.notify_all();
    }
    void Reset() {
        std::lock_guard lock(mutex_);
        set_ = false;
    }
    void Wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return set_; });
        if (autoReset_) set_ = false;
    }
    // True when the event was (or became) set within `timeout`.
    bool WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, timeout, [&] { return set_; })) return false;
        if (autoReset_) set_ = false;
        return true;
    }

private:
    const bool autoReset_;
    bool set_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
};

}  // namespace corvel
