#include "kestrow/config/chip_tables.h"

#include "kestrow/config/chip_types.h"
#include "kestrow/config/number_text.h"
#include "kestrow/config/private_profile.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/text_util.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>

namespace kestrow::config {
namespace {

// Projects at the same position are tried Nimbra first, then Brisk.
constexpr std::array<std::string_view, 6> kNimbraProjects = {"NimbraP6", "NimbraP5", "NimbraP4",
                                                             "NimbraP3", "NimbraP2", "NimbraP1"};
constexpr std::array<std::string_view, 6> kBriskProjects = {"BriskP6", "BriskP5", "BriskP4",
                                                            "BriskP3", "BriskP2", "BriskP1"};
constexpr std::int32_t kPlatformLinux = 1;
constexpr std::int32_t kPlatformRtos = 2;

struct SizeClassRule {
    RamSizeClass size_class;
    std::initializer_list<std::string_view> parts;
};
// Part numbers not listed here have 64 MB.
const SizeClassRule kSizeClassRules[] = {
    {kRam16M, {"PN01"}},
    {kRam32M, {"PN20", "PN19"}},
    {kRam128M, {"PN32", "PN31", "PN30", "PN29", "PN28", "PN27", "PN26", "PN25", "PN24", "PN23", "PN22", "PN21",
                "PN18"}},
};

struct ChipTypeRule {
    std::initializer_list<std::string_view> parts;
    std::initializer_list<std::string_view> projects;
    std::int32_t chip_type;
};
// Tried in order; the first rule whose part number and project both fit wins.
const ChipTypeRule kChipTypeRules[] = {
    {{"PN16", "PN15", "PN20", "PN19"}, {"BriskP1"}, 2},
    {{"PN14", "PN32", "PN13", "PN31", "PN12"}, {"BriskP6"}, 6},
    {{"PN13", "PN31"}, {"NimbraP6"}, 6},
    {{"PN11", "PN25", "PN10", "PN24", "PN09", "PN23"}, {"BriskP5"}, 7},
    {{"PN08", "PN28", "PN07", "PN27", "PN06", "PN26"}, {"NimbraP5"}, 7},
    {{"PN01", "PN30", "PN05", "PN29"}, {"NimbraP4", "BriskP4"}, 8},
    {{"PN22", "PN04", "PN03", "PN21", "PN02"}, {"NimbraP3", "BriskP3"}, 9},
    {{"PN18"}, {"NimbraP1"}, 11},
    {{"PN17"}, {"NimbraP2", "BriskP2"}, 10},
};

bool Contains(std::initializer_list<std::string_view> list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

constexpr std::array<const char*, kRamSizeClasses> kRamSectionFormats = {"16M_Ram_Param%d", "32M_Ram_Param%d",
                                                                         "64M_Ram_Param%d", "128M_Ram_Param%d"};
// A register count beyond this is held at it; no controller has that many registers.
constexpr long kMaxRamRegisters = 4096;
constexpr std::size_t kProfileValueBuffer = 256;  // values are read with a 255-character buffer

std::string Numbered(const char* format, long n) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, static_cast<int>(n));
    return buffer;
}

// The items of a ","-separated list, each trimmed; an empty value has none.
std::vector<std::string> ListItems(const std::string& value) {
    std::vector<std::string> items;
    if (Trim(value).empty()) return items;
    for (const std::string& item : Split(value, ',')) items.push_back(Trim(item));
    return items;
}

template <typename T>
void CutList(std::vector<T>& items, std::size_t limit, const char* what, ConfigNotes* notes) {
    if (items.size() <= limit) return;
    if (notes)
        notes->lines.push_back(std::string(kChipTablesFile) + ": " + what + " has " + std::to_string(items.size()) +
                               " entries; only the first " + std::to_string(limit) + " are used");
    items.resize(limit);
}

// Names the value and the file, and a project it differs from only in case.
std::string UnknownProjectCause(const std::string& project, const std::string& file) {
    std::string cause = file + ": [Project_Name] project_name \"" + project + "\" is none of ";
    std::string alike;
    for (std::size_t i = 0; i < kNimbraProjects.size(); ++i) {
        for (std::string_view known : {kNimbraProjects[i], kBriskProjects[i]}) {
            cause += std::string(known) + (known == kBriskProjects.back() ? "" : ", ");
            if (ToUpperAscii(std::string(known)) == ToUpperAscii(project)) alike = known;
        }
    }
    return alike.empty() ? cause : cause + "; did you mean " + alike + "?";
}

}  // namespace

