// Device changes reach the program from a thread of their own: where libusb
// reports them (inside its event handling, possibly a burn worker in the middle
// of a transfer) nothing waits for the program.
#include "usbcorvel/device_changes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(DeviceChanges, ReachTheProgramInOrderWithoutHoldingUpWhoReportsThem) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<usbcorvel::DeviceChange> delivered;
    std::vector<std::thread::id> deliveredOn;
    bool reporterWentOn = false, sawReporterGoOn = false, insideNotification = false;

    usbcorvel::ChangeDelivery delivery;
    ASSERT_TRUE(delivery.Start([&](const usbcorvel::DeviceChange& change) {
        std::unique_lock lock(mutex);
        // A program that takes its time (it attaches the board, with USB
        // transactions of its own) while the reporter must go on.
        if (delivered.empty()) sawReporterGoOn = changed.wait_for(lock, 5s, [&] { return reporterWentOn; });
        insideNotification = delivery.OnDeliveryThread();
        delivered.push_back(change);
        deliveredOn.push_back(std::this_thread::get_id());
        changed.notify_all();
    }));

    delivery.Post({true, L"usb:1-2", 0x1234, 909});
    {
        std::lock_guard lock(mutex);
        reporterWentOn = true;
    }
    changed.notify_all();
    delivery.Post({false, L"usb:1-2", 0x1234, 909});

    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return delivered.size() == 2; }));
    EXPECT_TRUE(sawReporterGoOn) << "the reporter waited for the program";
    EXPECT_TRUE(delivered[0].arrived);
    EXPECT_FALSE(delivered[1].arrived);
    EXPECT_EQ(delivered[1].location, L"usb:1-2");
    EXPECT_EQ(delivered[0].vendorId, 0x1234u);
    EXPECT_EQ(delivered[0].productId, 909u);
    EXPECT_NE(deliveredOn[0], std::this_thread::get_id());
    EXPECT_TRUE(insideNotification);
    EXPECT_FALSE(delivery.OnDeliveryThread());
    lock.unlock();

    // Stopped, nothing more is delivered.
    delivery.Stop();
    delivery.Post({true, L"usb:1-3", 0, 0});
    lock.lock();
    EXPECT_EQ(delivered.size(), 2u);
}

}  // namespace
