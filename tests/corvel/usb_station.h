#pragma once
// One station folder for a whole USB test run (the transfer log stays open
// across tests), with corvel pointed at the simulated USB side in place of
// the USB access library and libusb.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace usbtest {

class UsbStation : public ::testing::Environment {
public:
    static inline std::filesystem::path folder;
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() / ("corvel-usb-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        ::setenv("KESTROW_STATION", folder.c_str(), 1);
        ::setenv("KESTROW_USBCORVEL", FAKE_USB_LIBRARY, 1);
        ::setenv("KESTROW_LIBUSB", FAKE_USB_LIBRARY, 1);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
};
[[maybe_unused]] inline ::testing::Environment* const g_usbStation =
    ::testing::AddGlobalTestEnvironment(new UsbStation);

}  // namespace usbtest
