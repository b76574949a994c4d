#pragma once
// Whole-file reads and writes for the station's small files.
#include <cstdint>
#include <optional>
#include <string>

namespace kestrow::config {

// False when the file cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& bytes);
// Writes through a temporary file in the same folder that is synced to disk
// and renamed over the target once complete, so neither a failed write nor a
// power cut leaves half a file behind.
bool WriteWholeFile(const std::string& path, const std::string& bytes);
bool IsRegularFile(const std::string& path);
// Size of a regular file, or nothing.
std::optional<std::uint64_t> RegularFileSize(const std::string& path);

}  // namespace kestrow::config
