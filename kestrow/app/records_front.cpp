#include "kestrow/app/records_front.h"

#include "kestrow/app/general_page.h"
#include "kestrow/app/today_panel.h"

#include <QMainWindow>
#include <QMenu>
#include <QStatusBar>

namespace kestrow::app {

TodayPanel* AttachRecords(QMainWindow& window, engine::StationWindow& reports, QMenu& settingsMenu,
                          station::Station& station, const config::LanguageTable& language, Prompter& prompter) {
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
    settingsMenu.addAction("General", &window, [&window, records, &language, &prompter, panel] {
        GeneralPage page(records->Store(), language, prompter, &window);
        page.exec();
        panel->Refresh();
    });
    return panel;
}

}  // namespace kestrow::app