std::optional<std::int32_t> PlatformTypeOfProject(std::string_view project) {
    for (std::size_t i = 0; i < kNimbraProjects.size(); ++i) {
        if (project == kNimbraProjects[i]) return kPlatformLinux;
        if (project == kBriskProjects[i]) return kPlatformRtos;
    }
    return std::nullopt;
}

RamSizeClass RamSizeClassOf(std::string_view partNumber) {
    for (const SizeClassRule& rule : kSizeClassRules)
        if (Contains(rule.parts, partNumber)) return rule.size_class;
    return kRam64M;
}

std::optional<std::int32_t> ChipTypeOf(std::string_view partNumber, std::string_view project) {
    for (const ChipTypeRule& rule : kChipTypeRules)
        if (Contains(rule.parts, partNumber) && Contains(rule.projects, project)) return rule.chip_type;
    return std::nullopt;
}

int BurnConfig::LoadChipTables(const std::string& path, MessageSink& sink, ConfigNotes* notes) {
    PrivateProfile ini = PrivateProfile::Load(ResolveProgramPath(path));
    if (!ini.Exists()) {
        sink.ShowMessage(kErrorCaption, "Failed to find SDK_CPU_DDR2.ini,please check!", MessageIcon::Error);
        return 0;
    }
    project_name = CutToChars(ini.GetString("Project_Name", "project_name", "", kProfileValueBuffer), kProjectNameChars);
    std::optional<std::int32_t> platform = PlatformTypeOfProject(project_name);
    if (!platform) {
        sink.ShowMessage(kErrorCaption,
                         "The Project Name is not support\n" + UnknownProjectCause(project_name, ResolveProgramPath(path)),
                         MessageIcon::Error);
        return 0;
    }
    platform_type = *platform;

    part_numbers.clear();
    for (const std::string& item : ListItems(ini.GetString("Chip_Type", "chip_type", "", kProfileValueBuffer)))
        part_numbers.push_back(CutToChars(item, kProjectNameChars));
    CutList(part_numbers, kMaxPartNumbers, "[Chip_Type] chip_type", notes);

    auto readFreqs = [&](const char* key) {
        std::vector<std::int32_t> freqs;
        for (const std::string& item : ListItems(ini.GetString("Freq", key, "", kProfileValueBuffer)))
            freqs.push_back(ReadDecimal(item));
        return freqs;
    };
    ddr_freqs = readFreqs("ddr_freq");
    CutList(ddr_freqs, kMaxClockPairs, "[Freq] ddr_freq", notes);
    cpu_freqs = readFreqs("cpu_freq");
    if (cpu_freqs.size() != ddr_freqs.size() && notes)
        notes->lines.push_back(std::string(kChipTablesFile) + ": [Freq] cpu_freq has " +
                               std::to_string(cpu_freqs.size()) + " entries and ddr_freq " +
                               std::to_string(ddr_freqs.size()) + "; missing CPU clocks read as 0");
    cpu_freqs.resize(ddr_freqs.size(), 0);  // ddr_freq decides the number of pairs

    ram_tables.assign(ddr_freqs.size(), {});
    for (std::size_t pair = 0; pair < ddr_freqs.size(); ++pair) {
        for (int sizeClass = 0; sizeClass < kRamSizeClasses; ++sizeClass) {
            std::string section = Numbered(kRamSectionFormats[static_cast<std::size_t>(sizeClass)],
                                           static_cast<long>(pair + 1));
            long count = std::clamp(ini.GetInt(section, "reg_num", 0), 0L, kMaxRamRegisters);
            RamTable table(static_cast<std::size_t>(count));
            for (long k = 1; k <= count; ++k) {
                std::string text =
                    ini.GetString(section, Numbered("reg_addr_value%d", k), "", kProfileValueBuffer);
                std::size_t comma = text.find(',', 1);
                if (text.empty() || comma == std::string::npos) continue;  // the pair stays zero
                table[static_cast<std::size_t>(k - 1)] = {ReadBase16(Trim(text.substr(0, comma))),
                                                          ReadBase16(Trim(text.substr(comma + 1)))};
            }
            ram_tables[pair][static_cast<std::size_t>(sizeClass)] = std::move(table);
        }
    }
    return 1;
}

