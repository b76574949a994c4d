// Builds 16 MiB and 64 MiB SPI NOR images and compares each with the time dd
// takes to write (and flush) as many bytes into the same folder.
// Usage: spi_image_bench [FOLDER]   (default: the current folder)
#include "kestrow/image/spi_image.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 5;

class Silent : public kestrow::image::SpiImageReporter {
public:
    void ShowMessage(const std::string& text, Kind kind) override {
        if (kind == Kind::Failed) std::fprintf(stderr, "build failed: %s\n", text.c_str());
    }
    void Diagnostic(const std::string&) override {}
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double TimeDd(const std::string& path, uint32_t bytes) {
    const std::string command = "dd if=/dev/zero of='" + path + "' bs=524288 count=" + std::to_string(bytes / 524288) +
                                " conv=fsync status=none";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "dd failed\n");
        std::exit(1);
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

kestrow::config::BurnConfig BenchConfig(const std::string& folder, uint32_t totalSize) {
    kestrow::config::BurnConfig cfg;
    kestrow::config::SpiNorInfo flash{};
    flash.total_size = totalSize;
    flash.page_size = 256;
    flash.program_size = 256;
    flash.erase_size = 65536;
    flash.clock = 20'000'000;
    std::strcpy(flash.part_number, "BENCH");
    cfg.spinor_list = {flash};
    cfg.path_nandboot = folder + "/bench-boot.bin";
    cfg.bin_downloads = {{"BIOS", "bios.bin", 0x80008000, 1, 1}, {"MAC", "mac.bin", 0, 0, 0},
                         {"ENV", "env.bin", 0, 0, 0}};
    cfg.fs_images = {{"A", "root.sqsh4"}, {"B", "user.jffs2"}};
    cfg.platform_type = 1;
    cfg.chip_type = 3;
    return cfg;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string folder = std::filesystem::absolute(argc > 1 ? argv[1] : ".").string();
    {
        std::string boot(300000, '\x5A');
        std::memcpy(boot.data() + 200, "SPIP", 4);
        std::ofstream(folder + "/bench-boot.bin", std::ios::binary) << boot;
    }
    const std::string image = folder + "/bench-image.bin";
    const std::string ddFile = folder + "/bench-dd.bin";
    std::printf("SPI NOR image build time / dd time for the same bytes (median of %d, same folder %s)\n", kRuns,
                folder.c_str());
    for (uint32_t mib : {16u, 64u}) {
        const uint32_t bytes = mib * 1024 * 1024;
        const kestrow::config::BurnConfig cfg = BenchConfig(folder, bytes);
        std::vector<double> build, dd;
        for (int run = 0; run < kRuns; ++run) {
            dd.push_back(TimeDd(ddFile, bytes));
            std::filesystem::remove(ddFile);
            Silent silent;
            const auto start = Clock::now();
            if (!kestrow::image::MakeSpiImage(cfg, "BENCH", image, silent)) return 1;
            build.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            std::filesystem::remove(image);
        }
        std::printf("%2u MiB: build %.1f ms, dd %.1f ms, ratio %.2f (goal <= 2)\n", mib, Median(build) * 1e3,
                    Median(dd) * 1e3, Median(build) / Median(dd));
    }
    std::filesystem::remove(folder + "/bench-boot.bin");
    return 0;
}
