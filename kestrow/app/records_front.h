#pragma once
// The window's part of the burn records: the store opened with the station,
// its problems in the status bar and today's counters beside the list.
#include "kestrow/app/prompter.h"
#include "kestrow/config/language_table.h"
#include "kestrow/engine/station_window.h"
#include "kestrow/station/station.h"

class QMainWindow;

namespace kestrow::app {

class TodayPanel;

// Opens the station's records (burn.ini [Records] Url, else records.db).
// Problems go to `reports` as a port report under the store's name, cleared
// once the store can be read.
TodayPanel* AttachRecords(QMainWindow& window, engine::StationWindow& reports, station::Station& station);

}  // namespace kestrow::app
