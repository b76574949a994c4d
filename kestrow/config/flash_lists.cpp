#include "kestrow/config/flash_lists.h"

#include "kestrow/config/number_text.h"
#include "kestrow/config/text_util.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace kestrow::config {
namespace {

std::string Cell(const char* format, auto value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

template <std::size_t N>
std::string Narrow(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

template <std::size_t N>
void CopyPartNumber(char (&field)[N], const std::string& text) {
    std::string cut = CutToBytes(text, N - 1);
    std::memset(field, 0, N);
    std::memcpy(field, cut.data(), cut.size());
}

std::uint32_t Decimal(const std::string& cell) { return static_cast<std::uint32_t>(ReadDecimal(cell)); }

const std::vector<std::string> kSpiNorHeaders = {"No.",          "Chip ID",    "Total Size", "Page Size",
                                                 "Program Size", "Erase Size", "Clock",      "Flag",
                                                 "Protect Mask", "Part Number", "Ex_Flag"};
const std::vector<std::string> kSpiNandHeaders = {"No.",        "Chip ID",           "Page Size",
                                                  "Page Per Block", "Total Block Number", "Plane Block Number",
                                                  "Spare Size", "Custom Nand Flash", "Flag",
                                                  "Clock",      "Part Number"};

// What a column takes: a decimal or hex number of at most `max`, which must
// not be 0 where a flash cannot work with 0, or a part number.
enum class CellKind { Decimal, Hex, Text };
struct ColumnRule {
    CellKind kind;
    std::uint32_t max;
    bool nonzero;
};
constexpr std::uint32_t kAny = 0xFFFFFFFF;
constexpr std::uint32_t kByte = 0xFF;
constexpr std::uint32_t kHalf = 0xFFFF;
constexpr std::uint32_t kSigned = 0x7FFFFFFF;
const std::vector<ColumnRule> kSpiNorRules = {
    {CellKind::Text, 0, false},       {CellKind::Hex, kAny, true},      {CellKind::Decimal, kSigned, true},
    {CellKind::Decimal, kSigned, true}, {CellKind::Decimal, kSigned, true}, {CellKind::Decimal, kSigned, true},
    {CellKind::Decimal, kSigned, false}, {CellKind::Hex, kByte, false},   {CellKind::Hex, kByte, false},
    {CellKind::Text, 0, false},       {CellKind::Hex, kByte, false}};
const std::vector<ColumnRule> kSpiNandRules = {
    {CellKind::Text, 0, false},       {CellKind::Hex, kAny, true},      {CellKind::Decimal, kHalf, true},
    {CellKind::Decimal, kHalf, true}, {CellKind::Decimal, kHalf, true}, {CellKind::Decimal, kHalf, false},
    {CellKind::Decimal, kByte, false}, {CellKind::Decimal, kByte, false}, {CellKind::Hex, kAny, false},
    {CellKind::Decimal, kSigned, false}, {CellKind::Text, 0, false}};

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The value of `text` in base 10 or 16 (hex may start with "0x"), or nothing
// when it holds anything else or more than `max`.
std::optional<std::uint64_t> ReadWhole(const std::string& text, bool hex, std::uint64_t max) {
    std::string digits = Trimmed(text);
    if (hex && (digits.starts_with("0x") || digits.starts_with("0X"))) digits.erase(0, 2);
    if (digits.empty() || digits.size() > (hex ? 8u : 10u)) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : !hex                 ? -1
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
    }
    if (value > max) return std::nullopt;
    return value;
}

}  // namespace

std::vector<std::string> FormatSpiNorRow(std::size_t position, const SpiNorInfo& r) {
    return {Cell("%d", static_cast<int>(position + 1)), Cell("0x%x", r.chip_id), Cell("%d", static_cast<int>(r.total_size)),
            Cell("%d", static_cast<int>(r.page_size)), Cell("%d", static_cast<int>(r.program_size)),
            Cell("%d", static_cast<int>(r.erase_size)), Cell("%d", static_cast<int>(r.clock)), Cell("0x%x", r.flag),
            Cell("0x%x", r.protect_mask), Narrow(r.part_number), Cell("0x%02x", r.ex_flag)};
}

std::vector<std::string> FormatSpiNandRow(std::size_t position, const SpiNandInfo& r) {
    return {Cell("%d", static_cast<int>(position + 1)), Cell("0x%x", r.chip_id), Cell("%d", r.page_size),
            Cell("%d", r.pages_per_block), Cell("%d", r.total_blocks), Cell("%d", r.plane_blocks),
            Cell("%d", r.spare_size), Cell("%d", r.custom_nand), Cell("0x%.8X", r.flag),
            Cell("%d", static_cast<int>(r.clock)), Narrow(r.part_number)};
}

SpiNorInfo ReadSpiNorRow(const std::vector<std::string>& c) {
    SpiNorInfo r{};
    r.chip_id = ReadHex(c.at(1));
    r.total_size = Decimal(c.at(2));
    r.page_size = Decimal(c.at(3));
    r.program_size = Decimal(c.at(4));
    r.erase_size = Decimal(c.at(5));
    r.clock = Decimal(c.at(6));
    r.flag = static_cast<std::uint8_t>(ReadHex(c.at(7)));
    r.protect_mask = static_cast<std::uint8_t>(ReadHex(c.at(8)));
    CopyPartNumber(r.part_number, c.at(9));
    r.ex_flag = static_cast<std::uint8_t>(ReadHex(c.at(10)));
    return r;
}

SpiNandInfo ReadSpiNandRow(const std::vector<std::string>& c) {
    SpiNandInfo r{};
    r.chip_id = ReadHex(c.at(1));
    r.page_size = static_cast<std::uint16_t>(Decimal(c.at(2)));
    r.pages_per_block = static_cast<std::uint16_t>(Decimal(c.at(3)));
    r.total_blocks = static_cast<std::uint16_t>(Decimal(c.at(4)));
    r.plane_blocks = static_cast<std::uint16_t>(Decimal(c.at(5)));
    r.spare_size = static_cast<std::uint8_t>(Decimal(c.at(6)));
    r.custom_nand = static_cast<std::uint8_t>(Decimal(c.at(7)));  // decimal in the dialog
    r.flag = ReadHex(c.at(8));
    r.clock = Decimal(c.at(9));
    CopyPartNumber(r.part_number, c.at(10));
    return r;
}

FlashListEditor::FlashListEditor(FlashListKind kind, const BurnConfig& config) : kind_(kind) {
    if (kind == FlashListKind::SpiNor) {
        for (std::size_t i = 0; i < config.spinor_list.size(); ++i)
            rows_.push_back(FormatSpiNorRow(i, config.spinor_list[i]));
    } else {
        for (std::size_t i = 0; i < config.spinand_list.size(); ++i)
            rows_.push_back(FormatSpiNandRow(i, config.spinand_list[i]));
    }
}

const std::vector<std::string>& FlashListEditor::Headers() const {
    return kind_ == FlashListKind::SpiNor ? kSpiNorHeaders : kSpiNandHeaders;
}

void FlashListEditor::SetCell(std::size_t row, std::size_t column, const std::string& text) {
    if (column == 0) throw std::out_of_range("the row number cannot be edited");
    rows_.at(row).at(column) = text;
}

void FlashListEditor::AddRow() {
    rows_.push_back(kind_ == FlashListKind::SpiNor ? FormatSpiNorRow(rows_.size(), SpiNorInfo{})
                                                   : FormatSpiNandRow(rows_.size(), SpiNandInfo{}));
}

void FlashListEditor::RemoveRow(std::size_t row) {
    rows_.erase(rows_.begin() + static_cast<long>(row));
    Renumber();
}

void FlashListEditor::Renumber() {
    for (std::size_t i = 0; i < rows_.size(); ++i) rows_[i][0] = std::to_string(i + 1);
}

void FlashListEditor::WriteBack(BurnConfig& config) const {
    if (kind_ == FlashListKind::SpiNor) {
        std::vector<SpiNorInfo> list;
        for (const auto& row : rows_) list.push_back(ReadSpiNorRow(row));
        config.spinor_list = std::move(list);
        config.ForgetMalformedEntries(kSpiNorListKey);  // the operator saw and confirmed every row
    } else {
        std::vector<SpiNandInfo> list;
        for (const auto& row : rows_) list.push_back(ReadSpiNandRow(row));
        config.spinand_list = std::move(list);
        config.ForgetMalformedEntries(kSpiNandListKey);
    }
}

std::string FlashListEditor::CellProblem(std::size_t row, std::size_t column) const {
    const auto& rules = kind_ == FlashListKind::SpiNor ? kSpiNorRules : kSpiNandRules;
    const std::string& text = rows_.at(row).at(column);
    const ColumnRule& rule = rules.at(column);
    const std::string named = Headers().at(column) + " \"" + text + "\"";
    if (rule.kind == CellKind::Text) return {};
    const bool hex = rule.kind == CellKind::Hex;
    std::optional<std::uint64_t> value = ReadWhole(text, hex, rule.max);
    char limit[16];
    std::snprintf(limit, sizeof limit, hex ? "0x%X" : "%u", rule.max);
    if (!value)
        return named + (hex ? " is not a hex number up to " : " is not a whole number up to ") + limit;
    if (rule.nonzero && *value == 0) return named + " must not be 0";
    return {};
}

std::vector<std::string> FlashListEditor::Problems() const {
    std::vector<std::string> problems;
    for (std::size_t r = 0; r < rows_.size(); ++r)
        for (std::size_t c = 1; c < rows_[r].size(); ++c)
            if (std::string why = CellProblem(r, c); !why.empty())
                problems.push_back("row " + std::to_string(r + 1) + ": " + why);
    return problems;
}

const std::vector<std::string>& BuiltinNandHeaders() {
    static const std::vector<std::string> headers = {
        "N.O.", "ChipID", "Page Size", "Page per block", "Total block number", "Group block number",
        "Plane block number", "Spare size", "Column address cycle", "Last column addrress cycle mask bit",
        "Row address cycle", "Last row address cycle mask bit", "Custom nandflash", "Flag", "Command length",
        "Data length", "Descriptor string"};
    return headers;
}

std::vector<std::vector<std::string>> BuiltinNandRows(const std::vector<SpiNandInfo>& table) {
    std::vector<std::vector<std::string>> rows;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const SpiNandInfo& r = table[i];
        rows.push_back({Cell("%d", static_cast<int>(i + 1)), Cell("0x%x", r.chip_id), Cell("%d", r.page_size),
                        Cell("%d", r.pages_per_block), Cell("%d", r.total_blocks), Cell("%d", r.group_blocks),
                        Cell("%d", r.plane_blocks), Cell("%d", r.spare_size), Cell("%d", r.column_cycles),
                        Cell("0x%x", r.last_column_mask), Cell("%d", r.row_cycles), Cell("0x%x", r.last_row_mask),
                        Cell("%d", r.custom_nand), Cell("0x%.8X", r.flag), Cell("%d", static_cast<int>(r.command_length)),
                        Cell("%d", static_cast<int>(r.clock)), Narrow(r.part_number)});
    }
    return rows;
}

}  // namespace kestrow::config
