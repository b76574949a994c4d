#pragma once
// The SPI NOR and SPI NAND lists as the list dialogs edit them: one row of
// formatted cells per record, written back to BurnConfig with the same readers
// the configuration file uses (hex cells with the hex reader, decimal cells as
// the C library reads them, part numbers cut to 31 bytes).
#include "kestrow/config/burn_config.h"

#include <string>
#include <vector>

namespace kestrow::config {

enum class FlashListKind { SpiNor, SpiNand };

class FlashListEditor {
public:
    // Rows of the configuration's list, as the dialog shows them when opened.
    FlashListEditor(FlashListKind kind, const BurnConfig& config);

    const std::vector<std::string>& Headers() const;
    const std::vector<std::vector<std::string>>& Rows() const { return rows_; }

    // Column 0 ("No.") is the row number and cannot be edited.
    void SetCell(std::size_t row, std::size_t column, const std::string& text);
    // Appends a row of zero values; the row numbers follow the rows.
    void AddRow();
    void RemoveRow(std::size_t row);

    // What is wrong with the cell as typed: "" when it reads as the number (or
    // text) its column takes; else why, e.g. "Total Size \"8MB\" is not a whole
    // number". A row of zeros (Add, then nothing typed) names its chip ID.
    std::string CellProblem(std::size_t row, std::size_t column) const;
    // Every cell's problem, "row N: ..." each, in table order.
    std::vector<std::string> Problems() const;

    // "OK": replaces the configuration's list with exactly the rows held here.
    void WriteBack(BurnConfig& config) const;

private:
    void Renumber();
    FlashListKind kind_;
    std::vector<std::vector<std::string>> rows_;
};

std::vector<std::string> FormatSpiNorRow(std::size_t position, const SpiNorInfo& record);
std::vector<std::string> FormatSpiNandRow(std::size_t position, const SpiNandInfo& record);
SpiNorInfo ReadSpiNorRow(const std::vector<std::string>& cells);
SpiNandInfo ReadSpiNandRow(const std::vector<std::string>& cells);

// The built-in SPI NAND table's page: every raw NAND column, display only.
const std::vector<std::string>& BuiltinNandHeaders();
std::vector<std::vector<std::string>> BuiltinNandRows(const std::vector<SpiNandInfo>& table);

}  // namespace kestrow::config
