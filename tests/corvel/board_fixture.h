#pragma once
// A virtual board on a pseudo-terminal and a station folder for the logs,
// driven through the exported functions of libcorvel.so alone.
#include "corvel.h"
#include "tools/vboard/virtual_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace corvel_test {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

inline std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// Progress reports of channel 1 (cumulative byte counts).
inline std::mutex g_progressMutex;
inline std::vector<unsigned> g_progress;
inline int NoBurn(unsigned) { return 0; }
inline void RecordProgress(unsigned nID, unsigned total) {
    std::lock_guard lock(g_progressMutex);
    if (nID == 1) g_progress.push_back(total);
}
inline std::vector<unsigned> Progress() {
    std::lock_guard lock(g_progressMutex);
    return g_progress;
}
// Channel 1's byte count so far (reported by adding nothing).
inline unsigned ProgressNow() {
    KW_DownloadImg_length(1, 0);
    return Progress().back();
}

class BoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        station_ = fs::temp_directory_path() / ("corvel-e2e-" + std::to_string(::getpid()));
        fs::create_directories(station_);
        ::setenv("KESTROW_STATION", station_.c_str(), 1);
        ASSERT_EQ(KW_Init(2, NoBurn, RecordProgress), 1u);
        std::lock_guard lock(g_progressMutex);
        g_progress.clear();
    }
    void TearDown() override {
        if (board_) KW_Detach_Uart(port_.c_str());
        board_.reset();
        fs::remove_all(station_);
    }
    vboard::VirtualBoard& Board(vboard::BoardOptions options) {
        board_ = std::make_unique<vboard::VirtualBoard>(options);
        port_ = Wide(board_->PortPath());
        KW_Secuse_boot_flag(options.secure ? 2 : 0);
        T_CORVEL_PARA para{0, 2, options.chipType};
        KW_SetCorvelParam(0, &para);
        return *board_;
    }
    vboard::VirtualBoard& Board(unsigned chip, bool secure, std::vector<vboard::Fault> faults = {}) {
        vboard::BoardOptions options;
        options.chipType = chip;
        options.secure = secure;
        options.faults = faults;
        return Board(options);
    }
    // Wakes the board as the station's attach loop does: open, wake, ask, and
    // start over while the answer is "no prompt yet".
    unsigned WakeAndChoose(unsigned chip, bool secure, unsigned baud) {
        for (int attempt = 0; attempt < 30; ++attempt) {
            if (KW_Start_Read(port_.c_str(), 0, static_cast<E_CHIP_TYPE>(chip)) != 1) return 0;
            std::this_thread::sleep_for(30ms);
            unsigned r = secure ? KW_check_secure_en(0) : KW_Choose_Baud(port_.c_str(), 0, baud);
            // 0 from the secure check means "seen, not yet confirmed": the station starts over.
            if (secure && r == 0) {
                KW_Detach_Uart(port_.c_str());
                continue;
            }
            if (r != 2) return r;
        }
        return 2;
    }
    // The whole handshake; the board ends up attached to channel 1.
    void Attach(unsigned chip, bool secure, unsigned linkBaud) {
        ASSERT_EQ(WakeAndChoose(chip, secure, linkBaud), 1u);
        ASSERT_EQ(KW_Attach_Uart(port_.c_str(), linkBaud, 0), 1u);
    }
    std::string ReadStationFile(const std::string& name) {
        std::ifstream in(station_ / name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string TransferLogText() {
        for (const auto& entry : fs::directory_iterator(station_))
            if (entry.path().filename().string().starts_with("_log")) return ReadStationFile(entry.path().filename());
        return {};
    }
    // Writes `bytes` to a file in the station folder and returns its wide path.
    std::wstring WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream out(station_ / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return Wide((station_ / name).string());
    }

    fs::path station_;
    std::unique_ptr<vboard::VirtualBoard> board_;
    std::wstring port_;
};

// Deterministic test content.
inline std::vector<uint8_t> Pattern(size_t size, unsigned seed = 1) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

inline uint32_t LE32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
inline void PutLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A 70000-byte SPI NOR boot loader with the SPIP tag at 540 and no SP tag.
inline std::vector<uint8_t> SpiNorBootLoader() {
    std::vector<uint8_t> loader = Pattern(70000, 9);
    std::memcpy(&loader[540], "SPIP", 4);
    std::memcpy(&loader[508], "xxxx", 4);  // no SP tag
    return loader;
}

// `loader` as the SPI NOR producer writes it for `spi` at 10 MHz with 128 KiB
// reserved: its header filled in and the chip's parameters at 544.
inline std::vector<uint8_t> SpiNorBootLoaderAsWritten(std::vector<uint8_t> loader, T_SFLASH_PHY_INFO spi) {
    std::memcpy(&loader[4], "MORVOQ4D", 8);
    PutLE32(&loader[12], 131072);
    PutLE32(&loader[16], 2);  // 60 MHz / 10 MHz = 6 -> 6 / 2 - 1
    PutLE32(&loader[24], 1);
    PutLE32(&loader[28], 6);
    PutLE32(&loader[32], 0x80E00000);
    PutLE32(&loader[36], 1);
    spi.boot_blocks = 3;  // the extended parameter rides in byte 27
    std::memcpy(&loader[544], &spi, sizeof spi);
    return loader;
}

// `loader` as the NAND producer writes it for a 2048-byte page, 64-page
// block chip at 20 MHz: its header filled in (`pages` pages of the file) and
// the chip's parameters at 512.
inline std::vector<uint8_t> NandBootLoaderAsWritten(std::vector<uint8_t> loader, uint8_t pages,
                                                    const tag_Nand_Phy_Info& nand) {
    std::memcpy(&loader[4], "MORVOQ4D", 8);
    PutLE32(&loader[12], 0);
    loader[16] = 0;  // 60 MHz / 20 MHz = 3 -> 0
    loader[17] = 0;
    PutLE32(&loader[20], 4);
    PutLE32(&loader[24], 0);
    PutLE32(&loader[28], 1);
    PutLE32(&loader[32], 0x80F00000);
    PutLE32(&loader[36], 1);
    loader[40] = pages;
    loader[41] = 0;
    std::memcpy(&loader[512], &nand, 36);
    return loader;
}

}  // namespace corvel_test
