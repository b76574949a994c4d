#pragma once
// The station's main window: the bar of controls (burn file, settings, port,
// baud rate, port search, port close/open, chip information), the channel list
// and the menu bar. It renders the Qt-free station state and forwards the
// operator's commands to it; the burn engine and the attach thread reach it
// through the StationWindow interface, whose calls are queued onto this
// window's thread.
#include "kestrow/app/channel_model.h"
#include "kestrow/app/prompter.h"
#include "kestrow/app/session_counters.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/language_table.h"
#include "kestrow/config/ram_config.h"
#include "kestrow/engine/board_link.h"
#include "kestrow/engine/burn_engine.h"
#include "kestrow/engine/port_search.h"
#include "kestrow/engine/port_watcher.h"
#include "kestrow/engine/program_version.h"
#include "kestrow/engine/station_state.h"
#include "kestrow/engine/station_window.h"
#include "kestrow/station/station.h"

#include <QMainWindow>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class QComboBox;
class QGroupBox;
class QPlainTextEdit;
class QSpinBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMessageBox;
class QPushButton;
class QTableView;
class QTimer;
class QWidget;

namespace kestrow::app {

class TodayPanel;

inline constexpr int kVersionMajor = engine::kProgramVersionMajor;
inline constexpr int kVersionMinor = engine::kProgramVersionMinor;
inline constexpr int kVersionBuild = engine::kProgramVersionBuild;
inline constexpr int kWindowWidth = 800;
inline constexpr int kWindowHeight = 600;

// Language entries of the window's own texts.
namespace text {
inline constexpr int kCaption = 0;
inline constexpr int kSettingsMenu = 5;
inline constexpr int kSettingsItem = 6;
inline constexpr int kPassword = 7;
inline constexpr int kLanguage = 9;
inline constexpr int kToolsMenu = 11;
inline constexpr int kSpiImageItem = 12;
inline constexpr int kHelpMenu = 16;
inline constexpr int kDiskImageItem = 280;
inline constexpr int kAboutItem = 17;
inline constexpr int kCloseQuestion = 314;
inline constexpr int kOk = 328;
inline constexpr int kPortLabel = 374;
inline constexpr int kBaudLabel = 375;
inline constexpr int kSearch = 376;
}  // namespace text

// What the window works on; all owned by the caller and outliving the window.
struct StationParts {
    config::BurnConfig& config;
    config::LanguageTable& language;
    engine::BoardLink& link;
    const engine::PortProber& ports;
    Prompter& prompter;
    std::string config_file;  // the active configuration file, saved after the settings dialog
};

// "Morvo_Uart_Kestrow_V1.1.26" and the suffixes of the read-back, erase and
// U-disk modes.
QString WindowTitle(const config::LanguageTable& language, const engine::StationState& state);
// "V1.1.26 ( CorvelLib V..; USBLib V..; Producer V.. )" of the about box.
QString AboutVersionLine(const config::BurnConfig& config);

class MainWindow : public QMainWindow, public engine::StationWindow {
    Q_OBJECT
public:
    explicit MainWindow(StationParts parts, QWidget* parent = nullptr);
    ~MainWindow() override;

    // ---- engine::StationWindow: any thread; queued onto the window's thread ----
    void Post(const engine::StationEvent& event) override;
    void EnableBar(bool enabled) override;
    void RefreshTitle() override;
    void EndOfRun() override;
    void ShowCloseButton(bool visible) override;
    void ReportPort(const std::string& port, const std::string& problem) override;
    void ReportPortCondition(const std::string& port, const engine::PortCondition& why) override;

