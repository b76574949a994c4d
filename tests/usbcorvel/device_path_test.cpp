#include "usbcorvel/device_path.h"

#include <gtest/gtest.h>

namespace {

using usbcorvel::ParseDevicePath;

TEST(DevicePath, LocationsAndDeviceNodes) {
    struct Case {
        const wchar_t* text;
        bool valid;
        unsigned bus;
        std::vector<uint8_t> ports;
        unsigned address;
    };
    const Case cases[] = {
        {L"usb:1-2", true, 1, {2}, 0},
        {L"usb:3-1.4.2", true, 3, {1, 4, 2}, 0},
        {L"/dev/bus/usb/001/007", true, 1, {}, 7},
        {L"usb:1", false, 0, {}, 0},          // a root hub binds no board
        {L"usb:0-1", false, 0, {}, 0},        // buses count from 1
        {L"usb:1-0", false, 0, {}, 0},        // ports count from 1
        {L"usb:1-2.", false, 0, {}, 0},
        {L"usb:1.2", false, 0, {}, 0},
        {L"usb:1-2-3", false, 0, {}, 0},
        {L"usb:1-256", false, 0, {}, 0},
        {L"usb:1-1.1.1.1.1.1.1.1", false, 0, {}, 0},  // deeper than USB allows
        {L"/dev/bus/usb/001/", false, 0, {}, 0},
        {L"/dev/bus/usb/001/128", false, 0, {}, 0},
        {L"/dev/bus/usb/001/007x", false, 0, {}, 0},
        {L"/dev/ttyUSB0", false, 0, {}, 0},
        {L"", false, 0, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text, c.text + wcslen(c.text)));
        auto path = ParseDevicePath(c.text);
        ASSERT_EQ(path.has_value(), c.valid);
        if (!c.valid) continue;
        EXPECT_EQ(path->bus, c.bus);
        EXPECT_EQ(path->ports, c.ports);
        EXPECT_EQ(path->address, c.address);
    }
}

TEST(DevicePath, LocationRoundTripsAndNamesOnlyItsDevice) {
    std::vector<uint8_t> ports{1, 4};
    std::wstring location = usbcorvel::FormatLocation(3, ports);
    EXPECT_EQ(location, L"usb:3-1.4");
    auto path = ParseDevicePath(location);
    ASSERT_TRUE(path);
    EXPECT_TRUE(usbcorvel::PathNames(*path, 3, ports, 9));
    EXPECT_FALSE(usbcorvel::PathNames(*path, 3, {1}, 9));
    EXPECT_FALSE(usbcorvel::PathNames(*path, 2, ports, 9));
    auto node = ParseDevicePath(L"/dev/bus/usb/003/009");
    ASSERT_TRUE(node);
    EXPECT_TRUE(usbcorvel::PathNames(*node, 3, ports, 9));
    EXPECT_FALSE(usbcorvel::PathNames(*node, 3, ports, 8));
}

}  // namespace
