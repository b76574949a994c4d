#include "corvel/core/transfer_log.h"

#include "corvel/platform/os.h"

#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace corvel {
namespace {

std::mutex g_logMutex;
int g_logFd = -1;
std::string g_logPath;  // the file g_logFd writes to

void WriteText(const std::string& text) {
    // One write per piece of text, so lines of different channels never interleave.
    if (g_logFd >= 0) (void)!::write(g_logFd, text.data(), text.size());
}

std::string Format(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<size_t>(n));
    return text;
}

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    return text;
}

}  // namespace

std::string TransferLogPath() {
    auto t = platform::Now();
    return platform::StationFolder() + "/" + Printf("_log%02d_%02d_%02d.txt", t.year, t.month, t.day);
}

void TransferLog(std::string_view text, unsigned level) {
    std::lock_guard lock(g_logMutex);
    // A new day (or another station folder) starts a new file.
    std::string path = TransferLogPath();
    if (g_logFd >= 0 && path != g_logPath) {
        ::close(g_logFd);
        g_logFd = -1;
    }
    if (g_logFd < 0) {
        g_logFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (g_logFd < 0) return;
        g_logPath = path;
        auto t = platform::Now();
        WriteText("\r\n\r\n=============Corvel Information =============\r\n" +
                  Printf("Print Time: %d-%02d-%02d %02d:%02d:%02d\r\n\r\n", t.year, t.month, t.day, t.hour,
                         t.minute, t.second));
    }
    std::string line;
    if (level & (kLogClose | kLogStamp)) {
        auto t = platform::Now();
        line = Printf("[%02d:%02d:%02d]", t.hour, t.minute, t.second);
    }
    line.append(text);
    if (level & kLogClose) line += "close file\n";
    WriteText(line);
    if (level & kLogClose) {
        ::close(g_logFd);
        g_logFd = -1;
    }
}

void TransferLogf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Format(format, args);
    va_end(args);
    TransferLog(text, kLogStamp);
}

void CloseTransferLog() {
    std::lock_guard lock(g_logMutex);
    if (g_logFd >= 0) ::close(g_logFd);
    g_logFd = -1;
}

}  // namespace corvel