    // ---- window thread ----
    // Start-up: tells the operator in a message box what keeps the station
    // from burning (the attach thread then waits until the settings change)
    // or from keeping its logs and settings.
    void WarnAboutStation();
    // Start-up: searches the ports on a thread of its own, then starts watching
    // the selected port.
    void StartPortThreads();
    bool PortSearchFinished() const { return search_finished_; }
    // Enter: hands the attached channels to the library.
    unsigned StartRun();
    // "Search": detaches every port and searches again off the window thread;
    // PortSearchFinished() once the list shows the result.
    void SearchPortsNow();
    void ToggleWatching();   // "Close" / "Open"
    // Rows, each watching its own port: one per configured channel (at least
    // one). With more than one (gang mode) row i watches port-name entry i
    // and choosing a port in the bar's list assigns it to the selected row.
    int WatchedRows() const;
    bool GangMode() const { return WatchedRows() > 1; }
    std::vector<std::string> WatchedPorts() const;
    bool Watching() const { return watching_; }
    void ChooseBurnFile();   // "Browse"
    void OpenSettings();     // "Burn Settings"
    void OpenHardware();     // "Hardware": RAM configuration files and the boot loader's command line
    void OpenGeneral();      // "General": the identity pools of the records store
    void OpenPasswordDialog();
    QMessageBox* ShowAbout();
    // Loads language `index` of the table's names and relabels everything.
    bool SwitchLanguage(int index);

