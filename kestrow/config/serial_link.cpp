#include "kestrow/config/serial_link.h"

#include "kestrow/base/file_kind.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <string_view>

namespace kestrow::config {
namespace {

// COM followed by 1 to 3 digits, as the transfer library maps them.
bool IsComName(const std::string& port) {
    return port.size() > 3 && port.size() <= 6 && port.compare(0, 3, "COM") == 0 &&
           port.find_first_not_of("0123456789", 3) == std::string::npos;
}

// Pseudo-terminal slaves have majors 136..143; every other terminal is a
// character device of the tty class in sysfs. Without sysfs any character
// device may be one.
bool IsTerminalDevice(dev_t device) {
    constexpr unsigned kFirstPtyMajor = 136, kLastPtyMajor = 143;
    if (major(device) >= kFirstPtyMajor && major(device) <= kLastPtyMajor) return true;
    const std::string node =
        "/sys/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)) + "/subsystem";
    char subsystem[PATH_MAX];
    const ssize_t n = ::readlink(node.c_str(), subsystem, sizeof subsystem - 1);
    if (n < 0) return ::access("/sys/dev/char", F_OK) != 0;
    return std::string_view(subsystem, static_cast<std::size_t>(n)).ends_with("/tty");
}

}  // namespace

bool IsLinkBaudRate(long long baud) {
    return std::find(kLinkBaudRates.begin(), kLinkBaudRates.end(), baud) != kLinkBaudRates.end();
}

std::string LinkBaudRatesText() {
    std::string text;
    for (unsigned rate : kLinkBaudRates) text += (text.empty() ? "" : ", ") + std::to_string(rate);
    return text;
}

std::string PortDevicePath(const std::string& port) {
    if (IsComName(port)) {
        const int n = std::stoi(port.substr(3));
        if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
    return port;
}

std::string WhyNeverASerialPort(const std::string& port) {
    if (port.empty()) return "no port is named";
    if (IsComName(port) && std::stoi(port.substr(3)) == 0) return port + " names no port: COM ports count from COM1";
    const std::string path = PortDevicePath(port);
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return "";
    const std::string is = (path == port ? port : port + " (" + path + ")") + " is ";
    if (!S_ISCHR(st.st_mode)) return is + base::FileKindName(st.st_mode) + ", not a serial port";
    if (!IsTerminalDevice(st.st_rdev)) return is + "a character device but no terminal, so not a serial port";
    return "";
}

}  // namespace kestrow::config
