// kestrow spi-image: builds an SPI NOR flash image from the station's
// configuration, or shows what an existing image holds. Exit status 0 when
// the image was made (or its tables agree), 1 when writing it failed (or the
// file is no image of this station, or its tables differ), 2 when the build
// was refused before anything was written: a usage error, a flash or output
// the build cannot take, or a station that cannot be read.
#include "kestrow/base/file_kind.h"
#include "kestrow/cli/command_registry.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/chip_types.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/station_startup.h"
#include "kestrow/image/spi_image.h"
#include "kestrow/image/spi_image_inspect.h"

#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace {

struct SpiImageOptions {
    std::string flash;
    std::string output;
    std::string inspect;
    std::optional<int> chipType;  // else the chip type the station derives
    bool verbose = false;
};

class TerminalSink : public kestrow::config::MessageSink {
public:
    void ShowMessage(const std::string& caption, const std::string& text, kestrow::config::MessageIcon) override {
        std::cerr << (caption.empty() ? "kestrow" : caption) << ": " << text << "\n";
    }
};

constexpr int kImageMade = 0;
constexpr int kImageFailed = 1;
constexpr int kImageRefused = 2;

class TerminalReporter : public kestrow::image::SpiImageReporter {
public:
    explicit TerminalReporter(bool verbose) : verbose_(verbose) {}
    void ShowMessage(const std::string& text, Kind kind) override {
        (kind == Kind::Done ? std::cout : std::cerr) << text << "\n";
        exitStatus_ = kind == Kind::Done ? kImageMade : kind == Kind::Refused ? kImageRefused : kImageFailed;
    }
    void Diagnostic(const std::string& text) override {
        if (verbose_) std::cout << text << std::flush;
    }
    int ExitStatus() const { return exitStatus_; }

private:
    bool verbose_;
    int exitStatus_ = kImageFailed;
};

// Only a regular file is read: reading a named pipe would wait for ever.
const CLI::Validator kRegularFile(
    [](std::string& path) -> std::string {
        if (const std::string kind = kestrow::base::NonRegularKind(path); !kind.empty())
            return path + " is " + kind + ", not a regular file";
        return {};
    },
    "FILE");

// The configuration as the station's start-up reads it, without changing any
// station file. False when start-up would stop (its message has been shown).
bool LoadStationConfig(kestrow::config::BurnConfig& config) {
    TerminalSink sink;
    const kestrow::config::StationStartup startup = kestrow::config::StartStation(config, sink);
    if (!startup.config_file_read) {
        std::cerr << "kestrow: no configuration file "
                  << kestrow::config::ResolveProgramPath(startup.files.ActiveName()) << "\n";
    }
    return startup.config_file_read && startup.CanRun();
}

int Inspect(const std::string& path) {
    kestrow::image::SpiImageLayout layout;
    std::string error;
    if (!kestrow::image::ReadSpiImageLayout(path, layout, error)) {
        std::cerr << "kestrow spi-image: " << path << ": " << error << "\n";
        return kImageFailed;
    }
    std::cout << kestrow::image::FormatSpiImageLayout(layout);
    return layout.tablesAgree ? kImageMade : kImageFailed;
}

// The chip types the image builder writes a boot header for.
constexpr kestrow::config::ChipTypeRun kSpiImageChipTypes = kestrow::config::ChipTypesWhere(
    [](const kestrow::config::ChipTypeInfo& row) { return row.spiImageHeader != kestrow::config::SpiImageHeader::None; });

void SetupSpiImageCommand(CLI::App& app, kestrow::cli::Context& context) {
    auto options = std::make_shared<SpiImageOptions>();
    CLI::App* cmd = app.add_subcommand(
        "spi-image",
        "Build an SPI NOR flash image (boot loader, partition tables, MAC/SEQ/ENV/BTADDR data) for a flash "
        "programmer, or inspect one");
    CLI::Option* flash = cmd->add_option("--flash", options->flash, "Part number of the SPI NOR record to build for");
    CLI::Option* output = cmd->add_option("--output", options->output, "Image file to write");
    CLI::Option* inspect = cmd->add_option("--inspect", options->inspect,
                                           "Show the boot area, partition table and backup table of an image")
                               ->check(CLI::ExistingFile)
                               ->check(kRegularFile);
    CLI::Option* chipType =
        cmd->add_option("--chip-type", options->chipType,
                        "Chip type whose boot header layout the image gets, as the image dialog's buttons choose "
                        "it: 2, 3, 5 and 6 (and 1) one layout, 4 the other; default: the station's chip type")
            ->check(CLI::Range(kSpiImageChipTypes.first, kSpiImageChipTypes.last));
    cmd->add_flag("--verbose", options->verbose, "Also print the flash and partition diagnostics");
    inspect->excludes(flash)->excludes(output)->excludes(chipType);
    flash->needs(output);
    output->needs(flash);
    cmd->callback([options, &context] {
        if (options->inspect.empty() && options->flash.empty()) {
            throw CLI::ValidationError("spi-image", "give --flash NAME --output FILE, or --inspect FILE");
        }
        context.run = [options](const kestrow::cli::Context&) -> int {
            if (!options->inspect.empty()) return Inspect(options->inspect);
            kestrow::config::BurnConfig& config = kestrow::config::TheBurnConfig();
            if (!LoadStationConfig(config)) return kImageRefused;
            if (options->chipType) config.chip_type = *options->chipType;
            TerminalReporter reporter(options->verbose);
            kestrow::image::MakeSpiImage(config, options->flash, options->output, reporter);
            return reporter.ExitStatus();
        };
    });
}

kestrow::cli::CommandRegistrar spiImageRegistrar(SetupSpiImageCommand);

}  // namespace