void BurnConfig::SelectClockAndPart() {
    auto selectPair = [this](std::size_t i) {
        clock_index = static_cast<int>(i);
        cpu_freq_param = cpu_freqs[i];
        ddr_freq_param = ddr_freqs[i];
    };
    clock_index = 0;
    for (std::size_t i = 0; i < ddr_freqs.size(); ++i) {
        if (cpu_freqs[i] == cpu_freq_param && ddr_freqs[i] == ddr_freq_param) {
            clock_index = static_cast<int>(i);
            break;
        }
    }
    // With an empty clock table there is no pair to take the values from.
    if (!ddr_freqs.empty()) selectPair(static_cast<std::size_t>(clock_index));

    auto part = std::find(part_numbers.begin(), part_numbers.end(), chip_model);
    part_index = part == part_numbers.end() ? 0 : static_cast<int>(part - part_numbers.begin());
    if (!part_numbers.empty()) chip_model = part_numbers[static_cast<std::size_t>(part_index)];

    if (chip_model == kFixedClockPart) {
        for (std::size_t i = 0; i < ddr_freqs.size(); ++i) {
            if (cpu_freqs[i] == kFixedCpuMhz && ddr_freqs[i] == kFixedDdrMhz) {
                selectPair(i);
                break;
            }
        }
    }
}

int BurnConfig::DeriveChipType(MessageSink& sink) {
    RamSizeClass sizeClass = RamSizeClassOf(chip_model);
    active_ram_tables.clear();
    for (const auto& classes : ram_tables) active_ram_tables.push_back(classes[static_cast<std::size_t>(sizeClass)]);

    std::optional<std::int32_t> derived = ChipTypeOf(chip_model, project_name);
    if (!derived) {
        sink.ShowMessage(kErrorCaption, project_name + "和" + chip_model + " is error，please check",
                         MessageIcon::Error);
        return 0;
    }
    chip_type = *derived;
    return 1;
}

namespace {

// "0x" (optional) and one to eight hex digits: what the table means by a
// register address or value. The reader would take "zz" as 0.
bool IsRegisterWord(const std::string& text) {
    std::string_view t(text);
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t.remove_prefix(2);
    return !t.empty() && t.size() <= 8 && std::all_of(t.begin(), t.end(), [](char c) { return IsHex(c); });
}

}  // namespace

