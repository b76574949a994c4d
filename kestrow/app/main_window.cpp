#include "kestrow/app/main_window.h"

#include "kestrow/app/disk_image_dialog.h"
#include "kestrow/app/general_page.h"
#include "kestrow/app/hardware_dialog.h"
#include "kestrow/app/password_dialog.h"
#include "kestrow/app/progress_delegate.h"
#include "kestrow/app/result_delegate.h"
#include "kestrow/app/records_front.h"
#include "kestrow/app/settings_dialog.h"
#include "kestrow/app/spi_image_dialog.h"
#include "kestrow/app/today_panel.h"
#include "kestrow/config/serial_link.h"
#include "kestrow/config/station_checks.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/engine/progress.h"
#include "kestrow/engine/status_codes.h"
#include "corvel/include/corvel.h"
#include "usbcorvel/access_loader.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <fstream>

namespace kestrow::app {
namespace {

constexpr int kSecondMs = 1000;
// How often the window looks whether serial devices came or went.
constexpr int kPortRescanMs = 2000;
constexpr int kMinWindowWidth = 720;
constexpr int kMinWindowHeight = 520;
// The log pane shows at most the last this many bytes of a channel log.
constexpr std::streamoff kLogPaneBytes = 64 * 1024;
constexpr int kLogPaneHeight = 140;
constexpr int kMaxAutoRetries = 100;

// The end of the file at `path`, "" when it cannot be read.
QString FileTail(const std::string& path, std::streamoff bytes) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    const std::streamoff size = in.tellg();
    const std::streamoff from = size > bytes ? size - bytes : 0;
    in.seekg(from);
    std::string text(static_cast<std::size_t>(size - from), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    // A cut in the middle of a line starts the pane with the next one.
    if (from > 0) text.erase(0, text.find('\n') + 1);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QString WindowTitle(const config::LanguageTable& language, const engine::StationState& state) {
    QString title = QString::asprintf("%s_V%d.%d.%02d", language.GetString(text::kCaption).c_str(), kVersionMajor,
                                      kVersionMinor, kVersionBuild);
    if (state.bin_read_back) title += "bin upload";
    if (state.spi_nor_read_back) title += "upload spi nor flash";
    if (state.erase_mode) title += "Erase mode";
    if (state.udisk_burn_number != 0) title += "--UDiskBurn";
    return title;
}

QString AboutVersionLine(const config::BurnConfig& config) {
    unsigned major = 0, minor = 0, build = 0;
    KW_GetVersion(&major, &minor, &build);
    // The USB access library reads 0.0 on a station without it (serial burning needs none).
    unsigned usbMajor = 0, usbMinor = 0;
    std::string why;
    if (const usbcorvel::AccessCalls* usb = usbcorvel::LoadAccessLibrary(why)) usb->GetUSBLibVersion(&usbMajor, &usbMinor);
    QString libraries = QString::asprintf("CorvelLib V%u.%u.%02u; ", major, minor, build) +
                        QString::asprintf("USBLib V%u.%u; ", usbMajor, usbMinor) +
                        QString::asprintf("Producer V%u.%u.%02u ", config.producer_version[0],
                                          config.producer_version[1], config.producer_version[2]);
    return QString::asprintf("V%d.%d.%02d ( ", kVersionMajor, kVersionMinor, kVersionBuild) + libraries + ")";
}

MainWindow::MainWindow(StationParts parts, QWidget* parent)
    : QMainWindow(parent),
      config_(parts.config),
      language_(parts.language),
      link_(parts.link),
      ports_(parts.ports),
      prompter_(parts.prompter),
      config_file_(std::move(parts.config_file)),
      station_({config_, language_, link_, *this, &parts.ports}),
      state_(station_.State()) {
    BuildBar();
    BuildMenus();
    model_ = new ChannelModel(state_, config_, language_, this);
    list_ = new QTableView(this);
    list_->setModel(model_);
    list_->setItemDelegateForColumn(kColumnProgress, new ProgressDelegate(list_));
    list_->setItemDelegateForColumn(kColumnResult, new ResultDelegate(list_));
    // Tab moves on to the next control, not from cell to cell.
    list_->setTabKeyNavigation(false);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    list_->verticalHeader()->setDefaultSectionSize(kRowHeight);
    list_->setShowGrid(false);
    for (int column = 0; column < kColumnCount; ++column) list_->setColumnWidth(column, kColumnWidth[column]);
    // The status takes the room the window gives; a long port path is shown whole.
    list_->setWordWrap(false);
    list_->horizontalHeader()->setSectionResizeMode(kColumnStatus, QHeaderView::Stretch);
    list_->horizontalHeader()->setSectionResizeMode(kColumnPort, QHeaderView::ResizeToContents);
    list_->horizontalHeader()->setMinimumSectionSize(kColumnWidth[kColumnItem]);
    connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] {
        ShowRowPort();
        ShowSelectedLog();
    });

