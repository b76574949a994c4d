#include "kestrow/app/channel_model.h"

#include <cstdio>

namespace kestrow::app {

std::string FormatTimer(std::uint32_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%u:%2u:%2u", seconds / 3600, seconds / 60 % 60, seconds % 60);
    std::string shown = text;
    for (char& c : shown)
        if (c == ' ') c = '0';
    return shown;
}

QColor ColourFromBgr(std::uint32_t bgr) {
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
}

ChannelModel::ChannelModel(const engine::StationState& state, const config::BurnConfig& config,
                           const config::LanguageTable& language, QObject* parent)
    : QAbstractTableModel(parent), state_(state), config_(config), language_(language) {
    shown_rows_ = static_cast<int>(state_.Rows().size());
}

int ChannelModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : shown_rows_; }

int ChannelModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant ChannelModel::data(const QModelIndex& index, int role) const {
    const auto& rows = state_.Rows();
    if (!index.isValid() || index.row() >= static_cast<int>(rows.size())) return {};
    const engine::RowRecord& record = rows[static_cast<std::size_t>(index.row())];
    if (role == Qt::ForegroundRole) return ColourFromBgr(record.text_colour);
    if (index.column() == kColumnProgress) {
        if (role == kPercentRole) return record.percent;
        if (role == kBarColourRole) return ColourFromBgr(record.bar_colour);
        return {};
    }
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
        case kColumnItem:
            return QString::fromStdString(language_.GetString(kDeviceText)) + QString::number(index.row());
        // Without gang mode every row shows the one watched port.
        case kColumnPort:
            return QString::fromStdString(config_.uart_com[config_.device_channel > 1 ? index.row() : 0]);
        case kColumnStatus: return QString::fromStdString(record.text);
        case kColumnTimer: return QString::fromStdString(FormatTimer(record.seconds));
        default: return {};
    }
}

QVariant ChannelModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumnCount) return {};
    return QString::fromStdString(language_.GetString(static_cast<std::size_t>(kColumnHeaderText[section])));
}

void ChannelModel::Refresh() {
    int rows = static_cast<int>(state_.Rows().size());
    if (rows != shown_rows_) {
        beginResetModel();
        shown_rows_ = rows;
        endResetModel();
        return;
    }
    if (rows > 0) emit dataChanged(index(0, 0), index(rows - 1, kColumnCount - 1));
}

void ChannelModel::Relabel() {
    emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
    Refresh();
}

}  // namespace kestrow::app
