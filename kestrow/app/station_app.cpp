#include "kestrow/app/station_app.h"

#include "kestrow/app/main_window.h"
#include "kestrow/app/single_copy.h"
#include "kestrow/config/boot_cmdline.h"
#include "kestrow/config/private_profile.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/station_startup.h"
#include "kestrow/engine/burn_station.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace kestrow::app {

std::vector<SaveFailure> SaveStationAtExit(config::BurnConfig& config, config::LanguageTable& language,
                                           const std::string& configFile) {
    std::vector<SaveFailure> failures;
    std::string error;
    const std::string burnIni = config::ResolveProgramPath(config::kBurnIniFile);
    config::PrivateProfile ini = config::PrivateProfile::Load(burnIni);
    ini.Set("Lang", "Lang", language.RememberedLanguage());
    ini.Set("Open", "Open", std::string("N"));
    ini.Set("Config", "File Name", configFile);
    if (!ini.Save(burnIni, &error)) failures.push_back({burnIni, error});
    if (config.Save(configFile, &error) != 1) failures.push_back({config::ResolveProgramPath(configFile), error});
    if (config::UpdateBootCommandLine(config, &error) < 0)
        failures.push_back({config::ResolveProgramPath(config.path_nandboot), error});
    if (!language.SaveCurrentLanguageFile()) failures.push_back({"Lang/" + language.CurrentLanguageName() + ".txt", language.LastError()});
    return failures;
}

int RunStationWindow(int argc, char** argv, const std::string& station, engine::BoardLink& link) {
    QApplication app(argc, argv);
    SingleCopy copy(station);
    if (!copy.Claim()) {
        if (copy.WakeRunningCopy()) {
            std::cout << "kestrow: the station window for " << station << " is already open; brought it to the front\n";
            return 0;
        }
        std::cerr << "kestrow: another copy holds the station " << station << " and does not answer\n";
        return 1;
    }

    config::BurnConfig& config = config::TheBurnConfig();
    config::LanguageTable language;
    Prompter prompter;
    prompter.UseLanguage(&language);
    PrompterSink sink(prompter, language);
    engine::BurnStationStartup startup = engine::StartBurnStation(config, sink, link, language);
    if (!startup.CanRun()) return 1;
    ShowLanguageProblem(prompter, language);

    engine::SystemPorts ports(link, station);
    const std::string configFile = startup.config.files.ActiveName();
    int status = 0;
    {
        MainWindow window({config, language, link, ports, prompter, configFile});
        QObject::connect(&copy, &SingleCopy::activationRequested, &window, [&window] {
            window.showNormal();
            window.raise();
            window.activateWindow();
        });
        window.show();
        window.WarnAboutStation();
        window.StartPortThreads();
        status = app.exec();
        ShowSaveFailures(prompter, language, SaveStationAtExit(config, language, configFile));
        // Closed while boards burn: the library's workers are still inside the
        // burn and use the window's station state, so the process ends here
        // rather than tearing that state down under them. A burn whose result
        // is in (work number 0) may still be inside the engine too.
        if (window.State().WorkNumber() > 0 || window.Engine().RunningBurns() > 0) {
            std::fflush(nullptr);
            std::quick_exit(status);
        }
    }
    return status;
}

}  // namespace kestrow::app
