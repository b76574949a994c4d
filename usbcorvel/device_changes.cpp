#include "usbcorvel/device_changes.h"

#include <system_error>

namespace usbcorvel {

bool ChangeDelivery::Start(Notify notify) {
    Stop();
    std::lock_guard lock(mutex_);
    notify_ = std::move(notify);
    stop_ = false;
    try {
        thread_ = std::thread(&ChangeDelivery::Deliver, this);
    } catch (const std::system_error&) {
        notify_ = nullptr;
        return false;
    }
    threadId_ = thread_.get_id();
    return true;
}

void ChangeDelivery::Post(DeviceChange change) {
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable() || stop_) return;
        queue_.push_back(std::move(change));
    }
    changed_.notify_one();
}

void ChangeDelivery::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (!thread_.joinable()) return;
        stop_ = true;
        queue_.clear();
    }
    changed_.notify_one();
    thread_.join();
    std::lock_guard lock(mutex_);
    notify_ = nullptr;
    threadId_ = {};
}

bool ChangeDelivery::OnDeliveryThread() const {
    std::lock_guard lock(mutex_);
    return thread_.joinable() && std::this_thread::get_id() == threadId_;
}

void ChangeDelivery::Deliver() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        DeviceChange change = std::move(queue_.front());
        queue_.pop_front();
        Notify notify = notify_;
        lock.unlock();
        try {
            notify(change);
        } catch (...) {
            // The program's own failure; the next change is still delivered.
        }
        lock.lock();
    }
}

}  // namespace usbcorvel
