#include "kestrow/app/records_front.h"

#include "kestrow/app/today_panel.h"

#include <QMainWindow>
#include <QStatusBar>

namespace kestrow::app {

TodayPanel* AttachRecords(QMainWindow& window, engine::StationWindow& reports, station::Station& station) {
    std::vector<std::string> problems = station.OpenRecords("");
    station::BoardRecords* records = station.Records();
    const std::string where = records->Store().Location().Describe();
    std::string told;
    for (const std::string& problem : problems) reports.ReportPort(where, told = problem);
    // The store's problem stands in the status line until it can be read again.
    auto* panel = new TodayPanel(
        records->Store(), [&reports, where](const std::string& problem) { reports.ReportPort(where, problem); }, told,
        &window);
    window.statusBar()->addPermanentWidget(panel);
    return panel;
}

}  // namespace kestrow::app
