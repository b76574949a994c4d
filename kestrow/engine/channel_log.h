#pragma once
// ChannelLog: the append-only text log of one channel (or of the window).
// Every burn step opens its own instance on the channel's file, appends and
// closes it again; a log that cannot be opened just skips its writes, it never
// stops a burn.
#include <cstdint>
#include <ctime>
#include <string>

namespace kestrow::engine {

// Flag bits of ChannelLog::Write.
inline constexpr unsigned kLogTime = 1;  // "[hh:mm:ss]"
inline constexpr unsigned kLogDate = 2;  // "Date: y-m-d " before the time
inline constexpr std::size_t kLogLineBytes = 300;

class ChannelLog {
public:
    ChannelLog() = default;
    explicit ChannelLog(const std::string& path) { Open(path); }
    ~ChannelLog() { Close(); }
    ChannelLog(const ChannelLog&) = delete;
    ChannelLog& operator=(const ChannelLog&) = delete;

    // An absolute path (or one with a drive letter) is used as it is; any other
    // is taken relative to the station folder. Existing content is kept and
    // writes go to the end. False leaves the log closed.
    bool Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

    // printf-style line with the prefixes chosen by `flags`, cut to 300 bytes.
    // The bytes written, or 0 when the log is closed.
    int Write(unsigned flags, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Writes the closing line and closes; 0 when the log was not open.
    int Close();

    // Deletes the file at `path` (resolved as by Open) when it is larger than
    // `limit` bytes. True when it was deleted.
    static bool DeleteIfLarger(const std::string& path, std::uint64_t limit);

    // Clock used for the prefixes; tests pin it.
    using Clock = std::tm (*)();
    static void SetClockForTesting(Clock clock);
    static std::tm Now();

private:
    int fd_ = -1;
    std::string path_;
};

// Resolves a log path as ChannelLog::Open does.
std::string ResolveLogPath(const std::string& path);

// "log/ch[N]_logYYYY_MM_DD.txt": the channel's file for the day of `when`.
std::string ChannelLogName(unsigned channel, const std::tm& when);
// The window's log.
inline constexpr const char* kMainLogName = "log/frm_log.txt";
inline constexpr const char* kLogFolder = "log";
inline constexpr std::uint64_t kMainLogLimit = 0x80000;

}  // namespace kestrow::engine
