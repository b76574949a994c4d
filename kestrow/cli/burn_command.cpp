// kestrow burn: the station without its window. Watches one serial port, or
// several at once (each port on its own channel), and burns every board that
// answers there, port after port re-arming for its next board by itself, with
// the same engine, configuration and logs as the window. Prints each status as
// it arrives, a live progress line on a terminal, and a summary.
//
// With --json, standard output carries one JSON record per board and nothing
// else; the status lines go to standard error.
//
// Exit status: 0 when the requested number of boards all passed, 1 when a
// burn failed, 2 for a usage or configuration error, 3 on time-out. A time-out
// ends the run at once: a board still burning then is reported as
// interrupted, and its burn is not waited for.
#include "kestrow/cli/command_registry.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/chip_tables.h"
#include "kestrow/config/chip_types.h"
#include "kestrow/config/language_table.h"
#include "kestrow/config/serial_link.h"
#include "kestrow/config/station_checks.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/station_startup.h"
#include "kestrow/engine/burn_engine.h"
#include "kestrow/engine/burn_station.h"
#include "kestrow/engine/corvel_link.h"
#include "kestrow/engine/port_search.h"
#include "kestrow/engine/progress.h"
#include "kestrow/engine/queued_window.h"
#include "kestrow/engine/station_state.h"
#include "kestrow/engine/status_codes.h"
#include "kestrow/records/record_report.h"
#include "kestrow/station/station.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrow::cli {
namespace {

using namespace kestrow::engine;
using Clock = std::chrono::steady_clock;

struct BurnOptions {
    std::vector<std::string> ports;  // in channel order
    bool all_ports = false;
    unsigned boards = 1;
    double timeoutSeconds = 0;  // 0: no limit
    unsigned retries = 0;       // automatic retries of a failed board
    bool json = false;
    std::string records;  // --records: the records store, else the station's
};

constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 3;
constexpr auto kTick = std::chrono::seconds(1);
constexpr int kBarWidth = 30;
constexpr int kPlainProgressStep = 10;  // percent between progress lines off a terminal
constexpr std::size_t kMinPortNameChars = 3;
// The longest --timeout taken: any longer cannot be told from no limit, and
// far longer ones overflow the clock.
constexpr double kMaxTimeoutSeconds = 1e9;
// After a time-out the burns still inside the engine get this long to leave
// before the program ends without them.
constexpr auto kInterruptGrace = std::chrono::seconds(1);
constexpr auto kBurnExitPoll = std::chrono::milliseconds(10);

// Start-up's message boxes become lines on stderr.
class StderrSink : public config::MessageSink {
public:
    void ShowMessage(const std::string& caption, const std::string& text, config::MessageIcon icon) override {
        if (icon == config::MessageIcon::Information) return;
        std::cerr << "kestrow burn: " << (caption.empty() ? "" : caption + ": ") << text << "\n";
    }
};

enum class Outcome { Passed, Failed, Interrupted };

const char* OutcomeWord(Outcome outcome) {
    switch (outcome) {
        case Outcome::Passed: return "passed";
        case Outcome::Failed: return "failed";
        case Outcome::Interrupted: return "interrupted";
    }
    return "";
}

struct BoardResult {
    std::string port;
    unsigned channel = 0;
    unsigned flash_id = 0;
    Outcome outcome = Outcome::Failed;
    std::string status;
    std::string cause;  // why it failed or was interrupted, "" when it passed
    double seconds = 0;
    unsigned bytes = 0;
};

// "--timeout nan", "inf" and values too large for the clock are refused with why.
std::string CheckTimeout(const std::string& text) {
    double value = 0;
    try {
        std::size_t used = 0;
        value = std::stod(text, &used);
        if (used != text.size()) return "--timeout " + text + " is not a number of seconds";
    } catch (const std::exception&) {
        return "--timeout " + text + " is not a number of seconds";
    }
    if (std::isnan(value)) return "--timeout " + text + " is not a number of seconds";
    if (value < 0) return "--timeout " + text + " is negative (0 means no limit)";
    if (!(value <= kMaxTimeoutSeconds))
        return "--timeout " + text + " is too long to schedule (at most 1000000000 seconds; 0 means no limit)";
    return "";
}

std::string Elapsed(double seconds) {
    auto s = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

std::string FlashIdText(unsigned id) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", id);
    return text;
}

// What would fail every burn for a reason of configuration, in the lines
// `kestrow config` prints: a link rate the board cannot be switched to, and a
// RAM table in use that cannot be sent as the chip tables write it.
std::vector<std::string> BurnConfigurationProblems(const config::BurnConfig& c, const config::StationStartup& s) {
    std::vector<std::string> problems;
    if (std::string rate = config::LinkRateProblem(c, s); !rate.empty()) problems.push_back(std::move(rate));
    for (std::string& table : config::ActiveRamTableProblems(c, config::kChipTablesFile, kMaxRamRegisters))
        problems.push_back(std::move(table));
    return problems;
}

class BurnRun {
public:
    BurnRun(const BurnOptions& options, config::BurnConfig& config, config::LanguageTable& language,
            CorvelLink& link)
        : options_(options),
          link_(link),
          ports_(link, config::StationFolder()),
          station_({config, language, link, window_, &ports_}),
          state_(station_.State()),
          human_(options.json ? std::cerr : std::cout),
          tty_(::isatty(options.json ? STDERR_FILENO : STDOUT_FILENO) == 1) {}

