#include "kestrow/config/station_folder.h"

#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

namespace kestrow::config {
namespace {

namespace fs = std::filesystem;

StationFolderChoice g_choice;

std::string Absolute(const fs::path& p) {
    std::error_code ec;
    fs::path abs = fs::absolute(p, ec);
    std::string s = (ec ? p : abs.lexically_normal()).string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string ProgramFolder() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) return Absolute(fs::current_path(ec));
    return Absolute(exe.parent_path());
}

// The sample station an installed program carries: <prefix>/share/kestrow/station
// beside <prefix>/bin. A build tree has none.
std::string InstalledSampleStation(const std::string& programFolder) {
    fs::path sample = (fs::path(programFolder) / ".." / "share" / "kestrow" / "station").lexically_normal();
    std::error_code ec;
    return fs::is_directory(sample, ec) ? sample.string() : std::string();
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

// $XDG_DATA_HOME/kestrow/station; a relative $XDG_DATA_HOME is ignored, as the
// base-directory rules ask. Empty when there is no home folder either.
std::string UserStationFolder() {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    fs::path base;
    if (dataHome != nullptr && dataHome[0] == '/') {
        base = dataHome;
    } else {
        std::string home = HomeFolder();
        if (home.empty()) return {};
        base = fs::path(home) / ".local" / "share";
    }
    return Absolute(base / "kestrow" / "station");
}

bool MissingOrEmpty(const fs::path& folder) {
    std::error_code ec;
    if (!fs::exists(folder, ec)) return true;
    return fs::is_directory(folder, ec) && fs::is_empty(folder, ec);
}

// Copies the sample into `target` through a temporary sibling that is renamed
// into place once complete, so an interrupted copy never looks like a station.
// Returns why it failed, or "" (also when another copy of the program made the
// folder first).
std::string CopySampleStation(const fs::path& sample, const fs::path& target) {
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec) return "cannot create " + target.parent_path().string() + ": " + ec.message();
    std::string pattern = (target.parent_path() / ("." + target.filename().string() + ".new-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        return "cannot create a folder in " + target.parent_path().string() + ": " + std::strerror(errno);
    const fs::path temp = pattern;
    fs::copy(sample, temp, fs::copy_options::recursive, ec);
    // The sample is read-only for the user; the station writes its files in place.
    if (!ec) {
        for (auto it = fs::recursive_directory_iterator(temp, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            fs::permissions(it->path(), fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
    }
    if (!ec) fs::rename(temp, target, ec);
    if (!ec) return {};
    const std::string why = ec.message();
    fs::remove_all(temp, ec);
    if (!MissingOrEmpty(target)) return {};
    return "cannot copy " + sample.string() + " to " + target.string() + ": " + why;
}

}  // namespace

StationFolderChoice ChooseStationFolder(const std::string& given, const std::string& programFolder) {
    if (!given.empty()) return {Absolute(given), "given with --station", ""};
    if (const char* env = std::getenv("KESTROW_STATION"); env != nullptr && *env != '\0')
        return {Absolute(env), "given in $KESTROW_STATION", ""};
    const std::string sample = InstalledSampleStation(programFolder);
    if (sample.empty())
        return {Absolute(programFolder), "the program's own folder (no sample station is installed beside the program)",
                ""};

    StationFolderChoice choice;
    choice.folder = UserStationFolder();
    const std::string kind = "the user's data folder of the installed program";
    if (choice.folder.empty()) {
        choice.folder = Absolute(programFolder);
        choice.error = "neither $XDG_DATA_HOME nor a home folder is known";
        choice.reason = "the program's own folder: " + choice.error;
        return choice;
    }
    if (!MissingOrEmpty(choice.folder)) {
        choice.reason = kind;
        return choice;
    }
    choice.error = CopySampleStation(sample, choice.folder);
    choice.reason = choice.error.empty() ? kind + ", made now from the sample station " + sample
                                         : kind + "; it cannot be made from the sample station: " + choice.error;
    return choice;
}

std::string ResolveStationFolder(const std::string& given) { return ChooseStationFolder(given, ProgramFolder()).folder; }

std::string UseStationFolder(const std::string& given) {
    g_choice = ChooseStationFolder(given, ProgramFolder());
    if (!g_choice.error.empty()) std::cerr << "kestrow: station folder " << g_choice.folder << ": " << g_choice.error << "\n";
    setenv("KESTROW_STATION", g_choice.folder.c_str(), 1);
    return g_choice.folder;
}

const std::string& StationFolder() {
    if (g_choice.folder.empty()) g_choice = ChooseStationFolder("", ProgramFolder());
    return g_choice.folder;
}

const std::string& StationFolderReason() {
    StationFolder();
    return g_choice.reason;
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
