#include "corvel/platform/os.h"

#include <climits>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace corvel::platform {

std::string StationFolder() {
    if (const char* env = std::getenv("KESTROW_STATION"); env != nullptr && *env != '\0') {
        std::string folder = env;
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        return folder;
    }
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return ".";
    std::string exe(buffer, static_cast<size_t>(n));
    auto slash = exe.rfind('/');
    return slash == 0 ? "/" : exe.substr(0, slash);
}

LocalTime Now() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::string ToUtf8(const wchar_t* text) {
    std::string out;
    if (text == nullptr) return out;
    for (; *text != L'\0'; ++text) {
        auto c = static_cast<uint32_t>(*text);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string PortPath(const std::string& name) {
    if (name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
        name.find_first_not_of("0123456789", 3) == std::string::npos && name.size() <= 6) {
        int n = std::atoi(name.c_str() + 3);
        if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
    return name;
}

}  // namespace corvel::platform