    counters_ = new SessionCounters(language_, config::AddedText::SessionCounters, this);
    open_log_button_ = new QPushButton(this);
    connect(open_log_button_, &QPushButton::clicked, this, &MainWindow::OpenLogFolder);
    // The counters and the log folder sit on the list's top edge, leaving it the window's width.
    // How often a failed board is burned again before its port waits for it to go.
    retries_ = new QSpinBox(this);
    retries_->setRange(0, kMaxAutoRetries);
    retries_label_ = new QLabel(this);
    retries_label_->setBuddy(retries_);
    connect(retries_, &QSpinBox::valueChanged, this,
            [this](int retries) { state_.SetAutoRetries(static_cast<unsigned>(retries)); });
    auto* above = new QHBoxLayout;
    above->addWidget(retries_label_, 0, Qt::AlignBottom);
    above->addWidget(retries_, 0, Qt::AlignBottom);
    above->addStretch(1);
    above->addWidget(counters_);
    above->addWidget(open_log_button_, 0, Qt::AlignBottom);
    auto* listArea = new QWidget(this);
    auto* listLayout = new QVBoxLayout(listArea);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->addLayout(above);
    listLayout->addWidget(list_, 1);

    log_frame_ = new QGroupBox(this);
    auto* logLayout = new QVBoxLayout(log_frame_);
    log_pane_ = new QPlainTextEdit(log_frame_);
    log_pane_->setReadOnly(true);
    log_pane_->setLineWrapMode(QPlainTextEdit::NoWrap);
    log_pane_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    logLayout->addWidget(log_pane_);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(listArea);
    splitter->addWidget(log_frame_);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    splitter->setChildrenCollapsible(false);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(bar_);
    layout->addWidget(splitter, 1);
    setCentralWidget(central);
    log_frame_->setMinimumHeight(kLogPaneHeight / 2);
    splitter->setSizes({kWindowHeight - kLogPaneHeight, kLogPaneHeight});
    port_status_ = new QLabel(this);
    statusBar()->addWidget(port_status_, 1);

    SelectConfiguredBaud();
    burn_file_->setText(QString::fromStdString(config_.path_nandboot));
    move(0, 0);
    setMinimumSize(kMinWindowWidth, kMinWindowHeight);
    resize(kWindowWidth, kWindowHeight);

    config_.LoadPasswords();
    WarnAboutMissingFile(station_.Open(config_.device_channel));
    today_panel_ = AttachRecords(*this, *this, station_);
    SetCheckInfo();
    ApplyLanguage();
    RefreshRows();

    second_timer_ = new QTimer(this);
    connect(second_timer_, &QTimer::timeout, this, [this] {
        state_.TickTimers();
        model_->Refresh();
        UpdateConfigActions();
    });
    second_timer_->start(kSecondMs);
    port_rescan_timer_ = new QTimer(this);
    connect(port_rescan_timer_, &QTimer::timeout, this, &MainWindow::RescanPortsIfChanged);

    for (auto key : {Qt::Key_Return, Qt::Key_Enter})
        connect(new QShortcut(QKeySequence(key), this), &QShortcut::activated, this, [this] { StartRun(); });
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, &QWidget::close);
}

