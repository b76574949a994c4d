#pragma once
// Finding the station's serial ports and probing them, without widgets: real
// serial devices (ttys bound to a driver) and the virtual boards announced in
// the station folder, each opened once at 115200 baud to see that it is usable
// and not held by another program.
#include <array>
#include <string>
#include <vector>

namespace kestrow::engine {

inline constexpr int kPortInUse = -1;
inline constexpr int kPortUnusable = 0;
inline constexpr int kPortUsable = 1;
inline constexpr std::size_t kPortTableSize = 16;
// A virtual board writes the terminal it plays on as one line of this file.
inline constexpr const char* kVirtualPortsFile = "virtual_ports.txt";

using PortTable = std::array<std::string, kPortTableSize>;

class PortProber {
public:
    virtual ~PortProber() = default;
    // Port names to try, in the order the list shows them.
    virtual std::vector<std::string> Candidates() const = 0;
    // Opens the port at 115200 baud, 8N1: kPortUsable, kPortUnusable, or
    // kPortInUse when another program holds it.
    virtual int Probe(const std::string& port) const = 0;
};

// The station's announced virtual boards, then the machine's serial devices.
class SystemPorts : public PortProber {
public:
    explicit SystemPorts(std::string stationFolder, std::string sysClassTty = "/sys/class/tty");
    std::vector<std::string> Candidates() const override;
    int Probe(const std::string& port) const override;

private:
    std::string station_;
    std::string sys_class_tty_;
};

struct PortSearchResult {
    std::vector<std::string> found;  // the list's entries
    int selected = -1;               // list entry selected, -1 when nothing was found
};

// Clears `table`, fills it with the usable ports (at most 16) and moves the
// remembered port, when found, to entry 0; otherwise the first port found is
// entry 0. A port in use is not listed.
PortSearchResult SearchPorts(const PortProber& prober, const std::string& remembered, PortTable& table);

}  // namespace kestrow::engine
