#pragma once
// Today's passed / failed boards, yield and boards per hour from the station's
// records store, beside the channel list; read again every few seconds.
#include "kestrow/records/record_store.h"

#include <QLabel>

class QTimer;

namespace kestrow::app {

inline constexpr int kTodayRefreshMs = 5000;

class TodayPanel : public QLabel {
    Q_OBJECT
public:
    TodayPanel(records::RecordStore& store, QWidget* parent = nullptr);
    // Reads today's summary again.
    void Refresh();

private:
    records::RecordStore& store_;
    QTimer* timer_ = nullptr;
};

}  // namespace kestrow::app