MainWindow::~MainWindow() {
    if (search_thread_.joinable()) search_thread_.join();
    station_.Close();
}

// ---- StationWindow ----

void MainWindow::Post(const engine::StationEvent& event) {
    QMetaObject::invokeMethod(this, [this, event] { HandleEvent(event); }, Qt::QueuedConnection);
}

void MainWindow::EnableBar(bool enabled) {
    QMetaObject::invokeMethod(
        this,
        [this, enabled] {
            bar_->setEnabled(enabled);
            UpdateConfigActions();
        },
        Qt::QueuedConnection);
}

void MainWindow::RefreshTitle() {
    QMetaObject::invokeMethod(
        this, [this] { setWindowTitle(WindowTitle(language_, state_)); }, Qt::QueuedConnection);
}

void MainWindow::EndOfRun() {
    QMetaObject::invokeMethod(this, [this] { model_->Refresh(); }, Qt::QueuedConnection);
}

void MainWindow::ShowCloseButton(bool visible) {
    QMetaObject::invokeMethod(this, [this, visible] { close_button_->setVisible(visible); }, Qt::QueuedConnection);
}

void MainWindow::ReportPort(const std::string& port, const std::string& problem) {
    TakePortReport(port, {std::nullopt, problem});
}

void MainWindow::ReportPortCondition(const std::string& port, const engine::PortCondition& why) {
    TakePortReport(port, {why, engine::PortProblemText(port, why)});
}

// From a watcher's thread: the report is taken on the window's.
void MainWindow::TakePortReport(const std::string& port, const WatchedProblem& problem) {
    QMetaObject::invokeMethod(
        this,
        [this, port, problem] {
            if (problem.text.empty()) watched_port_problems_.erase(port);
            else watched_port_problems_[port] = problem;
            // The main log keeps English, whatever the window shows.
            state_.MainLog().Write(engine::kLogTime, "%s\r\n",
                                   problem.text.empty() ? (port + " opens again").c_str() : problem.text.c_str());
            ShowPortStatus();
        },
        Qt::QueuedConnection);
}

void MainWindow::HandleEvent(const engine::StationEvent& event) {
    state_.OnEvent(event);
    counters_->Show(state_.Tally());
    if (event.kind == engine::EventKind::Status || event.kind == engine::EventKind::Armed) {
        const int shown = list_->currentIndex().isValid() ? list_->currentIndex().row() : 0;
        if (event.channel == static_cast<unsigned>(shown + 1)) ShowSelectedLog();
    }
    // The port search has finished and the rows are re-created: the port
    // column follows the port now selected.
    if (event.kind == engine::EventKind::RefreshList) model_->Relabel();
    if (event.kind != engine::EventKind::Progress) UpdateConfigActions();
    model_->Refresh();
}

// ---- building ----

