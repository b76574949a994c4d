#pragma once
// Finding the station's serial ports without opening them: the virtual boards
// announced in the station folder, USB serial adapters (ttyUSB, ttyACM), then
// the other serial devices, each with its stable /dev/serial/by-id/ name, its
// USB identity and whether it can be used. Nothing here opens a port, so a
// serial console, a terminal program or a board whose reset hangs on DTR or
// RTS is never disturbed by a search.
#include "kestrow/engine/board_link.h"

#include <array>
#include <string>
#include <vector>

namespace kestrow::config {
class LanguageTable;
}

namespace kestrow::engine {

inline constexpr std::size_t kPortTableSize = 16;
// A virtual board writes the terminal it plays on as one line of this file.
inline constexpr const char* kVirtualPortsFile = "virtual_ports.txt";

using PortTable = std::array<std::string, kPortTableSize>;

// What the operator is told about `port` in `condition`, in the words of
// `language` (English without one); "" when it is usable. The holder and the
// system's own words stay as the system gives them.
std::string PortProblemText(const std::string& port, const PortCondition& condition,
                            const config::LanguageTable* language = nullptr);

// A port the search found but does not list, and why. The window words it in
// its language when it shows it.
struct PortProblem {
    std::string port;
    PortCondition condition;
    bool operator==(const PortProblem&) const = default;
};

// One port the search found.
struct PortInfo {
    std::string name;   // the device path the list shows (/dev/ttyUSB0, /dev/pts/4)
    std::string alias;  // a /dev/serial/by-id/ name of the same device, or ""
    std::string usb_vendor, usb_product, usb_serial;  // four hex digits each and the serial number, where known
    bool virtual_board = false;  // announced in the station folder
    bool held_here = false;      // this program holds it (the transfer library's watch)
    PortCondition condition;
    // The list offers a port that can be opened, and one this program holds.
    bool Listed() const { return condition.state == PortState::Usable || held_here; }
};

class PortProber {
public:
    virtual ~PortProber() = default;
    // The names a search looks at, cheaply: asked again to notice devices
    // coming and going.
    virtual std::vector<std::string> Candidates() const = 0;
    // Every candidate and what can be told of it, in list order.
    virtual std::vector<PortInfo> Survey() const = 0;
    // One port, by any name (a by-id name too).
    virtual PortInfo Inspect(const std::string& port) const = 0;
};

// Where the machine shows its serial devices; tests point these at fixtures.
struct PortFolders {
    std::string sys_class_tty = "/sys/class/tty";
    std::string dev = "/dev";
    std::string by_id = "/dev/serial/by-id";
    std::string proc = "/proc";
};

// The machine's ports. `link` looks at a port for the reasons the transfer
// library knows (missing, permission, not a terminal, a UUCP lock file); the
// process table adds who holds a port.
class SystemPorts : public PortProber {
public:
    SystemPorts(BoardLink& link, std::string stationFolder, PortFolders folders = {});
    std::vector<std::string> Candidates() const override;
    std::vector<PortInfo> Survey() const override;
    PortInfo Inspect(const std::string& port) const override;

private:
    struct Holders;
    // Who holds what, as far as `ports` need it.
    Holders ReadHolders(const std::vector<std::string>& ports) const;
    std::vector<std::string> Announced() const;
    PortInfo Describe(const std::string& port, const Holders& holders) const;

    BoardLink& link_;
    std::string station_;
    PortFolders folders_;
};

struct PortSearchResult {
    std::vector<std::string> found;     // the list's entries
    int selected = -1;                  // list entry selected, -1 when the list is empty
    std::vector<PortProblem> problems;  // each port found but not listed
};

// Fills `table` with the listed ports (at most 16), the selected one in entry
// 0. The remembered port is selected wherever it is; one that was not found
// (unplugged for now, or unusable) is kept, first in the list, unless the
// station announces a virtual board, which is then selected. Without a
// remembered port the first one listed is selected.
PortSearchResult SearchPorts(const PortProber& prober, const std::string& remembered, PortTable& table);

// The search of a station whose first `rows` entries are each a row's port
// (several channels, each watching its own port). With one row it is
// SearchPorts of entry 0. With more, a configured entry keeps its place, found
// or not (it is watched until its adapter is plugged in); the rows without a
// port take, in list order, the listed ports no row has yet (a by-id name and
// its device are one port); the entries after the rows hold the other listed
// ports. The list shows the configured ports not found first, then the listed
// ones; entry 0's port is selected.
PortSearchResult SearchStationPorts(const PortProber& prober, const PortTable& configured, std::size_t rows,
                                    PortTable& table);

}  // namespace kestrow::engine
