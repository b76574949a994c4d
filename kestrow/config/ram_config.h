#pragma once
// RAM-configuration text files of the hardware page ("Import..." / "Export..."):
// 8-bit text with CR LF lines, "#" and "//" comments, a "[CONFIG_DATA]" section
// of "0x%08x, 0x%08x," register pairs ended by a "[...]" line.
#include "kestrow/config/burn_config.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrow::config {

inline constexpr std::uint32_t kRamConfigWordAddress = 0x21000000;  // holds the configuration word on import
inline constexpr std::uint32_t kRamControlAddress = 0x2000e000;     // receives the word on export
inline constexpr std::size_t kMaxRamConfigFileBytes = 10240;

// The RAM configuration word: bits 0-2 RAM type, bit 9 bank, bits 10-12 column, bits 13-15 row.
struct RamConfigWord {
    int ram_type = 0;  // 0 MCP, 1 SDRAM, 2 DDR16, 3 DDR2_32, 4 DDR2_16, 5 DDR32, 6 m_DDR_16, 7 m_DDR_32
    int bank = 0;
    int column = 0;
    int row = 0;
    std::uint32_t Encode() const;
    static RamConfigWord Decode(std::uint32_t word);
    // The page's "DDR_FREQ:" field is off when bits 0 and 1 are both set.
    static bool DdrFrequencyEditable(std::uint32_t word) { return (word & 3u) != 3u; }
};

// File name suggested for (and of the ramconfig/ default for) a RAM type.
std::string_view RamConfigFileName(int ramType);

// The register pairs of a RAM-configuration file; nothing when the file is
// unreadable, larger than 10240 bytes or malformed.
std::optional<RamTable> ReadRamConfigFile(const std::string& path);
// The file's text for `pairs`, with the word merged into the control register.
std::string FormatRamConfigFile(const RamTable& pairs, std::uint32_t word);

// The hardware page's import and export, holding the imported pairs between them.
class RamConfigPorter {
public:
    // 1 when imported; shows "Nothing import" for an empty path and
    // "Import file fail,the file is not valid!" for a bad file (nothing imported).
    int Import(const std::string& path, MessageSink& sink);
    // For chip types 1, 2, 3, 5 and 6: the imported configuration word, if any.
    std::optional<std::uint32_t> ImportedWord(int chipType) const;
    // Writes the imported pairs, or the active RAM table of the selected clock
    // pair (chip types 6 to 11) when nothing was imported; 1 when written.
    int Export(const std::string& path, std::uint32_t word, const BurnConfig& config, MessageSink& sink);
    const std::optional<RamTable>& imported() const { return imported_; }

private:
    std::optional<RamTable> imported_;
};

}  // namespace kestrow::config