void MainWindow::BuildBar() {
    bar_ = new QWidget(this);
    auto* grid = new QGridLayout(bar_);
    grid->setContentsMargins(0, 0, 0, 0);

    burn_file_label_ = new QLabel(bar_);
    burn_file_ = new QLineEdit(bar_);
    burn_file_->setReadOnly(true);
    browse_button_ = new QPushButton(bar_);
    settings_button_ = new QPushButton(bar_);
    grid->addWidget(burn_file_label_, 0, 0);
    grid->addWidget(burn_file_, 0, 1, 1, 5);
    grid->addWidget(browse_button_, 0, 6);
    grid->addWidget(settings_button_, 0, 7);

    port_label_ = new QLabel(bar_);
    port_list_ = new QComboBox(bar_);
    port_list_->setMinimumContentsLength(10);
    baud_label_ = new QLabel(bar_);
    baud_list_ = new QComboBox(bar_);
    for (unsigned baud : config::kLinkBaudRates) baud_list_->addItem(QString::number(baud));
    search_button_ = new QPushButton(bar_);
    close_button_ = new QPushButton(bar_);
    grid->addWidget(port_label_, 1, 0);
    grid->addWidget(port_list_, 1, 1);
    grid->addWidget(baud_label_, 1, 2);
    grid->addWidget(baud_list_, 1, 3);
    bps_label_ = new QLabel(bar_);
    grid->addWidget(bps_label_, 1, 4);
    grid->addWidget(search_button_, 1, 6);
    grid->addWidget(close_button_, 1, 7);

    check_info_frame_ = new QGroupBox(bar_);
    QGroupBox* info = check_info_frame_;
    auto* infoLayout = new QVBoxLayout(info);
    check_info_ = new QLabel(info);
    infoLayout->addWidget(check_info_);
    grid->addWidget(info, 2, 0, 1, 8);

    connect(browse_button_, &QPushButton::clicked, this, &MainWindow::ChooseBurnFile);
    connect(settings_button_, &QPushButton::clicked, this, &MainWindow::OpenSettings);
    connect(search_button_, &QPushButton::clicked, this, &MainWindow::SearchPortsNow);
    connect(close_button_, &QPushButton::clicked, this, &MainWindow::ToggleWatching);
    connect(port_list_, &QComboBox::activated, this, &MainWindow::OnPortChosen);
    connect(baud_list_, &QComboBox::activated, this, &MainWindow::OnBaudChosen);
}

void MainWindow::BuildMenus() {
    tools_menu_ = menuBar()->addMenu(QString());
    spi_image_action_ = tools_menu_->addAction(QString(), this, [this] { RunSpiImageCommand(config_, &language_, this); });
    disk_image_action_ = tools_menu_->addAction(QString(), this, [this] {
        DiskImageDialog dialog(config_.chip_mode, &language_, this);
        dialog.exec();
    });

    settings_menu_ = menuBar()->addMenu(QString());
    settings_action_ = settings_menu_->addAction(QString(), this, &MainWindow::OpenSettings);
    hardware_action_ = settings_menu_->addAction(QString(), this, &MainWindow::OpenHardware);
    general_action_ = settings_menu_->addAction(QString(), this, &MainWindow::OpenGeneral);
    language_menu_ = menuBar()->addMenu(QString());
    password_menu_ = menuBar()->addMenu(QString());
    password_action_ = password_menu_->addAction(QString(), this, &MainWindow::OpenPasswordDialog);
    help_menu_ = menuBar()->addMenu(QString());
    about_action_ = help_menu_->addAction(QString(), this, [this] { ShowAbout(); });
    open_log_action_ = tools_menu_->addAction(QString(), this, &MainWindow::OpenLogFolder);
}

void MainWindow::OpenLogFolder() {
    QDesktopServices::openUrl(
        QUrl::fromLocalFile(QString::fromStdString(config::ResolveProgramPath(engine::kLogFolder))));
}

void MainWindow::ShowSelectedLog() {
    const int row = list_->currentIndex().isValid() ? list_->currentIndex().row() : 0;
    const auto channel = static_cast<unsigned>(row + 1);
    log_frame_->setTitle(
        QString::asprintf(language_.GetAddedText(config::AddedText::ChannelLogTitle).c_str(), channel));
    QScrollBar* scroll = log_pane_->verticalScrollBar();
    const bool atEnd = scroll->value() == scroll->maximum();
    log_pane_->setPlainText(FileTail(station_.ChannelLogPath(channel), kLogPaneBytes));
    if (atEnd) scroll->setValue(scroll->maximum());
}

void MainWindow::FillLanguageMenu() {
    language_menu_->clear();
    const auto& names = language_.LanguageNames();
    for (int i = 0; i < static_cast<int>(names.size()); ++i) {
        QAction* action = language_menu_->addAction(QString::fromStdString(names[static_cast<std::size_t>(i)]));
        action->setCheckable(true);
        action->setChecked(i == language_.CurrentLanguage());
        connect(action, &QAction::triggered, this, [this, i] { SwitchLanguage(i); });
    }
}

