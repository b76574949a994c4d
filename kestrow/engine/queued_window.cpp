#include "kestrow/engine/queued_window.h"

namespace kestrow::engine {

std::optional<QueuedWindow::Message> QueuedWindow::Pop(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, until, [this] { return !queue_.empty(); })) return std::nullopt;
    Message m = std::move(queue_.front());
    queue_.pop_front();
    return m;
}

void QueuedWindow::Push(Message m) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(m));
    }
    changed_.notify_one();
}

}  // namespace kestrow::engine