    // Said before the run: the channel and main logs cannot be written.
    void KeepsNoLogs() { logs_kept_ = false; }

    // Watches `ports`, channel i + 1 on ports[i], until the boards are done.
    int Run(const std::vector<std::string>& ports) {
        station_.SetPorts(ports);
        state_.SetAutoRetries(options_.retries);
        station_.Open(static_cast<int>(ports.size()));  // the files were checked before
        for (const std::string& problem : station_.OpenRecords(options_.records))
            std::cerr << "warning: " << problem << std::endl;
        std::string watched = ports.size() == 1 ? ports[0] : "";
        for (std::size_t i = 0; ports.size() > 1 && i < ports.size(); ++i)
            watched += (i == 0 ? "" : ", ") + ports[i] + " (channel " + std::to_string(i + 1) + ")";
        Info("watching " + watched + " for " + std::to_string(options_.boards) +
             (options_.boards == 1 ? " board" : " boards") +
             (logs_kept_ ? " (log: " + config::ResolveProgramPath(kLogFolder) + ")" : " (no logs are kept)"));
        station_.StartWatching();
        int status = Loop();
        if (status == kExitTimeout && !LetBurnsLeave()) {
            // A step still blocked (an acknowledgement that never comes) would
            // hold the run until its own time-out: the results are out, the
            // logs written line by line, so the program ends without it.
            state_.MainLog().Close();
            PrintSummary();
            std::cout << std::flush;
            std::cerr << std::flush;
            std::_Exit(kExitTimeout);
        }
        station_.Close();
        PrintSummary();
        return status;
    }

private:
    int Loop() {
        const auto started = Clock::now();
        const std::optional<Clock::time_point> deadline =
            options_.timeoutSeconds > 0
                ? std::optional(started + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(options_.timeoutSeconds)))
                : std::nullopt;
        auto nextTick = started + kTick;
        // Once the boards asked for have their results no new board is taken;
        // those still burning on other ports finish and are reported too.
        while (results_.size() < options_.boards || BoardsBurning()) {
            if (results_.size() >= options_.boards && !finishing_) {
                finishing_ = true;
                station_.StopWatching();
            }
            auto until = deadline ? std::min(nextTick, *deadline) : nextTick;
            if (auto m = window_.Pop(until)) {
                Handle(*m);
                continue;
            }
            if (deadline && Clock::now() >= *deadline) {
                EndProgressLine();
                std::cerr << "kestrow burn: timed out after " << options_.timeoutSeconds << " s with "
                          << results_.size() << " of " << options_.boards << " boards done\n";
                InterruptBurns();
                return kExitTimeout;
            }
            state_.TickTimers();
            nextTick += kTick;
            DrawProgress();
        }
        for (const BoardResult& r : results_)
            if (r.outcome != Outcome::Passed) return kExitFailed;
        return kExitPassed;
    }

