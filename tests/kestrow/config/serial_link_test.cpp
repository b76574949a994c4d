// Port names that can never be a serial port, told without opening anything.
#include "kestrow/config/serial_link.h"
#include "tests/kestrow/config/temp_folder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrow::config {
namespace {

TEST(SerialLink, PortsThatCanNeverBeSerialAreToldWhy) {
    testing::TempFolder folder;
    folder.Write("file.txt", "not a port");
    ASSERT_EQ(::mkfifo(folder.Path("pipe").c_str(), 0644), 0);
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string pty = ::ptsname(master);
    struct Case {
        std::string port;
        std::string why;  // "" when it may be a serial port
    };
    const Case cases[] = {
        {"", "no port is named"},
        {"COM0", "COM0 names no port: COM ports count from COM1"},
        {"COM000", "COM000 names no port: COM ports count from COM1"},
        {"/dev/null", "/dev/null is a character device but no terminal, so not a serial port"},
        {folder.Dir(), folder.Dir() + " is a folder, not a serial port"},
        {folder.Path("file.txt"), folder.Path("file.txt") + " is a regular file, not a serial port"},
        {folder.Path("pipe"), folder.Path("pipe") + " is a named pipe, not a serial port"},
        {pty, ""},
        {folder.Path("ttyUSB9"), ""},  // missing now; an adapter may be plugged in later
    };
    for (const Case& c : cases) EXPECT_EQ(WhyNeverASerialPort(c.port), c.why) << c.port;
    ::close(master);
}

TEST(SerialLink, ComNamesOpenTheLegacySerialPorts) {
    EXPECT_EQ(PortDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(PortDevicePath("COM12"), "/dev/ttyS11");
    EXPECT_EQ(PortDevicePath("COM1234"), "COM1234");  // beyond three digits: a name as it stands
    EXPECT_EQ(PortDevicePath("/dev/ttyUSB0"), "/dev/ttyUSB0");
}

}  // namespace
}  // namespace kestrow::config
