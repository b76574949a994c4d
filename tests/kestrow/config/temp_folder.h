#pragma once
// A fresh folder per test, removed afterwards, with byte-exact file helpers.
#include "kestrow/base/unicode.h"
#include "kestrow/config/text_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kestrow::config::testing {

class TempFolder {
public:
    TempFolder() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("kw_cfg_") + std::to_string(::getpid()) + "_" + info->test_suite_name() +
                           "_" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        dir_ = std::filesystem::temp_directory_path() / name;
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    ~TempFolder() { std::filesystem::remove_all(dir_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::string Dir() const { return dir_.string(); }
    void Write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories((dir_ / name).parent_path());
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

private:
    std::filesystem::path dir_;
};

// UTF-16LE bytes with a byte-order mark, as config.txt is stored.
inline std::string Utf16File(const std::string& utf8Text) {
    return "\xFF\xFE" + base::EncodeUtf16(Utf8ToUtf16(utf8Text), base::ByteOrder::Little);
}

}  // namespace kestrow::config::testing
