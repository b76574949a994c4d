#pragma once
// Today's passed / failed boards, yield and boards per hour from the station's
// records store, beside the channel list; read again every few seconds.
#include "kestrow/records/record_store.h"

#include <QLabel>

#include <functional>
#include <string>

class QTimer;

namespace kestrow::app {

inline constexpr int kTodayRefreshMs = 5000;

class TodayPanel : public QLabel {
    Q_OBJECT
public:
    // `tell` hears why the store cannot be read, and "" once it can again
    // (each only when that changed from what it was told last, `told`).
    TodayPanel(records::RecordStore& store, std::function<void(const std::string&)> tell, std::string told = "",
               QWidget* parent = nullptr);
    // Reads today's summary again.
    void Refresh();

private:
    records::RecordStore& store_;
    std::function<void(const std::string&)> tell_;
    std::string told_;
    QTimer* timer_ = nullptr;
};

}  // namespace kestrow::app
