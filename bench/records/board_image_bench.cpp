// What a board's own identity costs a whole-flash burn beyond the store's
// work (records_bench): the board's copy of the image with its MAC, SEQ and
// BTADDR records written in, and the burn file's SHA-256 (computed once per
// change of the file, not per board). Images of 16 and 32 MiB, built by
// `kestrow spi-image` from the sample station. Figures only.
//
//   board_image_bench [FOLDER]    (FOLDER: where the station copy goes; default /tmp)
#include "kestrow/base/sha256.h"
#include "kestrow/image/board_image.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
constexpr int kBoards = 20;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

void PrintSpread(const std::string& what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-46s median %8.2f ms  p95 %8.2f ms  max %8.2f ms\n", what.c_str(), ms[ms.size() / 2],
                ms[ms.size() * 95 / 100], ms.back());
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path folder = fs::path(argc > 1 ? argv[1] : "/tmp") / "kw_board_image_bench";
    fs::remove_all(folder);
    fs::copy(fs::path(KESTROW_SOURCE_ROOT) / "station", folder, fs::copy_options::recursive);
    for (const char* flash : {"W25Q128JV", "W25Q256JV"}) {
        const fs::path image = folder / (std::string(flash) + ".bin");
        const std::string command = std::string("'") + KESTROW_EXE + "' spi-image --station '" + folder.string() +
                                    "' --flash " + flash + " --output '" + image.string() + "' > /dev/null";
        if (std::system(command.c_str()) != 0) {
            std::printf("%s: the image could not be built\n", flash);
            continue;
        }
        const auto size = fs::file_size(image);
        std::vector<double> copies, digests;
        for (int board = 0; board < kBoards; ++board) {
            char mac[32];
            std::snprintf(mac, sizeof mac, "00:11:22:AA:00:%02X", board);
            std::string error;
            auto t0 = Clock::now();
            auto copy = kestrow::image::BoardImage::Make(
                image.string(), {mac, "AABBCCXXDDEEFFGGHH11223344556677000001", "44A6E6000000"}, folder.string(),
                error);
            copies.push_back(Ms(Clock::now() - t0));
            if (!copy) {
                std::printf("%s: %s\n", flash, error.c_str());
                break;
            }
            if (board < 5) {
                t0 = Clock::now();
                kestrow::base::Sha256OfFile(image.string());
                digests.push_back(Ms(Clock::now() - t0));
            }
        }
        const std::string name = std::string(flash) + " (" + std::to_string(size >> 20) + " MiB)";
        if (copies.size() == kBoards) PrintSpread(name + ": board's copy with its identity", copies);
        PrintSpread(name + ": SHA-256 of the burn file", digests);
    }
    fs::remove_all(folder);
    return 0;
}
