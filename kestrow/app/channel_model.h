#pragma once
// The channel list's table: one row per channel record of the station state,
// five columns (item, port, progress, status text, timer). The progress cell
// carries its percentage and bar colour in roles of its own for the delegate.
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/station_state.h"

#include <QAbstractTableModel>
#include <QColor>

#include <array>
#include <cstdint>
#include <string>

namespace kestrow::app {

enum ChannelColumn { kColumnItem, kColumnPort, kColumnProgress, kColumnStatus, kColumnTimer, kColumnCount };

// Header text entries and widths of the five columns.
inline constexpr std::array<int, kColumnCount> kColumnHeaderText = {23, 24, 25, 26, 27};
inline constexpr std::array<int, kColumnCount> kColumnWidth = {80, 80, 200, 250, 80};
inline constexpr int kRowHeight = 32;
inline constexpr int kDeviceText = 28;  // "Device"

// Roles of the progress cell.
inline constexpr int kPercentRole = Qt::UserRole + 1;
inline constexpr int kBarColourRole = Qt::UserRole + 2;

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
