#pragma once
// A copy of the sample station per test, with the board link, the ports and
// the operator's answers scripted, and helpers to wait on the window's queued
// events and to save screenshots under the build folder.
#include "kestrow/app/main_window.h"
#include "kestrow/app/prompter.h"
#include "kestrow/config/station_startup.h"
#include "tests/kestrow/engine/engine_fakes.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QWidget>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>

namespace kestrow::app::testing {

struct Shown {
    QString caption, text;
    config::MessageIcon icon;
};

class RecordingPrompter : public Prompter {
public:
    void Show(QWidget*, const QString& caption, const QString& text, config::MessageIcon icon) override {
        shown.push_back({caption, text, icon});
    }
    bool Ask(QWidget*, const QString&, const QString& text) override {
        asked.push_back(text);
        return answer;
    }
    QString ChooseFile(QWidget*, const QString& filter, const QString&) override {
        filters.push_back(filter);
        if (while_choosing) while_choosing();
        return next_file;
    }
    QString ChooseSaveFile(QWidget*, const QString& filter, const QString& suggested) override {
        filters.push_back(filter);
        suggested_files.push_back(suggested);
        return next_save_file;
    }
    std::vector<Shown> shown;
    std::vector<QString> asked;
    std::vector<QString> filters;
    bool answer = true;
    QString next_file;
    std::function<void()> while_choosing;  // runs while the file dialog would be open
    QString next_save_file;
    std::vector<QString> suggested_files;
};

using engine::testing::FakePorts;

class StationConfigSink : public config::MessageSink {
public:
    void ShowMessage(const std::string&, const std::string& text, config::MessageIcon) override {
        messages.push_back(text);
    }
    std::vector<std::string> messages;
};

class WindowFixture : public engine::testing::StationFolderFixture {
protected:
    WindowFixture() : language_(dir_.string()) {
        std::filesystem::path sample = std::filesystem::path(std::getenv("KESTROW_SOURCE_DIR")) / "station";
        for (const auto& entry : std::filesystem::directory_iterator(sample))
            if (entry.is_regular_file()) std::filesystem::copy_file(entry.path(), dir_ / entry.path().filename());
        startup_ = config::StartStation(config_, sink_);
        language_.SetLanguage("English");
    }

    std::unique_ptr<MainWindow> OpenWindow() {
        return std::make_unique<MainWindow>(StationParts{config_, language_, link_, ports_, prompter_, "config.txt"});
    }

    // Runs the window's event loop until `done` holds or `ms` pass.
    template <typename Done>
    static bool ProcessUntil(Done done, int ms = 3000) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return done();
    }

    // Saves `widget` as screenshots/<name>.png under the test's working folder
    // (the build folder) and prints the path.
    static void SaveScreenshot(QWidget* widget, const std::string& name) {
        std::filesystem::path folder = std::filesystem::current_path() / "screenshots";
        std::filesystem::create_directories(folder);
        std::filesystem::path file = folder / (name + ".png");
        widget->grab().save(QString::fromStdString(file.string()));
        std::cout << "screenshot: " << file.string() << "\n";
    }

    config::BurnConfig config_;
    config::LanguageTable language_;
    StationConfigSink sink_;
    config::StationStartup startup_;
    engine::testing::FakeLink link_;
    FakePorts ports_;
    RecordingPrompter prompter_;
};

}  // namespace kestrow::app::testing
