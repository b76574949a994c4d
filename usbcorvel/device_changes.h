#pragma once
// Device arrivals and removals on their way to the program. libusb reports
// them from inside its event handling, which runs on whatever thread is
// waiting for USB at the time: the library's event thread, or a burn worker in
// the middle of a bulk transfer. A program that attaches the board from its
// notification does USB transactions there and hangs. So the events are only
// queued where libusb reports them, and a delivery thread of their own hands
// them to the program, in order, outside libusb.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace usbcorvel {

struct DeviceChange {
    bool arrived = false;
    std::wstring location;  // "usb:BUS-PORT.PORT..."
    unsigned vendorId = 0, productId = 0;
};

class ChangeDelivery {
public:
    using Notify = std::function<void(const DeviceChange&)>;

    ChangeDelivery() = default;
    ~ChangeDelivery() { Stop(); }
    ChangeDelivery(const ChangeDelivery&) = delete;
    ChangeDelivery& operator=(const ChangeDelivery&) = delete;

    // Starts delivering to `notify`; false when no thread can be had.
    bool Start(Notify notify);
    // Queues a change. Never calls the program and never waits for it.
    void Post(DeviceChange change);
    // Ends the delivery once the change being delivered has been; changes not
    // delivered yet are dropped. Not to be called from a notification.
    void Stop();
    // True on the delivery thread, that is, inside a notification.
    bool OnDeliveryThread() const;

private:
    void Deliver();

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<DeviceChange> queue_;
    bool stop_ = false;
    Notify notify_;
    std::thread thread_;
    std::thread::id threadId_;
};

}  // namespace usbcorvel
