#include "kestrow/config/boot_cmdline.h"

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

int UpdateBootCommandLine(const BurnConfig& config) {
    if (!config.cmdline_enable) return 0;
    std::string path = ResolveProgramPath(config.path_nandboot);
    std::optional<BootCommandLine> current = ReadBootCommandLine(path);
    if (!current || (current->addr == config.cmdline_addr && current->data == config.cmdline_data)) return 0;
    char block[4 + 128];
    for (int i = 0; i < 4; ++i) block[i] = static_cast<char>((config.cmdline_addr >> (8 * i)) & 0xFF);
    std::memcpy(block + 4, config.cmdline_data.data(), config.cmdline_data.size());
    std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(static_cast<std::streamoff>(kBlockOffset + 4));
    file.write(block, sizeof block);
    file.flush();
    return file ? 1 : 0;
}

}  // namespace kestrow::config