    // The time is up: each board still attached or burning is recorded as
    // interrupted, in the results and in its channel log.
    void InterruptBurns() {
        char cause[96];
        std::snprintf(cause, sizeof cause, "interrupted: the --timeout of %g s ran out", options_.timeoutSeconds);
        for (unsigned channel = 1; channel < boards_.size(); ++channel) {
            if (!boards_[channel].active) continue;
            station_.NoteInterrupted(channel, cause);
            human_ << "[ch" << channel << "] " << cause << std::endl;
            Finish(channel, "interrupted", cause, Outcome::Interrupted);
        }
    }

    // Stops watching and lets go of the ports, which ends the library's part
    // of a burn; true once no burn is left inside the engine, false when one
    // still is after the grace time.
    bool LetBurnsLeave() {
        station_.StopWatching();
        for (const std::string& port : state_.Ports())
            if (!port.empty()) link_.DetachUart(port);
        const auto until = Clock::now() + kInterruptGrace;
        while (station_.Engine().RunningBurns() > 0 && Clock::now() < until)
            std::this_thread::sleep_for(kBurnExitPoll);
        return station_.Engine().RunningBurns() == 0;
    }

    bool BoardsBurning() const {
        return std::any_of(boards_.begin(), boards_.end(), [](const Board& b) { return b.active; });
    }

    void Handle(const QueuedWindow::Message& m) {
        if (m.port_report) {
            EndProgressLine();
            if (m.port_problem.empty()) Info(m.port + " opens again; watching it for boards");
            else std::cerr << "warning: " << m.port_problem << std::endl;
            return;
        }
        if (!m.event) return;
        const StationEvent& event = *m.event;
        const unsigned channel = event.channel;
        if (!state_.RowOfChannel(channel)) return;
        if (event.kind == EventKind::Progress) {
            state_.OnEvent(event);
            boards_[channel].bytes = event.value;
            DrawProgress(channel);
            return;
        }
        const StatusInfo* info = FindStatus(event.value);
        if (event.kind != EventKind::Status || !info) return;
        if (info->code == status::kReady) {
            // Boards attached while the run ends are not started.
            if (finishing_) return;
            Begin(channel);
        } else if (!boards_[channel].active && info->kind == StatusKind::Progress) {
            // Started with a board that became ready at the same time, before
            // its own Ready arrived here.
            Begin(channel);
        }
        state_.OnEvent(event);
        if (info->kind == StatusKind::Command && info->code != status::kReady) return;
        const RowRecord& row = state_.Rows().at(*state_.RowOfChannel(channel));
        EndProgressLine();
        human_ << "[ch" << channel << "] " << row.text << std::endl;
        if (info->kind == StatusKind::Failure && !row.cause.empty())
            human_ << "[ch" << channel << "]   " << row.cause << std::endl;
        if (info->kind == StatusKind::Failure && row.board_stays && !finishing_)
            Info("[ch" + std::to_string(channel) + "] the failed board is not burned again until it has been replaced");
        if (info->kind == StatusKind::Success || info->kind == StatusKind::Failure)
            Finish(channel, row.text, row.cause, info->kind == StatusKind::Success ? Outcome::Passed : Outcome::Failed);
    }

    void Begin(unsigned channel) {
        boards_[channel] = Board{Clock::now(), 0, -1, true};
        progress_channel_ = channel;
    }

