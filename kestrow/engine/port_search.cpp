#include "kestrow/engine/port_search.h"

#include "kestrow/config/language_table.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <cstdio>
#include <sstream>

namespace kestrow::engine {
namespace fs = std::filesystem;
namespace {

// The group Debian and most distributions give serial devices.
constexpr const char* kSerialGroup = "dialout";
// How far up from a tty's sysfs device its USB device may be (interface, then device).
constexpr int kUsbSearchDepth = 6;

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

// USB serial adapters are what a station burns through; legacy ports come after.
bool IsUsbAdapter(const std::string& name) { return name.starts_with("ttyUSB") || name.starts_with("ttyACM"); }

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    return line;
}

// A legacy port without a UART behind it reports type 0 (unknown).
bool IsPlaceholder(const fs::path& ttyEntry) {
    std::error_code ec;
    return fs::exists(ttyEntry / "type", ec) && FirstLine(ttyEntry / "type") == "0";
}

std::string Canonical(const std::string& path) {
    std::error_code ec;
    fs::path real = fs::canonical(path, ec);
    return ec ? std::string() : real.string();
}

bool IsPseudoTerminal(const std::string& device) { return device.starts_with("/dev/pts/"); }

// The group whose members may open `port`: the device's own when it grants
// them reading and writing, else the usual serial group.
std::string SerialGroup(const std::string& port) {
    struct stat st {};
    if (::stat(port.c_str(), &st) != 0 || (st.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP) || st.st_gid == 0)
        return kSerialGroup;
    group entry{};
    group* found = nullptr;
    char buffer[4096];
    if (::getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return kSerialGroup;
    return found->gr_name;
}

}  // namespace

std::string PortProblemText(const std::string& port, const PortCondition& condition,
                            const config::LanguageTable* language) {
    auto worded = [language](config::AddedText id, std::initializer_list<std::string> values) {
        return config::FillIn(language != nullptr
                                  ? language->GetAddedText(id)
                                  : std::string(config::AddedTexts()[static_cast<std::size_t>(id)].english),
                              values);
    };
    using config::AddedText;
    switch (condition.state) {
        case PortState::Usable: return "";
        case PortState::Missing: return worded(AddedText::PortMissing, {port});
        case PortState::NoPermission: return worded(AddedText::PortNoPermission, {port, SerialGroup(port)});
        case PortState::InUse:
            return worded(AddedText::PortInUse, {port}) +
                   (condition.detail.empty() ? "" : " (" + condition.detail + ")");
        case PortState::NotSerial: return worded(AddedText::PortNotSerial, {port});
        case PortState::OpenFailed: break;
    }
    return worded(AddedText::PortCannotOpen, {port}) + (condition.detail.empty() ? "" : ": " + condition.detail);
}

// Who holds which device, read once per search: flock and fcntl locks from
// the lock table, openers other than this process from their descriptors,
// and the stable by-id names.
struct SystemPorts::Holders {
    std::map<std::pair<dev_t, ino_t>, pid_t> locks;
    std::map<std::string, pid_t> openers;     // device path -> one process that has it open
    std::map<std::string, std::string> aliases;  // device path -> its by-id name
    std::string proc;

    std::string Describe(pid_t pid) const {
        std::string name = FirstLine(fs::path(proc) / std::to_string(pid) / "comm");
        return (name.empty() ? "process" : name) + " (pid " + std::to_string(pid) + ")";
    }
};

namespace {

// "1: FLOCK  ADVISORY  WRITE 4242 00:05:1234 0 EOF"; waiters ("1: -> FLOCK ...") hold nothing.
void ReadLockTable(const std::string& proc, std::map<std::pair<dev_t, ino_t>, pid_t>& locks) {
    std::ifstream in(fs::path(proc) / "locks");
    for (std::string line; std::getline(in, line);) {
        if (line.find("->") != std::string::npos) continue;
        std::istringstream fields(line);
        std::string id, kind, advisory, mode, device;
        long pid = 0;
        if (!(fields >> id >> kind >> advisory >> mode >> pid >> device)) continue;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(device.c_str(), "%x:%x:%lu", &major, &minor, &inode) != 3) continue;
        locks[{makedev(major, minor), static_cast<ino_t>(inode)}] = static_cast<pid_t>(pid);
    }
}

void ReadOpeners(const std::string& proc, std::map<std::string, pid_t>& openers) {
    const std::string self = std::to_string(::getpid());
    std::error_code ec;
    for (const auto& process : fs::directory_iterator(proc, ec)) {
        const std::string pid = process.path().filename().string();
        if (pid == self || !std::all_of(pid.begin(), pid.end(), [](unsigned char c) { return std::isdigit(c); }))
            continue;
        std::error_code fdError;  // other users' descriptors are not ours to read
        for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
            std::error_code linkError;
            fs::path target = fs::read_symlink(fd.path(), linkError);
            if (!linkError && target.string().starts_with("/dev/"))
                openers.emplace(target.string(), static_cast<pid_t>(std::stol(pid)));
        }
    }
}

}  // namespace

