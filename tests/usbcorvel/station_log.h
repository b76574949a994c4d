#pragma once
// The text of corvel's transfer logs in a station folder, for tests that check its lines.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace usbtest {

inline std::string TransferLogText(const std::filesystem::path& station) {
    std::string text;
    for (const auto& entry : std::filesystem::directory_iterator(station)) {
        if (entry.path().filename().string().rfind("_log", 0) != 0) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        text += s.str();
    }
    return text;
}

}  // namespace usbtest