    void Finish(unsigned channel, const std::string& text, const std::string& cause, Outcome outcome) {
        Board& board = boards_[channel];
        if (!board.active) return;  // a late failure of a board already counted
        board.active = false;
        BoardResult r{state_.PortOfChannel(channel), channel, station_.Engine().LastFlashId(channel), outcome, text,
                      cause, std::chrono::duration<double>(Clock::now() - board.start).count(), board.bytes};
        results_.push_back(r);
        if (options_.json) {
            nlohmann::json line = {{"port", r.port},       {"channel", r.channel},       {"flash_id", FlashIdText(r.flash_id)},
                                   {"result", OutcomeWord(outcome)}, {"status", r.status},
                                   {"duration_s", r.seconds}, {"bytes", r.bytes}};
            if (!cause.empty()) line["cause"] = cause;
            AddRecordFields(channel, line);
            std::cout << line.dump() << std::endl;
        } else {
            const char* word = outcome == Outcome::Passed ? "passed" : outcome == Outcome::Failed ? "FAILED" : "INTERRUPTED";
            char text[160];
            std::snprintf(text, sizeof text, "board %zu on channel %u: %s in %.1f s, flash ID %s, %u bytes",
                          results_.size(), channel, word, r.seconds, FlashIdText(r.flash_id).c_str(), r.bytes);
            human_ << text << std::endl;
        }
    }

    // The board's record: its addresses and the burn file's digest, under
    // the names `kestrow records --json` gives them.
    void AddRecordFields(unsigned channel, nlohmann::json& line) {
        station::BoardRecords* records = station_.Records();
        std::optional<station::ChannelRecord> last = records ? records->LastOf(channel) : std::nullopt;
        if (!last) return;
        records::BurnRecord record;
        record.id = last->id;
        record.identity = last->identity;
        record.start.burn_file = last->burn_file;
        record.start.burn_file_sha256 = last->burn_file_sha256;
        const nlohmann::ordered_json full = records::RecordJson(record);
        for (const char* key : {"mac", "serial", "bluetooth", "burn_file", "burn_file_sha256"}) line[key] = full[key];
        line["record_id"] = last->id;
    }

    void DrawProgress(unsigned channel = 0) {
        if (channel == 0) channel = progress_channel_;
        if (channel == 0 || channel >= boards_.size() || !boards_[channel].active) return;
        Board& board = boards_[channel];
        const RowRecord& row = state_.Rows().at(channel - 1);
        double seconds = std::chrono::duration<double>(Clock::now() - board.start).count();
        if (!tty_) {
            if (row.percent / kPlainProgressStep != board.last_step) {
                board.last_step = row.percent / kPlainProgressStep;
                human_ << "[ch" << channel << "] " << row.percent << "% " << Elapsed(seconds) << std::endl;
            }
            return;
        }
        // One live line: the bar of a board burning alone, every board's
        // percentage while several burn.
        std::string line;
        int burning = 0;
        for (unsigned c = 1; c < boards_.size(); ++c) {
            if (!boards_[c].active) continue;
            ++burning;
            line += "[ch" + std::to_string(c) + " " + std::to_string(state_.Rows().at(c - 1).percent) + "%] ";
        }
        if (burning == 1) {
            int filled = row.percent * kBarWidth / 100;
            line = "[ch" + std::to_string(channel) + "] [" + std::string(filled, '#') +
                   std::string(kBarWidth - filled, '-') + "] " + std::to_string(row.percent) + "% ";
        }
        human_ << "\r" << line << " " << Elapsed(seconds) << "\033[K" << std::flush;
        line_open_ = true;
    }

    void EndProgressLine() {
        if (!line_open_) return;
        human_ << "\r\033[K";
        line_open_ = false;
    }

    void Info(const std::string& text) { human_ << text << std::endl; }

    void PrintSummary() {
        EndProgressLine();
        std::size_t counts[3] = {};
        for (const BoardResult& r : results_) ++counts[static_cast<int>(r.outcome)];
        human_ << "summary: " << counts[0] << " passed, " << counts[1] << " failed";
        if (counts[2] > 0) human_ << ", " << counts[2] << " interrupted";
        human_ << "\n";
        for (std::size_t i = 0; i < results_.size(); ++i) {
            char text[96];
            std::snprintf(text, sizeof text, "  board %zu: %s, %.1f s, channel %u, ", i + 1,
                          OutcomeWord(results_[i].outcome), results_[i].seconds, results_[i].channel);
            human_ << text << results_[i].port << "\n";
        }
        human_ << std::flush;
    }

