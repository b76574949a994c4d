#pragma once
// Whole-file reads and writes for the station's small files.
#include <cstdint>
#include <optional>
#include <string>

namespace kestrow::config {

// False when the file cannot be opened or read. Files are written with
// kestrow/base/atomic_file.h.
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool IsRegularFile(const std::string& path);
// Size of a regular file, or nothing.
std::optional<std::uint64_t> RegularFileSize(const std::string& path);

}  // namespace kestrow::config
