#include "kestrow/engine/port_search.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace kestrow::engine {
namespace {

// After closing a probed port: let the driver settle before anyone reopens it.
constexpr auto kProbeSettle = std::chrono::milliseconds(100);

// Device names whose numbers sort as numbers: ttyUSB2 before ttyUSB10.
bool NaturalLess(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s) {
        std::size_t digits = s.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(s[digits - 1]))) --digits;
        unsigned long number = digits < s.size() ? std::stoul(s.substr(digits, 9)) : 0;
        return std::pair{s.substr(0, digits), number};
    };
    return split(a) < split(b);
}

bool SamePort(const std::string& found, const std::string& remembered) {
    return !remembered.empty() && found == remembered;
}

}  // namespace

SystemPorts::SystemPorts(std::string stationFolder, std::string sysClassTty)
    : station_(std::move(stationFolder)), sys_class_tty_(std::move(sysClassTty)) {}

std::vector<std::string> SystemPorts::Candidates() const {
    // Virtual boards announced for this station come first: a station that
    // announces one means to burn it.
    std::vector<std::string> ports;
    std::ifstream announced(std::filesystem::path(station_) / kVirtualPortsFile);
    std::string line;
    while (std::getline(announced, line)) {
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        if (!line.empty() && std::find(ports.begin(), ports.end(), line) == ports.end()) ports.push_back(line);
    }

    std::vector<std::string> devices;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(sys_class_tty_, ec)) {
        // Only ttys bound to a driver are serial hardware; consoles and ptys are not.
        if (std::filesystem::exists(entry.path() / "device" / "driver", ec))
            devices.push_back(entry.path().filename().string());
    }
    std::sort(devices.begin(), devices.end(), NaturalLess);
    for (const std::string& name : devices)
        if (std::string port = "/dev/" + name; std::find(ports.begin(), ports.end(), port) == ports.end())
            ports.push_back(port);
    return ports;
}

int SystemPorts::Probe(const std::string& port) const {
    int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? kPortInUse : kPortUnusable;
    // The transfer library holds its ports with an exclusive lock.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return errno == EWOULDBLOCK ? kPortInUse : kPortUnusable;
    }
    termios tio{};
    bool accepted = ::tcgetattr(fd, &tio) == 0;
    if (accepted) {
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
        accepted = ::cfsetispeed(&tio, B115200) == 0 && ::cfsetospeed(&tio, B115200) == 0 &&
                   ::tcsetattr(fd, TCSANOW, &tio) == 0;
        ::tcflush(fd, TCIOFLUSH);
        int dtr = TIOCM_DTR;
        int rts = TIOCM_RTS;
        ::ioctl(fd, TIOCMBIS, &dtr);  // a pseudo-terminal refuses these; that is fine
        ::ioctl(fd, TIOCMBIC, &rts);
    }
    ::close(fd);
    std::this_thread::sleep_for(kProbeSettle);
    return accepted ? kPortUsable : kPortUnusable;
}

PortSearchResult SearchPorts(const PortProber& prober, const std::string& remembered, PortTable& table) {
    table = {};
    PortSearchResult result;
    for (const std::string& port : prober.Candidates()) {
        if (result.found.size() == kPortTableSize) break;
        if (prober.Probe(port) != kPortUsable) continue;
        table[result.found.size()] = port;
        result.found.push_back(port);
    }
    if (result.found.empty()) return result;
    result.selected = 0;
    for (std::size_t i = 0; i < result.found.size(); ++i) {
        if (SamePort(result.found[i], remembered)) {
            std::swap(table[0], table[i]);
            result.selected = static_cast<int>(i);
            break;
        }
    }
    return result;
}

}  // namespace kestrow::engine