SystemPorts::SystemPorts(BoardLink& link, std::string stationFolder, PortFolders folders)
    : link_(link), station_(std::move(stationFolder)), folders_(std::move(folders)) {}

std::vector<std::string> SystemPorts::Announced() const {
    std::vector<std::string> ports;
    std::ifstream announced(fs::path(station_) / kVirtualPortsFile);
    std::string line;
    while (std::getline(announced, line)) {
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        if (!line.empty() && std::find(ports.begin(), ports.end(), line) == ports.end()) ports.push_back(line);
    }
    return ports;
}

std::vector<std::string> SystemPorts::Candidates() const {
    // Virtual boards announced for this station come first: a station that
    // announces one means to burn it.
    std::vector<std::string> ports = Announced();
    std::vector<std::string> devices;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folders_.sys_class_tty, ec)) {
        // Only ttys bound to a driver are serial hardware; consoles and ptys are not.
        if (fs::exists(entry.path() / "device" / "driver", ec) && !IsPlaceholder(entry.path()))
            devices.push_back(entry.path().filename().string());
    }
    std::sort(devices.begin(), devices.end(), [](const std::string& a, const std::string& b) {
        if (IsUsbAdapter(a) != IsUsbAdapter(b)) return IsUsbAdapter(a);
        return NaturalLess(a, b);
    });
    for (const std::string& name : devices)
        if (std::string port = folders_.dev + "/" + name; std::find(ports.begin(), ports.end(), port) == ports.end())
            ports.push_back(port);
    return ports;
}

PortInfo SystemPorts::Describe(const std::string& port, const Holders& holders) const {
    PortInfo info;
    info.name = port;
    const std::string device = Canonical(port);
    if (auto alias = holders.aliases.find(device); alias != holders.aliases.end() && alias->second != port)
        info.alias = alias->second;
    info.condition = link_.PortError(port, kLookAtPort);
    struct stat st {};
    if (info.condition.state == PortState::Usable && ::stat(port.c_str(), &st) == 0) {
        if (auto lock = holders.locks.find({st.st_dev, st.st_ino}); lock != holders.locks.end()) {
            info.held_here = lock->second == ::getpid();
            info.condition = {PortState::InUse,
                              info.held_here ? "held by this station" : "locked by " + holders.Describe(lock->second)};
        } else if (auto opener = holders.openers.find(device);
                   opener != holders.openers.end() && !IsPseudoTerminal(device)) {
            // A board program keeps its own pseudo-terminal open; any other
            // opener of a real port is using it.
            info.condition = {PortState::InUse, "opened by " + holders.Describe(opener->second)};
        }
    }

    // The tty's sysfs entry has the name the port is listed by, or the one a
    // by-id name leads to.
    std::error_code ec;
    fs::path tty = fs::path(folders_.sys_class_tty) / fs::path(port).filename();
    if (!fs::exists(tty, ec)) tty = fs::path(folders_.sys_class_tty) / fs::path(device).filename();
    fs::path at = fs::canonical(tty / "device", ec);
    for (int depth = 0; !ec && depth < kUsbSearchDepth && at.has_relative_path(); ++depth, at = at.parent_path()) {
        if (!fs::exists(at / "idVendor", ec)) continue;
        info.usb_vendor = FirstLine(at / "idVendor");
        info.usb_product = FirstLine(at / "idProduct");
        info.usb_serial = FirstLine(at / "serial");
        break;
    }
    return info;
}

SystemPorts::Holders SystemPorts::ReadHolders(const std::vector<std::string>& ports) const {
    Holders holders;
    holders.proc = folders_.proc;
    ReadLockTable(folders_.proc, holders.locks);
    // Every process's descriptors are a long read; only real ports need it.
    if (std::any_of(ports.begin(), ports.end(), [](const std::string& p) { return !IsPseudoTerminal(Canonical(p)); }))
        ReadOpeners(folders_.proc, holders.openers);
    std::error_code ec;
    std::vector<fs::path> names;
    for (const auto& entry : fs::directory_iterator(folders_.by_id, ec)) names.push_back(entry.path());
    std::sort(names.begin(), names.end());
    for (const fs::path& name : names)
        if (std::string device = Canonical(name.string()); !device.empty())
            holders.aliases.emplace(device, name.string());
    return holders;
}