std::vector<std::string> ActiveRamTableProblems(const BurnConfig& config, const std::string& path,
                                                std::size_t maxRegisters) {
    std::vector<std::string> problems;
    if (!ChipTypeOrReserved(config.chip_type).ramListFromTables || config.ddr_freqs.empty()) return problems;
    const std::size_t pair = static_cast<std::size_t>(std::max(config.clock_index, 0));
    const std::string section =
        Numbered(kRamSectionFormats[static_cast<std::size_t>(RamSizeClassOf(config.chip_model))],
                 static_cast<long>(pair + 1));
    const std::string where = ResolveProgramPath(path) + " [" + section + "] (" + config.chip_model + ", " +
                              std::to_string(config.cpu_freqs[pair]) + "/" + std::to_string(config.ddr_freqs[pair]) +
                              " MHz): ";
    const PrivateProfile ini = PrivateProfile::Load(ResolveProgramPath(path));
    const std::vector<std::string> keys = ini.Keys(section);
    const auto has = [&keys](const std::string& key) {
        return std::any_of(keys.begin(), keys.end(), [&](const std::string& k) { return ToUpperAscii(k) == ToUpperAscii(key); });
    };
    if (!has("reg_num")) {
        problems.push_back(where + "no reg_num, so no RAM register would be set");
        return problems;
    }
    const std::string written = ini.GetString(section, "reg_num", "", kProfileValueBuffer);
    const bool number = !written.empty() && written.find_first_not_of("0123456789") == std::string::npos;
    const long count = number ? ini.GetInt(section, "reg_num", 0) : 0;
    if (!number) {
        problems.push_back(where + "reg_num \"" + written + "\" is not a number");
        return problems;
    }
    if (count == 0) {
        problems.push_back(where + "reg_num is 0, so no RAM register would be set");
        return problems;
    }
    if (static_cast<std::size_t>(count) > maxRegisters) {
        problems.push_back(where + "reg_num " + written + " is more than the " + std::to_string(maxRegisters) +
                           " registers a burn can send");
        return problems;
    }
    for (long k = 1; k <= count; ++k) {
        const std::string key = Numbered("reg_addr_value%d", k);
        if (!has(key)) {
            problems.push_back(where + key + " is missing (reg_num is " + written + "), so the burn would write 0x00000000 to 0x00000000");
            continue;
        }
        const std::string text = ini.GetString(section, key, "", kProfileValueBuffer);
        const std::size_t comma = text.find(',', 1);
        const std::string address = comma == std::string::npos ? "" : Trim(text.substr(0, comma));
        const std::string value = comma == std::string::npos ? "" : Trim(text.substr(comma + 1));
        if (IsRegisterWord(address) && IsRegisterWord(value)) continue;
        char read[64];
        std::snprintf(read, sizeof read, "0x%08x to 0x%08x", ReadBase16(value), ReadBase16(address));
        problems.push_back(where + key + " \"" + text + "\" is not \"address,value\" in hex, so the burn would write " +
                           read);
    }
    long beyond = 0;
    for (const std::string& key : keys) {
        const std::string upper = ToUpperAscii(key);
        if (!StartsWith(upper, "REG_ADDR_VALUE")) continue;
        const std::string n = upper.substr(14);
        if (n.empty() || n.find_first_not_of("0123456789") != std::string::npos || n.size() > 6 || std::stol(n) > count)
            ++beyond;
    }
    if (beyond > 0)
        problems.push_back(where + "reg_num is " + written + " but the section holds " + std::to_string(beyond) +
                           " more register pair" + (beyond == 1 ? "" : "s") + " that the burn would leave out");
    return problems;
}

ClockList BuildClockList(const BurnConfig& config) {
    ClockList list;
    if (config.part_numbers.empty()) {
        list.empty_message = "配置文件不存在芯片类型";
        return list;
    }
    if (config.ddr_freqs.empty()) {
        list.empty_message = "配置文件不存在ddr频率";
        return list;
    }
    bool fixed = config.chip_model == kFixedClockPart;
    for (std::size_t i = 0; i < config.ddr_freqs.size(); ++i) {
        std::int32_t cpu = config.cpu_freqs[i], ddr = config.ddr_freqs[i];
        if (fixed && (cpu != kFixedCpuMhz || ddr != kFixedDdrMhz)) continue;
        char line[80];
        std::snprintf(line, sizeof line, "CPU_CLK = %dMHz, DDR2_CLK = %dMHz", cpu, ddr);
        list.lines.push_back(line);
        list.pair_index.push_back(static_cast<int>(i));
        if (fixed) break;  // the first fitting pair is the only choice
    }
    return list;
}

int SelectedClockLine(const BurnConfig& config, const ClockList& list) {
    auto at = std::find(list.pair_index.begin(), list.pair_index.end(), config.clock_index);
    return at == list.pair_index.end() ? 0 : static_cast<int>(at - list.pair_index.begin());
}

void ChooseClockLine(BurnConfig& config, const ClockList& list, int line) {
    if (line < 0 || static_cast<std::size_t>(line) >= list.pair_index.size()) return;
    auto pair = static_cast<std::size_t>(list.pair_index[static_cast<std::size_t>(line)]);
    config.clock_index = static_cast<int>(pair);
    config.cpu_freq_param = config.cpu_freqs[pair];
    config.ddr_freq_param = config.ddr_freqs[pair];
}

}  // namespace kestrow::config
