#include "tools/vboard/station_announcement.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace vboard {
namespace {

std::string Reason() { return std::strerror(errno); }

// Puts `content` at `path` through a neighbour renamed over it, so a reader
// never sees half of it.
bool WriteWhole(const std::string& path, const std::string& content) {
    const std::string part = path + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out.flush()) return false;
    }
    if (::rename(part.c_str(), path.c_str()) == 0) return true;
    ::unlink(part.c_str());
    return false;
}

}  // namespace

StationAnnouncement::StationAnnouncement(const std::string& station, const std::vector<std::string>& terminals) {
    // The list names the links by whole paths: the station reads them from wherever it runs.
    const std::filesystem::path folder = std::filesystem::absolute(station).lexically_normal();
    list_ = (folder / kAnnouncedPortsFile).string();
    for (std::size_t i = 0; i < terminals.size(); ++i) {
        const std::string link = (folder / ("virtual_port_" + std::to_string(i + 1))).string();
        // Made aside and renamed over the name, which replaces a stale link at once.
        const std::string part = link + ".part";
        ::unlink(part.c_str());
        if (::symlink(terminals[i].c_str(), part.c_str()) != 0 || ::rename(part.c_str(), link.c_str()) != 0) {
            const std::string why = Reason();
            ::unlink(part.c_str());
            Withdraw();
            throw std::runtime_error("vboard: cannot link " + link + " to " + terminals[i] + ": " + why);
        }
        links_.push_back(link);
        listed_ += link + "\n";
    }
    if (!WriteWhole(list_, listed_)) {
        const std::string why = Reason();
        listed_.clear();
        Withdraw();
        throw std::runtime_error("vboard: cannot write " + list_ + ": " + why);
    }
}

StationAnnouncement::~StationAnnouncement() { Withdraw(); }

void StationAnnouncement::Withdraw() {
    for (const std::string& link : links_) ::unlink(link.c_str());
    links_.clear();
    if (listed_.empty()) return;
    // A list somebody has rewritten since is theirs.
    std::ifstream in(list_, std::ios::binary);
    std::stringstream now;
    now << in.rdbuf();
    if (in.is_open() && now.str() == listed_) ::unlink(list_.c_str());
    listed_.clear();
}

}  // namespace vboard
