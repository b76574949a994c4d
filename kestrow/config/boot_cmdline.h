#pragma once
// The boot loader's command-line block: "CMDL" at file offset 72, a 4-byte
// little-endian value at 76 and a 128-byte command line at 80.
#include "kestrow/config/burn_config.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace kestrow::config {

struct BootCommandLine {
    std::uint32_t addr = 0;
    std::array<char, 128> data{};
};

// The block of a boot loader file; nothing when the file cannot be read, is
// shorter than 300 bytes or has no "CMDL" at offset 72.
std::optional<BootCommandLine> ReadBootCommandLine(const std::string& path);

// At exit: writes the configured block into the boot loader named by
// path_nandboot when it differs. Only with the "Config Command Line" option
// on, so a boot image never receives values the user never set. 1 when the
// file was changed, 0 when it was left alone (option off, no block, values
// equal), -1 when the change could not be written (`error` says why).
int UpdateBootCommandLine(const BurnConfig& config, std::string* error = nullptr);

}  // namespace kestrow::config