std::vector<PortInfo> SystemPorts::Survey() const {
    const std::vector<std::string> candidates = Candidates();
    const Holders holders = ReadHolders(candidates);
    const std::vector<std::string> announced = Announced();
    std::vector<PortInfo> ports;
    for (const std::string& port : candidates) {
        ports.push_back(Describe(port, holders));
        ports.back().virtual_board = std::find(announced.begin(), announced.end(), port) != announced.end();
    }
    return ports;
}

PortInfo SystemPorts::Inspect(const std::string& port) const {
    PortInfo info = Describe(port, ReadHolders({port}));
    const std::vector<std::string> announced = Announced();
    info.virtual_board = std::find(announced.begin(), announced.end(), port) != announced.end();
    return info;
}

PortSearchResult SearchPorts(const PortProber& prober, const std::string& remembered, PortTable& table) {
    table = {};
    PortSearchResult result;
    std::string firstBoard;
    for (const PortInfo& port : prober.Survey()) {
        if (!port.Listed()) {
            result.problems.push_back({port.name, port.condition});
            continue;
        }
        if (port.virtual_board && firstBoard.empty()) firstBoard = port.name;
        result.found.push_back(port.name);
        if (!port.alias.empty()) result.found.push_back(port.alias);
    }
    std::vector<std::string>& found = result.found;
    if (!remembered.empty()) {
        auto at = std::find(found.begin(), found.end(), remembered);
        // The configured port stays until the operator picks another: an
        // adapter plugged in later, or a by-id name, must not be lost.
        bool absent = at == found.end() && firstBoard.empty();
        bool beyondTheList = at != found.end() && at - found.begin() >= static_cast<long>(kPortTableSize);
        if (beyondTheList) found.erase(at);
        if (absent || beyondTheList) found.insert(found.begin(), remembered);
    }
    if (found.size() > kPortTableSize) found.resize(kPortTableSize);
    if (found.empty()) return result;
    auto selected = std::find(found.begin(), found.end(), remembered);
    if (remembered.empty() || selected == found.end()) selected = std::find(found.begin(), found.end(), firstBoard);
    result.selected = selected == found.end() ? 0 : static_cast<int>(selected - found.begin());
    std::copy(found.begin(), found.end(), table.begin());
    std::swap(table[0], table[static_cast<std::size_t>(result.selected)]);
    return result;
}

PortSearchResult SearchStationPorts(const PortProber& prober, const PortTable& configured, std::size_t rows,
                                    PortTable& table) {
    if (rows <= 1) return SearchPorts(prober, configured[0], table);
    rows = std::min(rows, kPortTableSize);
    table = {};
    PortSearchResult result;
    // Each listed port with the other name of the same device.
    std::vector<std::pair<std::string, std::string>> listed;
    for (const PortInfo& port : prober.Survey()) {
        if (port.Listed()) listed.emplace_back(port.name, port.alias);
        else result.problems.push_back({port.name, port.condition});
    }
    std::vector<std::string> taken;  // both names of every port a row or entry has
    auto take = [&](const std::string& name) {
        taken.push_back(name);
        for (const auto& [device, alias] : listed)
            if (!alias.empty() && (name == device || name == alias)) taken.push_back(name == device ? alias : device);
    };
    auto isTaken = [&](const std::string& name) { return std::find(taken.begin(), taken.end(), name) != taken.end(); };
    for (std::size_t row = 0; row < rows; ++row) {
        if (configured[row].empty() || isTaken(configured[row])) continue;
        table[row] = configured[row];
        take(configured[row]);
        bool found = std::any_of(listed.begin(), listed.end(), [&](const auto& p) {
            return p.first == configured[row] || p.second == configured[row];
        });
        if (!found) result.found.push_back(configured[row]);
    }
    std::size_t next = 0;
    for (const auto& [device, alias] : listed) {
        result.found.push_back(device);
        if (!alias.empty()) result.found.push_back(alias);
        if (isTaken(device)) continue;
        while (next < kPortTableSize && !table[next].empty()) ++next;
        if (next == kPortTableSize) continue;
        table[next] = device;
        take(device);
    }
    if (result.found.size() > kPortTableSize) result.found.resize(kPortTableSize);
    auto first = std::find(result.found.begin(), result.found.end(), table[0]);
    result.selected = table[0].empty() || first == result.found.end() ? -1 : static_cast<int>(first - result.found.begin());
    return result;
}

}  // namespace kestrow::engine