    struct Board {
        Clock::time_point start{};
        unsigned bytes = 0;
        int last_step = -1;
        bool active = false;  // ready or burning, its result not in yet
    };

    const BurnOptions& options_;
    BoardLink& link_;
    QueuedWindow window_;
    SystemPorts ports_;
    station::Station station_;
    StationState& state_;
    // With --json, standard output carries only the records; the rest goes to stderr.
    std::ostream& human_;
    bool tty_;
    bool line_open_ = false;
    bool logs_kept_ = true;
    bool finishing_ = false;  // the boards asked for are done: no new board is taken
    unsigned progress_channel_ = 0;
    std::vector<Board> boards_ = std::vector<Board>(kMaxChannels + 1);
    std::vector<BoardResult> results_;
};

// The ports to watch, in channel order, or the message why there are none.
struct PortChoice {
    std::vector<std::string> ports;
    std::string problem;
};

PortChoice ChoosePorts(const BurnOptions& options, const config::BurnConfig& config, const std::string& configFile,
                       const config::StationStartup& startup, const PortProber& prober) {
    PortChoice choice;
    if (options.all_ports) {
        for (const PortInfo& port : prober.Survey())
            if (port.condition.state == PortState::Usable) choice.ports.push_back(port.name);
        if (choice.ports.empty())
            choice.problem = "--all-ports: no usable serial port found (kestrow ports says why)";
        if (choice.ports.size() > kMaxChannels) {
            std::cerr << "warning: " << choice.ports.size() << " usable ports found; the first " << kMaxChannels
                      << " are watched\n";
            choice.ports.resize(kMaxChannels);
        }
        return choice;
    }
    if (!options.ports.empty()) {
        choice.ports = options.ports;
    } else {
        // The configuration's: "uart com", and with a device channel above 1
        // the further entries, one per row of the window.
        const auto rows = static_cast<std::size_t>(std::clamp<std::int32_t>(config.device_channel, 1, kMaxStationChannels));
        for (std::size_t i = 0; i < rows; ++i) {
            const std::string& port = config.uart_com[i];
            if (port.size() < kMinPortNameChars) continue;
            // A port that can never be serial is refused as `kestrow config` tells it.
            if (const std::string why = config::WhyNeverASerialPort(port); !why.empty()) {
                const std::string key = i == 0 ? "uart com" : "uart com " + std::to_string(i + 1);
                choice.problem = config::WrittenSetting(startup, key, port) + ": " + why;
                return choice;
            }
            choice.ports.push_back(port);
        }
        if (choice.ports.empty())
            choice.problem = "no port to watch: give --port or --all-ports, or set \"uart com\" in " + configFile;
        return choice;
    }
    std::set<std::string> seen;
    for (const std::string& port : choice.ports) {
        if (port.size() < kMinPortNameChars) choice.problem = "--port \"" + port + "\" names no port";
        else if (!seen.insert(port).second) choice.problem = "--port " + port + " is given twice";
        else if (const std::string why = config::WhyNeverASerialPort(port); !why.empty())
            choice.problem = "--port " + port + ": " + why;
        if (!choice.problem.empty()) return choice;
    }
    if (choice.ports.size() > kMaxChannels)
        choice.problem = std::to_string(choice.ports.size()) + " ports given; at most " + std::to_string(kMaxChannels) +
                         " can be watched";
    return choice;
}

