// Finding the USB device behind a block device in a small sysfs tree made for
// the test: a USB stick's partition, and a disk that is not on USB.
#include "corvel/usb/usb_enumeration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

class SysfsTree : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() / ("corvel-sysfs-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        // A stick on port 2.3 of bus 1: device folder 1-2.3, interface 1-2.3:1.0, then the SCSI disk.
        fs::path usb = root_ / "devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3";
        Write(usb / "idVendor", "abcd\n");
        Write(usb / "idProduct", "038d\n");
        Write(usb / "busnum", "1\n");
        Write(usb.parent_path() / "idVendor", "05e3\n");  // the hub it hangs on
        Write(usb.parent_path() / "busnum", "1\n");
        fs::path partition = usb / "1-2.3:1.0/host3/target3:0:0/3:0:0:0/block/sdb/sdb1";
        fs::create_directories(partition);
        fs::path ata = root_ / "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
        fs::create_directories(ata);
        fs::create_directories(root_ / "dev/block");
        fs::create_symlink(partition, root_ / "dev/block/8:17");
        fs::create_symlink(ata, root_ / "dev/block/8:0");
        usbDevice_ = fs::canonical(usb).string();
    }
    void TearDown() override { fs::remove_all(root_); }
    static void Write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    fs::path root_;
    std::string usbDevice_;
};

TEST_F(SysfsTree, PartitionOfAUsbStickLeadsToTheStickNotItsHub) {
    std::string device = corvel::usb::UsbDeviceOfBlock(root_.string(), 8, 17);
    EXPECT_EQ(device, usbDevice_);
    EXPECT_EQ(corvel::usb::ReadSysfsId(device, "idVendor"), 0xABCD);
    EXPECT_EQ(corvel::usb::ReadSysfsId(device, "idProduct"), 0x038D);
}

TEST_F(SysfsTree, DisksNotOnUsbAndUnknownDevicesHaveNoUsbDevice) {
    EXPECT_EQ(corvel::usb::UsbDeviceOfBlock(root_.string(), 8, 0), "");
    EXPECT_EQ(corvel::usb::UsbDeviceOfBlock(root_.string(), 8, 99), "");
    EXPECT_EQ(corvel::usb::ReadSysfsId(usbDevice_, "missing"), std::nullopt);
    Write(usbDevice_ + "/idVendor", "not-hex\n");
    EXPECT_EQ(corvel::usb::ReadSysfsId(usbDevice_, "idVendor"), std::nullopt);
}

}  // namespace
