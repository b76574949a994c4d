#pragma once
// The USB devices present, as libusb lists them, and the USB device behind a
// block device as sysfs links them. libusb is loaded at run time ($KESTROW_LIBUSB
// or libusb-1.0.so.0) so the serial station needs neither.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvel::usb {

struct UsbDeviceRecord {
    uint8_t bus = 0;
    std::vector<uint8_t> ports;  // port chain from the root hub; empty for a root hub
    uint8_t address = 0;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t deviceClass = 0;
    bool configured = false;  // a configuration is selected

    bool IsHub() const { return deviceClass == 9; }
    std::wstring Location() const;
};

// Every USB device on the machine; nullopt with the reason in `why` when the
// devices cannot be listed.
std::optional<std::vector<UsbDeviceRecord>> ListUsbDevices(std::string& why);

// The sysfs folder of the USB device that holds block device major:minor, ""
// when it is not on USB. `sysRoot` is "/sys" outside tests.
std::string UsbDeviceOfBlock(const std::string& sysRoot, unsigned major, unsigned minor);

// The 16-bit hexadecimal ID in file `name` of a sysfs device folder.
std::optional<uint16_t> ReadSysfsId(const std::string& deviceFolder, const char* name);

}  // namespace corvel::usb