int RunBurn(const BurnOptions& options) {
    StderrSink sink;
    config::BurnConfig& config = config::TheBurnConfig();
    config::LanguageTable language;
    CorvelLink link;
    BurnStationStartup startup = StartBurnStation(config, sink, link, language);
    if (!startup.CanRun()) {
        std::cerr << "kestrow burn: the station in " << config::StationFolder() << " cannot burn (see above)\n";
        return kExitUsage;
    }
    const std::string configFile = config::ResolveProgramPath(startup.config.files.ActiveName());
    if (!startup.config.config_file_read) std::cerr << "kestrow burn: " << configFile << " not found, using defaults\n";
    std::vector<std::string> refusals = config::BurnRefusals(config, configFile, &startup.config.notes);
    for (const std::string& refusal : refusals) std::cerr << "kestrow burn: " << refusal << "\n";
    if (!refusals.empty()) return kExitUsage;
    if (!startup.library_ready) {
        std::cerr << "kestrow burn: " << configFile << ": device channel " << config.device_channel
                  << " cannot start the transfer library (use 1 to 16)\n";
        return kExitUsage;
    }
    if (auto problem = station::MissingBurnFile(config, configFile)) {
        std::cerr << "kestrow burn: " << *problem << "\n";
        return kExitUsage;
    }
    const std::vector<std::string> problems = BurnConfigurationProblems(config, startup.config);
    for (const std::string& problem : problems) std::cerr << "kestrow burn: " << problem << "\n";
    if (!problems.empty()) return kExitUsage;
    SystemPorts prober(link, config::StationFolder());
    PortChoice ports = ChoosePorts(options, config, configFile, startup.config, prober);
    if (!ports.problem.empty()) {
        std::cerr << "kestrow burn: " << ports.problem << "\n";
        return kExitUsage;
    }
    // More ports than the configuration's channels: the library gets one per port.
    if (ports.ports.size() > startup.channels &&
        link.Init(static_cast<unsigned>(ports.ports.size()), &BurnEngine::BurnEntry, &BurnEngine::ProgressEntry) !=
            kLinkSuccess) {
        std::cerr << "kestrow burn: the transfer library cannot take " << ports.ports.size() << " channels\n";
        return kExitUsage;
    }
    BurnRun run(options, config, language, link);
    for (const config::WriteProblem& problem :
         config::UnwritableStationFiles(startup.config.files.ActiveName(), kLogFolder, kMainLogName)) {
        std::cerr << "warning: " << problem.text << "\n";
        if (problem.logs_lost) run.KeepsNoLogs();
    }
    return run.Run(ports.ports);
}

void SetupBurnCommand(CLI::App& app, Context& context) {
    auto options = std::make_shared<BurnOptions>();
    CLI::App* cmd = app.add_subcommand(
        "burn", "Watch serial ports and burn every board that answers there, as the station window does: "
                "each port on its own channel, each re-arming for its next board by itself. Exit status: "
                "0 all boards passed, 1 a burn failed, 2 usage or configuration error, 3 time-out.");
    auto* port = cmd->add_option("--port", options->ports,
                                 "Serial port to watch; repeat it for several ports at once, on channels 1, 2, ... "
                                 "in the order given, at most 32 (default: \"uart com\" of the configuration, and "
                                 "its further entries with a device channel above 1)");
    cmd->add_flag("--all-ports", options->all_ports,
                  "Watch every usable port the port search finds (announced virtual boards included), "
                  "at most 32, in the order \"kestrow ports\" lists them")
        ->excludes(port);
    cmd->add_option("--boards", options->boards,
                    "Boards to burn before ending, on all ports together (boards still burning then are "
                    "finished and reported too)")
        ->check(CLI::Range(1u, 1000000u))
        ->capture_default_str();
    cmd->add_option("--timeout", options->timeoutSeconds,
                    "End the run after SECONDS, boards still burning then reported as interrupted "
                    "(default 0: no limit)")
        ->check(CLI::Validator(CheckTimeout, "SECONDS"));
    cmd->add_option("--retries", options->retries,
                    "Burn a failed board again this many times before its port waits for it to be "
                    "replaced (default 0: a failed board is not burned again)")
        ->check(CLI::Range(0u, 100u))
        ->capture_default_str();
    cmd->add_flag("--json", options->json,
                  "Print one JSON line per board (port, channel, flash ID, result, status, duration, bytes, "
                  "the MAC, serial number and Bluetooth address given, the burn file and its SHA-256)");
    cmd->add_option("--records", options->records, records::kRecordsOptionHelp);
    cmd->callback([options, &context] {
        context.run = [options](const Context&) { return RunBurn(*options); };
    });
}

CommandRegistrar burnRegistrar(SetupBurnCommand);

}  // namespace
}  // namespace kestrow::cli