void MainWindow::ApplyLanguage() {
    port_label_->setText(Text(language_, text::kPortLabel));
    burn_file_label_->setText(Text(language_, config::AddedText::BurnFileLabel));
    browse_button_->setText(Text(language_, config::AddedText::BrowseButton));
    settings_button_->setText(Text(language_, config::AddedText::BurnSettingsButton));
    close_button_->setText(Text(language_, watching_ ? config::AddedText::ClosePort : config::AddedText::OpenPort));
    bps_label_->setText(Text(language_, config::AddedText::BitsPerSecond));
    check_info_frame_->setTitle(Text(language_, config::AddedText::CheckInfo));
    retries_label_->setText(Text(language_, config::AddedText::AutoRetries));
    baud_label_->setText(Text(language_, text::kBaudLabel));
    // The system's own texts that carry no mnemonic get one beside them.
    search_button_->setText(WithMnemonic(Text(language_, text::kSearch), QLatin1Char('a')));
    tools_menu_->setTitle(Text(language_, text::kToolsMenu));
    spi_image_action_->setText(Text(language_, text::kSpiImageItem));
    disk_image_action_->setText(WithMnemonic(Text(language_, text::kDiskImageItem), QLatin1Char('c')));
    settings_menu_->setTitle(Text(language_, text::kSettingsMenu));
    settings_action_->setText(WithMnemonic(Text(language_, text::kSettingsItem), QLatin1Char('c')));
    hardware_action_->setText(Text(language_, config::AddedText::Hardware));
    general_action_->setText(Text(language_, config::AddedText::GeneralItem));
    // L is the log folder's.
    language_menu_->setTitle(WithMnemonic(Text(language_, text::kLanguage), QLatin1Char('g')));
    password_menu_->setTitle(WithMnemonic(Text(language_, text::kPassword), QLatin1Char('m')));
    password_action_->setText(password_menu_->title());
    help_menu_->setTitle(Text(language_, text::kHelpMenu));
    about_action_->setText(Text(language_, text::kAboutItem));
    open_log_action_->setText(QString::fromStdString(language_.GetAddedText(config::AddedText::OpenLogFolder)));
    open_log_button_->setText(open_log_action_->text());
    counters_->Relabel();
    ShowSelectedLog();
    FillLanguageMenu();
    setWindowTitle(WindowTitle(language_, state_));
    model_->Relabel();
    ShowPortStatus();
}

bool MainWindow::SwitchLanguage(int index) {
    bool loaded = language_.LoadLanguage(index);
    if (loaded) ApplyLanguage();
    else FillLanguageMenu();  // keeps the check mark on the language still in use
    ShowLanguageProblem(prompter_, language_, this);  // a refused file, or a broken one of a built-in language
    return loaded;
}

void MainWindow::SelectConfiguredBaud() {
    int entry = 0;
    for (std::size_t i = 0; i < config::kLinkBaudRates.size(); ++i)
        if (static_cast<unsigned>(config_.uart_baud) == config::kLinkBaudRates[i]) entry = static_cast<int>(i);
    baud_list_->setCurrentIndex(entry);
    // A rate not in the list becomes the list's first one.
    config_.uart_baud = baud_list_->currentText().toInt();
}

void MainWindow::RefreshRows() {
    state_.RefreshRows(config_.device_channel);
    station_.SetPorts(WatchedPorts());
    model_->Refresh();
}

std::vector<std::string> MainWindow::WatchedPorts() const {
    return {config_.uart_com.begin(), config_.uart_com.begin() + WatchedRows()};
}

void MainWindow::SetCheckInfo() {
    check_info_->setText(QString::asprintf("Part Number = %s, CPU_CLK = %dMHz, DDR2_CLK = %dMHz",
                                           config_.chip_model.c_str(), config_.cpu_freq_param,
                                           config_.ddr_freq_param));
}

void MainWindow::RecomputeTransferTotal() { WarnAboutMissingFile(station_.RecomputeTransferTotal()); }

void MainWindow::WarnAboutMissingFile(const engine::TransferTotal& total) {
    if (!total.missing_file.empty())
        prompter_.Show(this, ProgramCaption(language_),
                       QString::fromStdString(config::FillIn(language_.GetAddedText(config::AddedText::FileNotFound),
                                                             {total.missing_file})),
                       config::MessageIcon::Warning);
}

