#include "kestrow/engine/log_cleanup.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string_view>
#include <vector>

namespace kestrow::engine {
namespace {

constexpr int kKeepDays = 6;

bool IsChannelLogName(std::string_view name) {
    return name.size() >= 9 && name.substr(0, 2) == "ch" && name.substr(6, 3) == "log";
}

int DayNumber(const std::tm& t) { return (t.tm_year + 1900) * 365 + (t.tm_mon + 1) * 30 + t.tm_mday; }

}  // namespace

int LogAgeDays(const std::tm& today, const std::tm& fileDay) { return DayNumber(today) - DayNumber(fileDay); }

void CleanOldChannelLogs(const std::string& folder, ChannelLog& mainLog, const std::tm& today) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> texts;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".txt") texts.push_back(it->path());
    if (texts.empty()) return;
    std::sort(texts.begin(), texts.end());

    const std::string rule(50, '-');
    mainLog.Write(0, "%s\r\n", rule.c_str());
    mainLog.Write(kLogTime, "Clear history logfiles:\r\n");
    for (const fs::path& file : texts) {
        std::string name = file.filename().string();
        if (!IsChannelLogName(name)) continue;
        mainLog.Write(0, "<%s>\r\n", name.c_str());
        struct stat info {};
        if (::stat(file.c_str(), &info) != 0) continue;
        if ((info.st_mode & S_IWUSR) == 0) ::chmod(file.c_str(), info.st_mode | S_IWUSR);
        std::tm modified{};
        gmtime_r(&info.st_mtime, &modified);
        mainLog.Write(0, "last modify time: %d-%d-%d\r\n", modified.tm_year + 1900, modified.tm_mon + 1,
                      modified.tm_mday);
        int age = LogAgeDays(today, modified);
        if (age > kKeepDays || age < 0) {
            mainLog.Write(0, "delete...\r\n");
            fs::remove(file, ec);
        }
        mainLog.Write(0, ".\r\n");
    }
    mainLog.Write(kLogTime, "End!\r\n");
    mainLog.Write(0, "%s\r\n", rule.c_str());
}

}  // namespace kestrow::engine
