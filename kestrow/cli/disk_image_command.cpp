// kestrow disk-image: builds a FAT disk image from a folder, headless. Exit
// status 0 when the image was made, 1 when the build failed, 2 when it was
// refused before anything was written (a usage error, sizes that do not fit
// together, a source that cannot be read or does not fit, an output that is
// not a regular file), 130 when interrupted.
#include "kestrow/cli/command_registry.h"
#include "kestrow/config/burn_config.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/config/station_startup.h"
#include "kestrow/image/disk_image_maker.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

using namespace kestrow::image;

// Ctrl-C asks the build to stop, so its unfinished image is removed rather
// than left behind under its temporary name.
volatile std::sig_atomic_t g_interrupted = 0;
extern "C" void OnInterrupt(int) { g_interrupted = 1; }

constexpr int kDiskImageMade = 0;
constexpr int kDiskImageFailed = 1;
constexpr int kDiskImageRefused = 2;
constexpr int kDiskImageInterrupted = 130;
constexpr int kLastChipMode = kestrow::config::kModeSpiNorAndNand;

struct Options {
    std::string source;
    std::string output;
    std::uint32_t capacity = 0;
    std::uint32_t pageSize = 0;
    std::optional<int> chipMode;  // else the station's configured one
};

// The burn medium of the station's active configuration file, or the
// configuration's default when the station has none.
int ConfiguredChipMode() {
    kestrow::config::BurnConfig config;
    const kestrow::config::ConfigFileSet files = kestrow::config::DiscoverConfigFiles(kestrow::config::StationFolder());
    if (config.Load(files.ActiveName()) == 0) {
        std::fprintf(stderr, "No configuration file %s; using chip mode %d\n",
                     kestrow::config::ResolveProgramPath(files.ActiveName()).c_str(), config.chip_mode);
    }
    return config.chip_mode;
}

// Renders the maker's reports on the terminal: messages on stderr, a
// progress bar on stdout (redrawn in place on a terminal, else one line per step).
class TerminalView final : public DiskImageView {
public:
    void ShowStatus(const DiskImageMessage& m) override { Line(EnglishText(m)); }
    void ShowMessageBox(const DiskImageMessage& m) override { Line(EnglishText(m)); }
    void SetCreateEnabled(bool) override {}
    void BuildFinished(bool success, bool cancelled, const std::string& detail) override {
        if (success) {
            Progress(100, elapsed_);
            Line(EnglishText({DiskImageText::Success, {}}));
        } else if (!cancelled) {
            Line(EnglishText({DiskImageText::Failed, {}}) + (detail.empty() ? "" : " " + detail));
        }
    }
    void Progress(int percent, std::uint64_t seconds) {
        std::lock_guard lock(mutex_);
        elapsed_ = seconds;
        if (!tty_ && percent == lastPercent_) return;
        lastPercent_ = percent;
        constexpr int kWidth = 40;
        const std::string bar(static_cast<std::size_t>(percent * kWidth / 100), '#');
        std::printf("%s[%-40s] %4s %s%s", tty_ ? "\r" : "", bar.c_str(), FormatPercent(percent).c_str(),
                    FormatElapsed(seconds).c_str(), tty_ ? "" : "\n");
        std::fflush(stdout);
        barShown_ = tty_;
    }

private:
    void Line(const std::string& text) {
        std::lock_guard lock(mutex_);
        if (barShown_) std::printf("\n");
        barShown_ = false;
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::mutex mutex_;
    bool tty_ = isatty(STDOUT_FILENO) != 0;
    bool barShown_ = false;
    int lastPercent_ = -1;
    std::uint64_t elapsed_ = 0;
};

int Run(const Options& o) {
    namespace fs = std::filesystem;
    // FILE names the image; its ".img" is the one the maker adds.
    fs::path output(o.output);
    if (output.extension() == ".img") output.replace_extension();
    const std::string folder = output.parent_path().empty() ? "." : output.parent_path().string();
    DiskImageFields fields{o.source, folder, output.filename().string(), std::to_string(o.capacity),
                           std::to_string(o.pageSize), std::to_string(SectorSizeForPage(o.pageSize))};
    TerminalView view;
    DiskImageMaker maker(view);
    if (!maker.Create(fields, o.chipMode ? *o.chipMode : ConfiguredChipMode())) return kDiskImageRefused;
    const auto start = std::chrono::steady_clock::now();
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    while (!maker.WaitFor(std::chrono::milliseconds(200))) {
        if (g_interrupted != 0) maker.Cancel();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
        view.Progress(maker.Percent(), static_cast<std::uint64_t>(seconds.count()));
    }
    maker.Wait();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (!maker.Succeeded()) {
        if (g_interrupted == 0) return kDiskImageFailed;
        std::fprintf(stderr, "Cancelled; no image was written.\n");
        return kDiskImageInterrupted;
    }
    std::printf("%s\n", maker.ImagePath().c_str());
    return kDiskImageMade;
}

void SetupDiskImageCommand(CLI::App& app, kestrow::cli::Context& context) {
    auto options = std::make_shared<Options>();
    CLI::App* cmd = app.add_subcommand("disk-image", "Build a FAT disk image (.img) from a folder");
    cmd->add_option("--source", options->source, "Folder whose tree goes into the image")->required();
    cmd->add_option("--output", options->output, "Image file to write (\".img\" is added when missing)")->required();
    cmd->add_option("--capacity", options->capacity, "Image capacity in MiB")->required();
    cmd->add_option("--page-size", options->pageSize, "Flash page size in bytes; the sector size follows from it")
        ->required()
        ->check(CLI::IsMember({512, 1024, 2048, 4096, 8192, 16384}));
    cmd->add_option("--chip-mode", options->chipMode,
                    "Burn medium, 0 to 7; 0 and 5 (NAND) write the flash page form. Default: the station "
                    "configuration's chip mode")
        ->check(CLI::Range(0, kLastChipMode));
    cmd->callback([options, &context] {
        context.run = [options](const kestrow::cli::Context&) { return Run(*options); };
    });
}

kestrow::cli::CommandRegistrar diskImageRegistrar(SetupDiskImageCommand);

}  // namespace
