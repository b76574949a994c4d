#include "kestrow/config/file_io.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace kestrow::config {

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    if (!IsRegularFile(path)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool IsRegularFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

std::optional<std::uint64_t> RegularFileSize(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    std::uint64_t size = std::filesystem::file_size(path, ec);
    if (ec) return std::nullopt;
    return size;
}

}  // namespace kestrow::config
