#pragma once
// The ports a vboard announces in a station folder: a link per port in the
// folder (virtual_port_1, virtual_port_2, ...) that leads to its
// pseudo-terminal, the links listed one a line in the folder's
// virtual_ports.txt. The links go with the announcement, so a list left
// behind leads nowhere instead of to a terminal number another program has
// been given since.
#include <string>
#include <vector>

namespace vboard {

inline constexpr const char* kAnnouncedPortsFile = "virtual_ports.txt";

class StationAnnouncement {
public:
    // Links `terminals` into `folder` (replacing links of the same name left
    // by an earlier run) and lists them; throws std::runtime_error naming the
    // file and the reason when that cannot be done, leaving nothing behind.
    StationAnnouncement(const std::string& folder, const std::vector<std::string>& terminals);
    // Removes the links, and the list while it still holds what was written.
    ~StationAnnouncement();
    StationAnnouncement(const StationAnnouncement&) = delete;
    StationAnnouncement& operator=(const StationAnnouncement&) = delete;

    // The links, in the order of the terminals.
    const std::vector<std::string>& Ports() const { return links_; }

private:
    void Withdraw();

    std::string list_;
    std::string listed_;  // what the list was written with
    std::vector<std::string> links_;
};

}  // namespace vboard
