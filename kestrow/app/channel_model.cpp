#include "kestrow/app/channel_model.h"

#include <cstdio>
#include <ctime>

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

QString ResultText(const engine::RowRecord& record, const config::LanguageTable& language) {
    auto added = [&](config::AddedText id) { return QString::fromStdString(language.GetAddedText(id)); };
    QString next;
    if (record.board_stays) next = added(config::AddedText::ReplaceBoard);
    else if (record.waiting) next = added(config::AddedText::WaitingForBoard);
    if (record.retries > 0) {
        QString retry = QString::asprintf(language.GetAddedText(config::AddedText::RetryCount).c_str(), record.retries);
        next = next.isEmpty() ? retry : next + ", " + retry;
    }
    if (record.result == engine::RowResult::None) return next;
    std::tm local{};
    const std::time_t when = record.result_time;
    localtime_r(&when, &local);
    char time[16];
    std::strftime(time, sizeof time, "%H:%M:%S", &local);
    QString text = added(record.result == engine::RowResult::Passed ? config::AddedText::Passed
                                                                     : config::AddedText::Failed) +
                   "  " + time;
    return next.isEmpty() ? text : text + "\n" + next;
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
    if (index.column() == kColumnResult) {
        if (role == Qt::DisplayRole) return ResultText(record, language_);
        if (role == kResultColourRole && record.result != engine::RowResult::None)
            return QColor(record.result == engine::RowResult::Passed ? kPassColour : kFailColour);
        return {};
    }
    if (role == Qt::ForegroundRole) return ColourFromBgr(record.text_colour);
    if (index.column() == kColumnProgress) {
        if (role == kPercentRole) return record.percent;
        if (role == kBarColourRole) return ColourFromBgr(record.bar_colour);
        return {};
    }
    // A status or cause too long for its cell is read whole on hovering.
    if (role == Qt::ToolTipRole && index.column() == kColumnStatus) role = Qt::DisplayRole;
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
        case kColumnItem:
            return QString::fromStdString(language_.GetString(kDeviceText)) + QString::number(index.row());
        // Without gang mode every row shows the one watched port.
        case kColumnPort:
            return QString::fromStdString(config_.uart_com[config_.device_channel > 1 ? index.row() : 0]);
        case kColumnStatus:
            return QString::fromStdString(record.cause.empty() ? record.text : record.text + "\n" + record.cause);
        case kColumnTimer: return QString::fromStdString(FormatTimer(record.seconds));
        default: return {};
    }
}

QVariant ChannelModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumnCount) return {};
    if (kColumnHeaderText[section] == kNoHeaderEntry)
        return QString::fromStdString(language_.GetAddedText(config::AddedText::ResultHeader));
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