// ---- commands ----

unsigned MainWindow::StartRun() {
    unsigned started = state_.Start();
    model_->Refresh();
    return started;
}

void MainWindow::ChooseBurnFile() {
    if (!BeginConfigChange()) return;
    // Relative names are the station folder's, and so is where the dialog opens.
    QString chosen = prompter_.ChooseFile(
        this, "BIN Files (*.bin)", QString::fromStdString(config::ResolveProgramPath(burn_file_->text().toStdString())));
    if (!chosen.isEmpty()) {
        burn_file_->setText(chosen);
        config_.path_nandboot = chosen.toStdString();
    }
    RecomputeTransferTotal();
    EndConfigChange();
}

void MainWindow::OpenSettings() {
    if (!BeginConfigChange()) return;
    BurnSettingsDialog dialog(config_, language_, link_, prompter_, this);
    // Cancel keeps the rows and their results.
    if (dialog.exec() == QDialog::Accepted) {
        RecomputeTransferTotal();
        RefreshRows();
        SetCheckInfo();
        std::string error;
        if (config_.Save(config_file_, &error) != 1)
            ShowSaveFailures(prompter_, language_, {{config::ResolveProgramPath(config_file_), error}}, this);
    }
    EndConfigChange();
}

void MainWindow::OpenHardware() {
    if (!BeginConfigChange()) return;
    HardwareDialog dialog(config_, ram_porter_, language_, prompter_, this);
    dialog.exec();
    EndConfigChange();
}

void MainWindow::OpenGeneral() {
    // The reset rewrites config_addr.txt, which every finished burn writes too.
    if (!BeginConfigChange()) return;
    GeneralPage page(station_.Records()->Store(), language_, prompter_, this);
    page.exec();
    today_panel_->Refresh();
    EndConfigChange();
}

void MainWindow::OpenPasswordDialog() {
    if (!BeginConfigChange()) return;
    ChangePasswordDialog dialog(config_, language_, prompter_, this);
    dialog.exec();
    EndConfigChange();
}

QMessageBox* MainWindow::ShowAbout() {
    auto* box = new QMessageBox(QMessageBox::Information, Text(language_, text::kAboutItem).remove('&'),
                                ProgramCaption(language_) + "\n" + AboutVersionLine(config_), QMessageBox::Ok,
                                this);
    box->button(QMessageBox::Ok)->setText(Text(language_, text::kOk));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return box;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Only a burn is worth asking about; its boards are named by count.
    const std::vector<unsigned> burning = station_.BurningChannels();
    if (!burning.empty()) {
        const QString count = QString::asprintf(language_.GetAddedText(config::AddedText::CloseWhileBurning).c_str(),
                                                static_cast<int>(burning.size()));
        if (!prompter_.Ask(this, ProgramCaption(language_), Text(language_, text::kCloseQuestion) + "\n" + count)) {
            event->ignore();
            return;
        }
        for (unsigned channel : burning) station_.NoteInterrupted(channel, "aborted by the operator");
    }
    second_timer_->stop();
    port_rescan_timer_->stop();
    if (search_thread_.joinable()) search_thread_.join();
    station_.StopWatching();
    watcher_running_ = false;
    event->accept();
}

// ---- ports ----

int MainWindow::WatchedRows() const {
    return std::clamp(config_.device_channel, 1, static_cast<int>(engine::kMaxStationChannels));
}

int MainWindow::SelectedRow() const {
    int row = list_->currentIndex().isValid() ? list_->currentIndex().row() : 0;
    return GangMode() && row < WatchedRows() ? row : 0;
}

engine::PortSearchResult MainWindow::SearchRows(const engine::PortTable& configured, engine::PortTable& table) const {
    return engine::SearchStationPorts(ports_, configured, static_cast<std::size_t>(WatchedRows()), table);
}

