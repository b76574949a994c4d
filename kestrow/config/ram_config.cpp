#include "kestrow/config/ram_config.h"

#include "kestrow/base/atomic_file.h"
#include "kestrow/config/chip_types.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/number_text.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/text_util.h"

#include <cstdio>

namespace kestrow::config {
namespace {

constexpr std::size_t kMaxHeaderName = 64;
constexpr std::size_t kRegisterLineChars = 32;
// A file that reaches this many pairs is refused.
constexpr std::size_t kRegisterPairLimit = 128;

constexpr const char* kHeader =
    "# '#' and '//' is the remark head.\r\n"
    "// '#' and '//' is the remark head.\r\n"
    "# blank line is allowable,but couldn't contain blank(space)\r\n"
    "\r\n\r\n\r\n"
    "# Every section should be like the format followed:\r\n"
    "# [section name]       //no blank before '['\r\n"
    "# Your data...\r\n"
    "# Your data...\r\n"
    "# ...\r\n"
    "# [END]                //no blank before '['\r\n"
    "# The following section name is supported:\r\n"
    "# [xxxx],[xxxx]\r\n"
    "\r\n"
    "[CONFIG_DATA]\r\n";
constexpr const char* kFooter = "[END]\r\n\r\n\r\n\r\n\r\n# ^_^ ^_^\r\n";

bool IsBlankOrComment(std::string_view line) {
    return line.empty() || line[0] == '\r' || line[0] == '#' || line[0] == '/';
}

// The section name of a "[name]" line; nothing when "]" is missing or the name is too long.
std::optional<std::string> HeaderName(std::string_view line) {
    std::size_t start = 1;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
    std::size_t close = line.find(']', start);
    if (close == std::string_view::npos || close - start > kMaxHeaderName) return std::nullopt;
    return std::string(line.substr(start, close - start));
}

// A "0x%08x, 0x%08x," line: "," at character 10 or 22; address from characters
// 0-9, value from 11-21, both with the hex reader.
std::optional<RamRegister> RegisterLine(std::string_view line) {
    line = line.substr(0, kRegisterLineChars);
    bool valid = (line.size() > 10 && line[10] == ',') || (line.size() > 22 && line[22] == ',');
    if (!valid) return std::nullopt;
    return RamRegister{ReadHex(line.substr(0, 10)), ReadHex(line.substr(11, 11))};
}

}  // namespace

std::uint32_t RamConfigWord::Encode() const {
    return (static_cast<std::uint32_t>(ram_type) & 7u) | ((static_cast<std::uint32_t>(bank) & 1u) << 9) |
           ((static_cast<std::uint32_t>(column) & 7u) << 10) | ((static_cast<std::uint32_t>(row) & 7u) << 13);
}

RamConfigWord RamConfigWord::Decode(std::uint32_t word) {
    return {static_cast<int>(word & 7u), static_cast<int>((word >> 9) & 1u), static_cast<int>((word >> 10) & 7u),
            static_cast<int>((word >> 13) & 7u)};
}

std::string_view RamConfigFileName(int ramType) {
    switch (ramType) {
        case 0: return "ramconfig_mcp.txt";
        case 1: return "ramconfig_sdram.txt";
        case 3:
        case 4: return "ramconfig_ddr2.txt";
        case 6:
        case 7: return "ramconfig_m_ddr.txt";
        default: return "ramconfig_ddr.txt";
    }
}

std::optional<RamTable> ReadRamConfigFile(const std::string& path) {
    std::optional<std::uint64_t> size = RegularFileSize(path);
    std::string text;
    if (!size || *size > kMaxRamConfigFileBytes || !ReadWholeFile(path, text)) return std::nullopt;
    // Text ends at the end of the file or at a zero byte.
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> lines = Split(text, '\n');

    RamTable pairs;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (IsBlankOrComment(line)) continue;
        if (line[0] != '[') return std::nullopt;
        std::optional<std::string> name = HeaderName(line);
        if (!name) return std::nullopt;
        if (StartsWith(*name, "CONFIG_BRAND")) continue;
        if (!StartsWith(*name, "CONFIG_DATA")) return std::nullopt;
        // Register pairs up to the next "[" line, which ends the section and is skipped.
        for (++i; i < lines.size() && (lines[i].empty() || lines[i][0] != '['); ++i) {
            if (IsBlankOrComment(lines[i])) continue;
            std::optional<RamRegister> pair = RegisterLine(lines[i]);
            if (!pair) return std::nullopt;
            pairs.push_back(*pair);
            if (pairs.size() >= kRegisterPairLimit) return std::nullopt;
        }
    }
    return pairs;
}

std::string FormatRamConfigFile(const RamTable& pairs, std::uint32_t word) {
    std::string text = kHeader;
    for (const RamRegister& r : pairs) {
        std::uint32_t value = r.address == kRamControlAddress ? (r.value & 0xFFFF01F8u) | word : r.value;
        char line[64];
        std::snprintf(line, sizeof line, "0x%08x, 0x%08x,    //remark\r\n", r.address, value);
        text += line;
    }
    return text + kFooter;
}

int RamConfigPorter::Import(const std::string& path, MessageSink& sink) {
    if (path.empty()) {
        sink.ShowMessage(kProgramCaption, "Nothing import", MessageIcon::Warning);
        return 0;
    }
    std::optional<RamTable> pairs = ReadRamConfigFile(path);
    if (!pairs) {
        sink.ShowMessage(kProgramCaption, "Import file fail,the file is not valid!", MessageIcon::Error);
        return 0;
    }
    imported_ = std::move(pairs);
    return 1;
}

std::optional<std::uint32_t> RamConfigPorter::ImportedWord(int chipType) const {
    if (!imported_) return std::nullopt;
    if (!ChipTypeOrReserved(chipType).ramConfigWord) return std::nullopt;
    for (const RamRegister& r : *imported_)
        if (r.address == kRamConfigWordAddress) return r.value;
    return std::nullopt;
}

int RamConfigPorter::Export(const std::string& path, std::uint32_t word, const BurnConfig& config,
                            MessageSink& sink) {
    if (path.empty()) {
        sink.ShowMessage(kProgramCaption, "Nothing Export", MessageIcon::Warning);
        return 0;
    }
    if (!imported_) {
        std::string fallback = ResolveProgramPath("ramconfig/" + std::string(RamConfigFileName(word & 7u)));
        imported_ = ReadRamConfigFile(fallback);
    }
    RamTable pairs;
    if (imported_) {
        pairs = *imported_;
    } else if (ChipTypeOrReserved(config.chip_type).ramListFromTables && config.clock_index >= 0 &&
               static_cast<std::size_t>(config.clock_index) < config.active_ram_tables.size()) {
        pairs = config.active_ram_tables[static_cast<std::size_t>(config.clock_index)];
    }
    std::string error;
    if (!base::WriteFileAtomically(path, FormatRamConfigFile(pairs, word), error)) {
        sink.ShowMessage(kProgramCaption, "Export file fail, maybe no enough space!", MessageIcon::Error);
        return 0;
    }
    return 1;
}

}  // namespace kestrow::config
