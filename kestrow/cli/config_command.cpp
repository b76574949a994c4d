// kestrow config: loads the station as start-up does and prints the effective
// configuration, with a warning for every problem. Exit status 0 when the
// station can burn as configured, 2 otherwise. It also does what the window's
// Hardware dialog does: RAM configuration import and export, and writing the
// boot loader's command-line block.
#include "kestrow/cli/command_registry.h"
#include "kestrow/config/boot_cmdline.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/chip_tables.h"
#include "kestrow/config/file_io.h"
#include "kestrow/config/language_table.h"
#include "kestrow/config/number_text.h"
#include "kestrow/config/private_profile.h"
#include "kestrow/config/ram_config.h"
#include "kestrow/config/station_checks.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/station_startup.h"
#include "kestrow/config/text_util.h"
#include "kestrow/engine/burn_engine.h"
#include "kestrow/engine/channel_log.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace kestrow::cli {
namespace {

using namespace kestrow::config;

// Collects the messages that start-up shows in message boxes.
class WarningCollector : public MessageSink {
public:
    void ShowMessage(const std::string& caption, const std::string& text, MessageIcon icon) override {
        if (icon != MessageIcon::Information) warnings.push_back(caption.empty() ? text : caption + ": " + text);
    }
    std::vector<std::string> warnings;
};

std::string Printf(const char* format, auto... args) {
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

void Line(const std::string& label, const std::string& value) {
    std::cout << Printf("%-16s %s\n", (label + ":").c_str(), value.c_str());
}

void FileLine(const std::string& label, const std::string& name, const std::string& unusedWhy) {
    std::string path = ResolveProgramPath(name);
    std::optional<std::uint64_t> size = RegularFileSize(path);
    std::string state = size ? Printf("ok, %llu bytes", static_cast<unsigned long long>(*size)) : "missing";
    if (!unusedWhy.empty()) state += " (not used: " + unusedWhy + ")";
    std::cout << Printf("  %-15s %s  [%s]\n", label.c_str(), path.c_str(), state.c_str());
}

// The language start-up would load: burn.ini's choice when Lang/ or the
// built-in tables have it, else English; and why the choice was refused.
struct LanguageChoice {
    std::string shown;
    std::string refusal;
};
LanguageChoice StationLanguage() {
    const std::string wanted = ReadProfileString(ResolveProgramPath(kBurnIniFile), "Lang", "Lang");
    LanguageTable texts;
    texts.SetLanguage(wanted);
    LanguageChoice choice{texts.CurrentLanguageName(), ""};
    if (!wanted.empty() && wanted != choice.shown) choice.shown += " (\"" + wanted + "\" is not available)";
    if (!texts.LastError().empty())
        choice.refusal = std::string(kBurnIniFile) + " [Lang] Lang = " + wanted + ": " + texts.LastError();
    return choice;
}

std::string BootModeText(std::int32_t mode) {
    switch (mode) {
        case 0: return "In non-security boot mode, burn firmware of non-security boot mode.";
        case 1: return "In non-security boot mode, burn firmware of security boot mode.";
        case 2: return "In security boot mode, burn firmware of security boot mode.";
        default: return "unknown";
    }
}

// The boot loader's command-line block as it stands.
std::string CommandLineText(const BurnConfig& c) {
    std::optional<BootCommandLine> block = ReadBootCommandLine(ResolveProgramPath(c.path_nandboot));
    if (!block) return "none (the boot loader has no command-line block)";
    return Printf("0x%08x \"", block->addr) + std::string(block->data.data(), strnlen(block->data.data(), 128)) + "\"";
}

void PrintConfiguration(const BurnConfig& c, const StationStartup& s) {
    Line("Station folder", StationFolder());
    Line("Chosen as", StationFolderReason());
    std::string files;
    for (const std::string& name : s.files.names) files += (files.empty() ? "" : ", ") + name;
    Line("Configuration", s.files.ActiveName() + (s.config_file_read ? "" : " (missing: defaults used)") +
                              "  [found: " + files + "]");
    if (!s.tables_loaded) return;

    Line("Project", c.project_name + (c.platform_type == 1 ? " (LINUX)" : " (RTOS)"));
    static constexpr const char* kSizeNames[] = {"16 MB", "32 MB", "64 MB", "128 MB"};
    Line("Part number", c.chip_model + " (" + kSizeNames[RamSizeClassOf(c.chip_model)] + " RAM tables)");
    Line("Chip type", s.chip_type_derived
                          ? Printf("%d %s", c.chip_type, std::string(ChipTypeName(c.chip_type)).c_str())
                          : "none: no rule gives a chip type for " + c.project_name + " and " + c.chip_model);
    if (c.ddr_freqs.empty())
        Line("Clock pair", "none");
    else
        Line("Clock pair", Printf("CPU %d MHz, DDR %d MHz (pair %d of %zu, %zu RAM registers)", c.cpu_freq_param,
                                  c.ddr_freq_param, c.clock_index + 1, c.ddr_freqs.size(),
                                  c.active_ram_tables.empty()
                                      ? std::size_t{0}
                                      : c.active_ram_tables[static_cast<std::size_t>(c.clock_index)].size()));
    std::string medium(ChipModeLabel(c.chip_mode));
    Line("Medium", Printf("%d %s", c.chip_mode, medium.empty() ? "unknown" : medium.c_str()));
    Line("Boot mode", Printf("%d ", c.boot_mode_flag) + BootModeText(c.boot_mode_flag));
    Line("After burn", c.burned_mode == 1 ? "none" : c.burned_mode == 2 ? "reset" : "power off");
    Line("Channels", Printf("%d, first port %s, %d baud after the producer", c.device_channel, c.uart_com[0].c_str(),
                            c.uart_baud));
    Line("Producer run", Printf("0x%08x", c.producer_run_addr));

    std::cout << "Files:\n";
    for (const StationFile& f : StationFiles(c)) FileLine(f.label, f.name, f.required ? "" : f.unused_why);

    Line("Flash lists", Printf("%zu SPI NOR, %zu SPI NAND", c.spinor_list.size(), c.spinand_list.size()));
    std::uint64_t totalKib = std::accumulate(c.partitions.begin(), c.partitions.end(), std::uint64_t{0},
                                             [](std::uint64_t sum, const PartitionEntry& p) { return sum + p.size_kib; });
    Line("Partitions", Printf("%zu, %llu KiB; %zu BIN download(s), %zu file-system image(s)", c.partitions.size(),
                              static_cast<unsigned long long>(totalKib), c.bin_downloads.size(), c.fs_images.size()));
    for (const BinDownload& b : c.bin_downloads) FileLine("BIN " + b.partition, b.path, "image builder only");
    for (const FsImage& f : c.fs_images) FileLine("FS " + f.partition, f.path, "image builder only");

    Line("MAC pool", c.mac_current_high + ":" + c.mac_current_low + " next (range " + c.mac_start_high + ":" +
                         c.mac_start_low + " .. " + c.mac_end_high + ":" + c.mac_end_low + ")");
    Line("Bluetooth", c.blue_log_missing ? "no address log yet" : "last address " + c.blue_current);
    Line("Command line", CommandLineText(c));
    Line("Language", StationLanguage().shown);
}

// What the Hardware dialog does, asked for on the command line.
struct HardwareActions {
    std::string importRam;
    std::string exportRam;
    std::string ramWord;  // hex; else the imported file's word
    std::string cmdlineAddr;
    std::string cmdlineData;
    bool Any() const { return !importRam.empty() || !exportRam.empty() || !cmdlineAddr.empty(); }
};

// Where the RAM configuration and command-line actions report.
class TerminalSink : public MessageSink {
public:
    void ShowMessage(const std::string&, const std::string& text, MessageIcon) override {
        std::cerr << "kestrow config: " << text << "\n";
    }
};

std::string WordText(std::uint32_t word) {
    const RamConfigWord w = RamConfigWord::Decode(word);
    static constexpr const char* kTypes[] = {"MCP", "SDRAM", "DDR16", "DDR2_32", "DDR2_16", "DDR32", "m_DDR_16", "m_DDR_32"};
    return Printf("0x%08x (RAM type %s, bank %d, column %d, row %d)", word, kTypes[w.ram_type], w.bank, w.column, w.row);
}

// True when every action asked for was done.
bool RunHardwareActions(BurnConfig& config, const HardwareActions& a) {
    TerminalSink sink;
    RamConfigPorter porter;
    if (!a.importRam.empty()) {
        if (porter.Import(a.importRam, sink) != 1) return false;
        std::optional<std::uint32_t> word = porter.ImportedWord(config.chip_type);
        Line("RAM import", a.importRam + Printf(", %zu register pairs", porter.imported()->size()) +
                               (word ? ", configuration word " + WordText(*word) : ""));
    }
    if (!a.exportRam.empty()) {
        const std::uint32_t word = !a.ramWord.empty() ? ReadHex(a.ramWord)
                                                      : porter.ImportedWord(config.chip_type).value_or(0);
        if (porter.Export(a.exportRam, word, config, sink) != 1) return false;
        Line("RAM export", a.exportRam + ", configuration word " + WordText(word));
    }
    if (!a.cmdlineAddr.empty()) {
        config.cmdline_enable = 1;
        config.cmdline_addr = ReadHex(a.cmdlineAddr);
        const std::string data = CutToBytes(a.cmdlineData, config.cmdline_data.size() - 1);
        config.cmdline_data = {};
        std::memcpy(config.cmdline_data.data(), data.data(), data.size());
        const std::string boot = ResolveProgramPath(config.path_nandboot);
        if (!ReadBootCommandLine(boot)) {
            sink.ShowMessage("", boot + " has no command-line block (\"CMDL\" at offset 72)", MessageIcon::Error);
            return false;
        }
        std::string error;
        const int written = UpdateBootCommandLine(config, &error);
        if (written < 0) {
            sink.ShowMessage("", error, MessageIcon::Error);
            return false;
        }
        Line("Command line", (written == 1 ? "written to " : "already in ") + boot + ": " + CommandLineText(config));
    }
    return true;
}

void SetupConfigCommand(CLI::App& app, Context& context) {
    CLI::App* command = app.add_subcommand(
        "config", "Load the station as start-up does and print the effective configuration; "
                  "exit status 0 when it can burn as configured, 2 otherwise");
    auto actions = std::make_shared<HardwareActions>();
    command->add_option("--import-ram", actions->importRam,
                        "Read a RAM configuration file as the Hardware dialog's Import does and print it");
    CLI::Option* exportRam = command->add_option(
        "--export-ram", actions->exportRam,
        "Write a RAM configuration file: the imported pairs, else ramconfig/'s file, else the station's RAM table");
    command->add_option("--ram-word", actions->ramWord,
                        "Configuration word (hex) merged into the export; default: the imported file's")
        ->needs(exportRam);
    CLI::Option* addr = command->add_option("--cmdline-addr", actions->cmdlineAddr,
                                            "Write the boot loader's command-line block now: its address (hex)");
    CLI::Option* data = command->add_option("--cmdline-data", actions->cmdlineData, "... and its text (127 bytes)");
    addr->needs(data);
    data->needs(addr);
    command->callback([&context, actions] {
        context.run = [actions](const Context&) -> int {
            WarningCollector shown;
            BurnConfig config;
            StationStartup startup = StartStation(config, shown);
            PrintConfiguration(config, startup);
            std::vector<std::string> warnings = shown.warnings;
            for (const std::string& problem : StationProblems(config, startup)) warnings.push_back(problem);
            if (startup.CanRun())
                for (const std::string& problem :
                     ActiveRamTableProblems(config, kChipTablesFile, engine::kMaxRamRegisters))
                    warnings.push_back(problem);
            for (const std::string& refusal : BurnRefusals(config, startup.files.ActiveName(), &startup.notes))
                warnings.push_back(refusal);
            if (const LanguageChoice language = StationLanguage(); !language.refusal.empty())
                warnings.push_back(language.refusal);
            for (const WriteProblem& problem :
                 UnwritableStationFiles(startup.files.ActiveName(), engine::kLogFolder, engine::kMainLogName))
                warnings.push_back(problem.text);
            for (const std::string& w : warnings) std::cerr << "warning: " << w << "\n";
            if (!startup.CanRun()) std::cerr << "kestrow config: start-up stops with this station\n";
            if (startup.CanRun() && actions->Any() && !RunHardwareActions(config, *actions)) return 2;
            return startup.CanRun() && warnings.empty() ? 0 : 2;
        };
    });
}

CommandRegistrar configRegistrar(SetupConfigCommand);

}  // namespace
}  // namespace kestrow::cli