void MainWindow::ShowRowPort() {
    if (!GangMode()) return;
    port_list_->setCurrentIndex(port_list_->findText(QString::fromStdString(config_.uart_com[SelectedRow()])));
}

void MainWindow::StartPortThreads() {
    port_list_->clear();
    remembered_port_ = config_.uart_com[0];
    SearchInBackground(config_.uart_com, [this](bool) {
        HandleEvent(engine::RefreshListEvent());
        search_finished_ = true;
        ResumeWatcher();
        port_rescan_timer_->start(kPortRescanMs);
    });
}

void MainWindow::ShowPortList(const engine::PortSearchResult& result) {
    port_list_->clear();
    for (const std::string& port : result.found) port_list_->addItem(QString::fromStdString(port));
    if (result.selected >= 0) port_list_->setCurrentIndex(result.selected);
    unlisted_problems_ = result.problems;
    ShowPortStatus();
}

void MainWindow::WarnAboutStation() {
    std::string unwritable;
    for (const config::WriteProblem& problem :
         config::UnwritableStationFiles(config_file_, engine::kLogFolder, engine::kMainLogName))
        unwritable += (unwritable.empty() ? "" : "\n") + problem.text;
    if (!unwritable.empty())
        prompter_.Show(this, ProgramCaption(language_), QString::fromStdString(unwritable),
                       config::MessageIcon::Warning);
    std::string refused;
    for (const std::string& refusal : config::BurnRefusals(config_, config_file_))
        refused += (refused.empty() ? "" : "\n") + refusal;
    if (!refused.empty())
        prompter_.Show(this, ProgramCaption(language_),
                       QString::fromStdString(refused + "\nNo board is burned until the settings are changed."),
                       config::MessageIcon::Error);
    ShowPortStatus();
}

std::optional<std::string> MainWindow::WhyNothingIsWatched() const {
    std::vector<std::string> refusals = config::BurnRefusals(config_, config_file_);
    if (!refusals.empty()) return refusals.front();
    if (auto missing = station::MissingBurnFile(config_, config_file_))
        return QString::asprintf(language_.GetAddedText(config::AddedText::BurnFileMissing).c_str(), missing->c_str())
            .toStdString();
    return std::nullopt;
}

void MainWindow::ShowPortStatus() {
    // A configuration that cannot burn comes first: nothing is watched then.
    if (auto why = WhyNothingIsWatched()) {
        port_status_->setText(QString::fromStdString(*why));
        return;
    }
    std::string text;
    for (const auto& [port, problem] : watched_port_problems_)
        text += (text.empty() ? "" : "; ") +
                (problem.condition ? engine::PortProblemText(port, *problem.condition, &language_) : problem.text);
    if (text.empty())
        for (const engine::PortProblem& problem : unlisted_problems_)
            text += (text.empty() ? "" : "; ") + engine::PortProblemText(problem.port, problem.condition, &language_);
    port_status_->setText(QString::fromStdString(text));
}

void MainWindow::SearchInBackground(const engine::PortTable& configured, std::function<void(bool)> then) {
    if (search_thread_.joinable()) search_thread_.join();
    search_finished_ = false;
    search_thread_ = std::jthread([this, configured, then = std::move(then)] {
        engine::PortTable table;
        std::vector<std::string> seen = ports_.Candidates();
        engine::PortSearchResult result = SearchRows(configured, table);
        QMetaObject::invokeMethod(
            this,
            [this, result, table, seen, then] {
                const bool portChanged =
                    !std::equal(table.begin(), table.begin() + WatchedRows(), config_.uart_com.begin());
                seen_ports_ = seen;
                config_.uart_com = table;
                ShowPortList(result);
                then(portChanged);
            },
            Qt::QueuedConnection);
    });
}

void MainWindow::SearchAndEndConfigChange(const engine::PortTable& configured) {
    SearchInBackground(configured, [this](bool portChanged) {
        ShowRowPort();
        if (portChanged) RefreshRows();
        search_button_->setEnabled(true);
        search_finished_ = true;
        EndConfigChange();
    });
}