    station::Station& GetStation() { return station_; }
    engine::StationState& State() { return state_; }
    engine::BurnEngine& Engine() { return station_.Engine(); }
    ChannelModel& Model() { return *model_; }
    QTableView* ChannelList() const { return list_; }
    QWidget* Bar() const { return bar_; }
    QComboBox* PortList() const { return port_list_; }
    QComboBox* BaudList() const { return baud_list_; }
    QPushButton* SearchButton() const { return search_button_; }
    QPushButton* CloseButton() const { return close_button_; }
    // Automatic retries of a failed board (0: it waits to be replaced).
    QSpinBox* RetriesBox() const { return retries_; }
    QLabel* PortLabel() const { return port_label_; }
    QLabel* BaudLabel() const { return baud_label_; }
    QLabel* CheckInfo() const { return check_info_; }
    // The status line: why the watched port cannot be opened, else why ports
    // the search found are not listed.
    QLabel* PortStatus() const { return port_status_; }
    // Searches again (off the window thread) when serial devices have come or
    // gone since the last look.
    void RescanPortsIfChanged();
    QLineEdit* BurnFileEdit() const { return burn_file_; }
    QMenu* ToolsMenu() const { return tools_menu_; }
    QAction* SettingsAction() const { return settings_action_; }
    QAction* PasswordAction() const { return password_action_; }
    bool WatcherRunning() const { return station_.Watching(); }
    QMenu* SettingsMenu() const { return settings_menu_; }
    QMenu* PasswordMenu() const { return password_menu_; }
    // The log pane: the selected row's channel log, its newest lines last.
    QPlainTextEdit* LogPane() const { return log_pane_; }
    QGroupBox* LogFrame() const { return log_frame_; }
    SessionCounters* Counters() const { return counters_; }
    QAction* OpenLogFolderAction() const { return open_log_action_; }
    QPushButton* OpenLogFolderButton() const { return open_log_button_; }
    // Shows the station's log folder in the desktop's file manager.
    void OpenLogFolder();
    // Reads the selected row's channel log into the log pane.
    void ShowSelectedLog();
    QMenu* LanguageMenu() const { return language_menu_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void HandleEvent(const engine::StationEvent& event);
    void BuildBar();
    void BuildMenus();
    void ApplyLanguage();
    void FillLanguageMenu();
    void SelectConfiguredBaud();
    void RefreshRows();
    void SetCheckInfo();
    void RecomputeTransferTotal();
    void WarnAboutMissingFile(const engine::TransferTotal& total);
    void ShowPortList(const engine::PortSearchResult& result);
    // The bar's list shows the port of the selected row (entry 0 without gang mode).
    void ShowRowPort();
    int SelectedRow() const;
    // The port search of this station's rows over `configured`.
    engine::PortSearchResult SearchRows(const engine::PortTable& configured, engine::PortTable& table) const;
    void ShowPortStatus();
    // The port search of the rows over `configured` on a thread of its own; on
    // the window thread the found table and list are taken, then `then` runs,
    // told whether a watched row's port changed, and ends the search.
    void SearchInBackground(const engine::PortTable& configured, std::function<void(bool portChanged)> then);
    // A search whose result ends the configuration change the caller began.
    void SearchAndEndConfigChange(const engine::PortTable& configured);
    // What keeps every burn from passing (the configuration, a missing burn
    // file); nothing is watched then.
    std::optional<std::string> WhyNothingIsWatched() const;
    void OnPortChosen(int entry);
    void OnBaudChosen(int entry);
    // The attach thread reads the configuration: it is paused at the top of
    // its loop while the window changes the port, the baud rate or the settings.
    void PauseWatcher();
    void ResumeWatcher();
    // A board attached or burning reads the configuration until its result.
    bool StationBusy() const;
    // Pauses the attach thread for a change of the configuration (a dialog
    // included); false, and nothing paused, while the station is busy or
    // another change is under way. The change ends with EndConfigChange().
    bool BeginConfigChange();
    void EndConfigChange();
    // The menu commands that change the configuration follow StationBusy().
    void UpdateConfigActions();

    config::BurnConfig& config_;
    config::LanguageTable& language_;
    engine::BoardLink& link_;
    const engine::PortProber& ports_;
    Prompter& prompter_;
    std::string config_file_;

    station::Station station_;
    engine::StationState& state_;  // the station's, which the list draws
    config::RamConfigPorter ram_porter_;  // what the Hardware dialog imported, for the program's run
    ChannelModel* model_ = nullptr;

    QWidget* bar_ = nullptr;
    QLabel* burn_file_label_ = nullptr;
    QLineEdit* burn_file_ = nullptr;
    QPushButton* browse_button_ = nullptr;
    QPushButton* settings_button_ = nullptr;
    QLabel* port_label_ = nullptr;
    QComboBox* port_list_ = nullptr;
    QLabel* baud_label_ = nullptr;
    QComboBox* baud_list_ = nullptr;
    QPushButton* search_button_ = nullptr;
    QPushButton* close_button_ = nullptr;
    QLabel* check_info_ = nullptr;
    QGroupBox* check_info_frame_ = nullptr;
    QLabel* bps_label_ = nullptr;
    QLabel* retries_label_ = nullptr;
    QSpinBox* retries_ = nullptr;
    QTableView* list_ = nullptr;
    QLabel* port_status_ = nullptr;
    QGroupBox* log_frame_ = nullptr;
    QPlainTextEdit* log_pane_ = nullptr;
    SessionCounters* counters_ = nullptr;
    TodayPanel* today_panel_ = nullptr;
    QPushButton* open_log_button_ = nullptr;
    QAction* open_log_action_ = nullptr;
    QTimer* second_timer_ = nullptr;
    QTimer* port_rescan_timer_ = nullptr;

    QMenu* tools_menu_ = nullptr;
    QMenu* settings_menu_ = nullptr;
    QMenu* language_menu_ = nullptr;
    QMenu* password_menu_ = nullptr;
    QMenu* help_menu_ = nullptr;
    QAction* spi_image_action_ = nullptr;
    QAction* disk_image_action_ = nullptr;
    QAction* settings_action_ = nullptr;
    QAction* hardware_action_ = nullptr;
    QAction* general_action_ = nullptr;
    QAction* password_action_ = nullptr;
    QAction* about_action_ = nullptr;

    bool watching_ = true;
    bool watcher_running_ = false;
    bool changing_config_ = false;  // between BeginConfigChange and EndConfigChange
    std::atomic<bool> search_finished_{false};
    std::string remembered_port_;
    std::vector<std::string> seen_ports_;  // the candidates of the last search
    // Why a watched port cannot be used: its condition, worded in the window's
    // language when shown, or the text of another part (the records store).
    struct WatchedProblem {
        std::optional<engine::PortCondition> condition;
        std::string text;
    };
    void TakePortReport(const std::string& port, const WatchedProblem& problem);
    std::map<std::string, WatchedProblem> watched_port_problems_;  // from the watchers, by port
    std::vector<engine::PortProblem> unlisted_problems_;  // from the last search
    std::jthread search_thread_;
};

}  // namespace kestrow::app
