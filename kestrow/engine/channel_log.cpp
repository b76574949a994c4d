#include "kestrow/engine/channel_log.h"

#include "kestrow/config/file_io.h"
#include "kestrow/config/station_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace kestrow::engine {
namespace {

std::tm LocalNow() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

std::atomic<ChannelLog::Clock> g_clock{&LocalNow};

bool HasDriveLetter(const std::string& path) { return path.size() >= 3 && path[1] == ':' && path[2] == '\\'; }

}  // namespace

std::string ResolveLogPath(const std::string& path) {
    if (HasDriveLetter(path)) return path;
    return config::ResolveProgramPath(path);
}

std::string ChannelLogName(unsigned channel, const std::tm& when) {
    char name[64];
    std::snprintf(name, sizeof name, "log/ch[%u]_log%02d_%02d_%02d.txt", channel, when.tm_year + 1900,
                  when.tm_mon + 1, when.tm_mday);
    return name;
}

void ChannelLog::SetClockForTesting(Clock clock) { g_clock = clock ? clock : &LocalNow; }
std::tm ChannelLog::Now() { return g_clock.load()(); }

bool ChannelLog::Open(const std::string& path) {
    Close();
    path_ = ResolveLogPath(path);
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

int ChannelLog::Write(unsigned flags, const char* format, ...) {
    if (fd_ < 0) return 0;
    char line[kLogLineBytes + 1];
    int used = 0;
    if (flags & (kLogTime | kLogDate)) {
        std::tm now = Now();
        if (flags & kLogDate)
            used += std::snprintf(line + used, sizeof line - used, "Date: %d-%d-%d ", now.tm_year + 1900,
                                  now.tm_mon + 1, now.tm_mday);
        if (flags & kLogTime)
            used += std::snprintf(line + used, sizeof line - used, "[%02d:%02d:%02d]", now.tm_hour, now.tm_min,
                                  now.tm_sec);
    }
    va_list args;
    va_start(args, format);
    int wanted = std::vsnprintf(line + used, sizeof line - used, format, args);
    va_end(args);
    std::size_t length = std::min<std::size_t>(used + std::max(wanted, 0), kLogLineBytes);
    // One write per line: the file may be open several times at once.
    ssize_t written = ::write(fd_, line, length);
    return written < 0 ? 0 : static_cast<int>(written);
}

int ChannelLog::Close() {
    if (fd_ < 0) return 0;
    Write(kLogTime, "close file\r\n\r\n\r\n\r\n");
    ::close(fd_);
    fd_ = -1;
    return 1;
}

bool ChannelLog::DeleteIfLarger(const std::string& path, std::uint64_t limit) {
    std::string resolved = ResolveLogPath(path);
    auto size = config::RegularFileSize(resolved);
    if (!size || *size <= limit) return false;
    std::error_code ec;
    return std::filesystem::remove(resolved, ec);
}

}  // namespace kestrow::engine
