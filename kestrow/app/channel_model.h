#pragma once
// The channel list's table: one row per channel record of the station state,
// six columns (item, result, port, progress, status text with the cause of a
// failure beneath it, timer). The progress cell carries its percentage and bar
// colour in roles of its own for the delegate; the result cell its colour.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/station_state.h"

#include <QAbstractTableModel>
#include <QColor>

#include <array>
#include <cstdint>
#include <string>

namespace kestrow::app {

enum ChannelColumn {
    kColumnItem,
    kColumnResult,
    kColumnPort,
    kColumnProgress,
    kColumnStatus,
    kColumnTimer,
    kColumnCount
};

// Header text entries and widths of the columns; the result column's header
// is an added text (kNoHeaderEntry).
inline constexpr int kNoHeaderEntry = -1;
inline constexpr std::array<int, kColumnCount> kColumnHeaderText = {23, kNoHeaderEntry, 24, 25, 26, 27};
// The port column fits its paths and the status column stretches: theirs are the least.
inline constexpr std::array<int, kColumnCount> kColumnWidth = {80, 200, 80, 140, 250, 80};
inline constexpr int kRowHeight = 44;  // two lines: the status and the cause beneath it
inline constexpr int kDeviceText = 28;  // "Device"

// Roles of the progress cell.
inline constexpr int kPercentRole = Qt::UserRole + 1;
inline constexpr int kBarColourRole = Qt::UserRole + 2;
// The result cell: its fill colour (invalid without a result).
inline constexpr int kResultColourRole = Qt::UserRole + 3;
inline constexpr QRgb kPassColour = 0x00A000;
inline constexpr QRgb kFailColour = 0xD00000;

// The result cell's text: "PASS 14:03:27" (or FAIL) and beneath it what the
// port does now; "" for a row without a result.
QString ResultText(const engine::RowRecord& record, const config::LanguageTable& language);

// Elapsed time as "H:MM:SS" (hours unpadded): 65 seconds show as 0:01:05.
std::string FormatTimer(std::uint32_t seconds);

// A colour value of the form 0x00BBGGRR.
QColor ColourFromBgr(std::uint32_t bgr);

class ChannelModel : public QAbstractTableModel {
    Q_OBJECT
public:
    ChannelModel(const engine::StationState& state, const config::BurnConfig& config,
                 const config::LanguageTable& language, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // The station's rows changed: a new row count resets the view, otherwise
    // the cells are redrawn.
    void Refresh();
    // The language changed: headers and item texts.
    void Relabel();

private:
    const engine::StationState& state_;
    const config::BurnConfig& config_;
    const config::LanguageTable& language_;
    int shown_rows_ = 0;
};

}  // namespace kestrow::app
