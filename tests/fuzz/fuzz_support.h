#pragma once
// Shared by the fuzz targets: a private station folder per process, removed at
// exit, into which file-based readers get each input written as a file.
#include "kestrow/config/message_sink.h"
#include "kestrow/config/station_folder.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace kestrow::fuzz {

class FuzzStation {
public:
    FuzzStation() {
        dir_ = std::filesystem::temp_directory_path() / ("kw_fuzz_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        config::UseStationFolder(dir_.string());
    }
    ~FuzzStation() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    FuzzStation(const FuzzStation&) = delete;
    FuzzStation& operator=(const FuzzStation&) = delete;

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // Replaces `name` with exactly these bytes and returns its path.
    std::string Write(const std::string& name, const uint8_t* data, size_t size) const {
        std::string path = Path(name);
        std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                      static_cast<std::streamsize>(size));
        return path;
    }

private:
    std::filesystem::path dir_;
};

// One station folder for the whole run; a static so it is removed at exit.
inline FuzzStation& Station() {
    static FuzzStation station;
    return station;
}

// Messages the readers show are dropped: only crashes and sanitizer reports count.
class DiscardMessages : public config::MessageSink {
public:
    void ShowMessage(const std::string&, const std::string&, config::MessageIcon) override {}
};

}  // namespace kestrow::fuzz
