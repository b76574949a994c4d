#pragma once
// What a serial link of the station can be: the link rates a board can be
// switched to, and port names that can never name a serial port. Checked by
// `kestrow config`, `kestrow handshake` and, before it watches a port,
// `kestrow burn`.
#include <array>
#include <string>

namespace kestrow::config {

// The rates the boot ROM's baud selector and the port switch after the
// producer support (the window's baud list offers exactly these).
inline constexpr std::array<unsigned, 8> kLinkBaudRates = {115200,  921600,  1000000, 1500000,
                                                           2000000, 3000000, 4000000, 6000000};
bool IsLinkBaudRate(long long baud);
// "115200, 921600, ..., 6000000"
std::string LinkBaudRatesText();

// The device a port name opens: a path as it stands, COMn (n from 1) the
// n-th legacy serial port /dev/ttyS(n-1).
std::string PortDevicePath(const std::string& port);

// Why `port` can never be a serial port, or "" when it may be one (also when
// it is missing now: an adapter may be plugged in later). Never: an empty
// name, COM0, a path that is a folder, a regular file, a pipe, a socket or a
// block device, and a character device that is no terminal (/dev/null).
// Nothing is opened.
std::string WhyNeverASerialPort(const std::string& port);

}  // namespace kestrow::config
