#include "kestrow/config/boot_cmdline.h"

#include "kestrow/base/atomic_file.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/station_folder.h"

#include <cstring>
#include <fstream>

namespace kestrow::config {
namespace {

constexpr std::size_t kBlockOffset = 72;
constexpr std::size_t kMinimumFileSize = 300;

}  // namespace

std::optional<BootCommandLine> ReadBootCommandLine(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[kMinimumFileSize];
    if (!in.read(head, sizeof head) || std::memcmp(head + kBlockOffset, "CMDL", 4) != 0) return std::nullopt;
    BootCommandLine block;
    const unsigned char* a = reinterpret_cast<const unsigned char*>(head + kBlockOffset + 4);
    block.addr = a[0] | (a[1] << 8) | (a[2] << 16) | (static_cast<std::uint32_t>(a[3]) << 24);
    std::memcpy(block.data.data(), head + kBlockOffset + 8, block.data.size());
    return block;
}

int UpdateBootCommandLine(const BurnConfig& config, std::string* why) {
    if (!config.cmdline_enable) return 0;
    std::string path = ResolveProgramPath(config.path_nandboot);
    std::optional<BootCommandLine> current = ReadBootCommandLine(path);
    if (!current || (current->addr == config.cmdline_addr && current->data == config.cmdline_data)) return 0;
    std::string image;
    if (!ReadWholeFile(path, image) || image.size() < kMinimumFileSize) {
        if (why != nullptr) *why = "cannot read " + path;
        return -1;
    }
    for (std::size_t i = 0; i < 4; ++i) image[kBlockOffset + 4 + i] = static_cast<char>((config.cmdline_addr >> (8 * i)) & 0xFF);
    std::memcpy(image.data() + kBlockOffset + 8, config.cmdline_data.data(), config.cmdline_data.size());
    // The whole boot loader is replaced, so an interrupted write never leaves half a block.
    std::string error;
    if (base::WriteFileAtomically(path, image, error)) return 1;
    if (why != nullptr) *why = error;
    return -1;
}

}  // namespace kestrow::config
