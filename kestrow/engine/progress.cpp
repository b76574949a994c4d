#include "kestrow/engine/progress.h"

#include "kestrow/config/chip_types.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/station_folder.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace kestrow::engine {
namespace {

constexpr std::streamoff kVersionTagOffset = 32;
constexpr std::streamoff kVersionOffset = 36;
constexpr char kVersionTag[4] = {'B', 'U', 'R', 'N'};

void ReadProducerVersion(const std::string& path, config::BurnConfig& config) {
    config.producer_version = {};
    std::ifstream in(path, std::ios::binary);
    char tag[4] = {};
    if (!in.seekg(kVersionTagOffset) || !in.read(tag, sizeof tag) || std::memcmp(tag, kVersionTag, 4) != 0) return;
    // The record keeps the first 16 bytes of the file's 20-byte version block.
    char version[sizeof config.producer_version] = {};
    if (in.seekg(kVersionOffset) && in.read(version, sizeof version))
        std::memcpy(config.producer_version.data(), version, sizeof version);
}

}  // namespace

TransferTotal ComputeTransferTotal(config::BurnConfig& config) {
    TransferTotal result;
    if (config.chip_mode == config::kModeJtag) return result;
    std::uint64_t total = 0;
    auto add = [&](const std::string& name) {
        std::string path = config::ResolveProgramPath(name);
        auto size = config::RegularFileSize(path);
        if (!size) {
            result.missing_file = path;
            return false;
        }
        total += *size;
        return true;
    };
    if (!add(config.path_producer)) return result;
    ReadProducerVersion(config::ResolveProgramPath(config.path_producer), config);
    if (config.chip_mode != config::kModeDebug && !add(config.path_nandboot)) return result;
    if (config::ChipTypeOrReserved(config.chip_type).ram == config::RamSetup::TestImage && !add(config.path_ram))
        return result;
    result.bytes = total;
    return result;
}

int ProgressPercent(std::uint64_t bytes, std::uint64_t total, int chipType, bool updateChoice) {
    if (total == 0) return 0;
    double scale = 100.0;
    if (config::ChipTypeOrReserved(chipType).progress == config::ProgressScale::FifthWithoutUpdate && !updateChoice)
        scale = 20.0;
    double percent = static_cast<double>(bytes) / static_cast<double>(total) * scale;
    return static_cast<int>(std::min(percent, 100.0));
}

}  // namespace kestrow::engine
