#include "kestrow/app/today_panel.h"

#include "kestrow/station/today_counters.h"

#include <QTimer>

#include <chrono>

namespace kestrow::app {

TodayPanel::TodayPanel(records::RecordStore& store, std::function<void(const std::string&)> tell, std::string told,
                       QWidget* parent)
    : QLabel(parent), store_(store), tell_(std::move(tell)), told_(std::move(told)) {
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, &TodayPanel::Refresh);
    timer_->start(kTodayRefreshMs);
    Refresh();
}

void TodayPanel::Refresh() {
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    records::StoreResult<records::RecordSummary> today =
        store_.Summarize({.since_us = station::LocalMidnightUs(now)});
    const std::string problem = today ? "" : today.error().message;
    if (problem != told_ && tell_) tell_(problem);
    told_ = problem;
    // While the store cannot be reached the last counts stay, marked as such.
    if (!today) {
        if (!text().endsWith(" (store unreachable)")) setText(text() + " (store unreachable)");
        setToolTip(QString::fromStdString(problem));
        return;
    }
    setToolTip(QString::fromStdString(store_.Location().Describe()));
    setText(QString::fromStdString(station::FormatTodayCounters(station::CountToday(*today, now))));
}

}  // namespace kestrow::app