void MainWindow::RescanPortsIfChanged() {
    if (ports_.Candidates() == seen_ports_ || !BeginConfigChange()) return;
    SearchAndEndConfigChange(config_.uart_com);
}

void MainWindow::SearchPortsNow() {
    if (!BeginConfigChange()) return;
    search_button_->setEnabled(false);
    remembered_port_ = config_.uart_com[0];
    const engine::PortTable configured = config_.uart_com;
    for (std::string& port : config_.uart_com) {
        if (!port.empty()) link_.DetachUart(port);
        port.clear();
    }
    port_list_->clear();
    RefreshRows();
    SearchAndEndConfigChange(configured);
}

void MainWindow::ToggleWatching() {
    const std::vector<std::string> watched = WatchedPorts();
    if (!watching_) {
        for (const std::string& port : watched) {
            engine::PortInfo look = ports_.Inspect(port);
            if (!port.empty() && look.condition.state == engine::PortState::InUse && !look.held_here) {
                prompter_.Show(this, ProgramCaption(language_), Text(language_, config::AddedText::PortOccupied),
                               config::MessageIcon::Warning);
                return;
            }
        }
        watching_ = true;
        ResumeWatcher();
        close_button_->setText(Text(language_, config::AddedText::ClosePort));
        return;
    }
    watching_ = false;
    PauseWatcher();
    // Held, normally by the transfer library from the last watch round.
    for (const std::string& port : watched)
        if (!port.empty() && ports_.Inspect(port).condition.state == engine::PortState::InUse) link_.DetachUart(port);
    close_button_->setText(Text(language_, config::AddedText::OpenPort));
}

void MainWindow::OnPortChosen(int entry) {
    if (entry < 0) return;
    const int row = SelectedRow();
    if (!BeginConfigChange()) {
        port_list_->setCurrentText(QString::fromStdString(config_.uart_com[row]));
        return;
    }
    const std::string chosen = port_list_->itemText(entry).toStdString();
    // A port another row watches changes places with this row's: no two rows
    // ever watch the same port.
    auto rows = config_.uart_com.begin() + WatchedRows();
    if (auto other = std::find(config_.uart_com.begin(), rows, chosen); other != rows)
        *other = config_.uart_com[row];
    config_.uart_com[row] = chosen;
    remembered_port_ = config_.uart_com[0];
    RefreshRows();
    EndConfigChange();
}

void MainWindow::OnBaudChosen(int entry) {
    if (entry < 0) return;
    if (!BeginConfigChange()) {
        baud_list_->setCurrentText(QString::number(config_.uart_baud));
        return;
    }
    config_.uart_baud = baud_list_->itemText(entry).toInt();
    RefreshRows();
    EndConfigChange();
}

void MainWindow::PauseWatcher() {
    station_.StopWatching();
    watcher_running_ = false;
}

bool MainWindow::StationBusy() const {
    return station_.Busy();
}

bool MainWindow::BeginConfigChange() {
    // One change at a time: a dialog's event loop also runs the timers.
    if (changing_config_) return false;
    PauseWatcher();
    // With the attach thread stopped no board can arrive; one already
    // attached or burning reads the configuration until its result.
    if (StationBusy()) {
        ResumeWatcher();
        UpdateConfigActions();
        return false;
    }
    changing_config_ = true;
    return true;
}

void MainWindow::EndConfigChange() {
    changing_config_ = false;
    ResumeWatcher();
}

void MainWindow::UpdateConfigActions() {
    const bool idle = !StationBusy();
    settings_action_->setEnabled(idle);
    password_action_->setEnabled(idle);
    hardware_action_->setEnabled(idle);
    general_action_->setEnabled(idle);
}

void MainWindow::ResumeWatcher() {
    ShowPortStatus();
    if (!watching_ || !search_finished_ || watcher_running_ || changing_config_) return;
    if (WhyNothingIsWatched()) return;  // no board could pass: none is taken
    station_.SetPorts(WatchedPorts());
    station_.StartWatching();
    watcher_running_ = true;
}

}  // namespace kestrow::app
