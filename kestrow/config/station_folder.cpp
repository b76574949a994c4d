#include "kestrow/config/station_folder.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kestrow::config {
namespace {

std::string g_station;

std::string Absolute(const std::filesystem::path& p) {
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::absolute(p, ec);
    std::string s = (ec ? p : abs.lexically_normal()).string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

std::string ResolveStationFolder(const std::string& given) {
    if (!given.empty()) return Absolute(given);
    if (const char* env = std::getenv("KESTROW_STATION"); env != nullptr && *env != '\0')
        return Absolute(env);
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return Absolute(std::filesystem::current_path(ec));
    return Absolute(exe.parent_path());
}

std::string UseStationFolder(const std::string& given) {
    g_station = ResolveStationFolder(given);
    setenv("KESTROW_STATION", g_station.c_str(), 1);
    return g_station;
}

const std::string& StationFolder() {
    if (g_station.empty()) g_station = ResolveStationFolder("");
    return g_station;
}

}  // namespace kestrow::config

namespace kestrow::config {

std::string ResolveProgramPath(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    if (name.size() >= 2 && name[1] == ':') return name;
    if (name.size() >= 2 && name[0] == '\\' && name[1] == '\\') return name;
    std::string relative = name;
    for (char& c : relative)
        if (c == '\\') c = '/';
    return StationFolder() + "/" + relative;
}

}  // namespace kestrow::config
