#include "kestrow/image/disk_image_maker.h"

#include "kestrow/base/file_kind.h"
#include "kestrow/image/disk_image_source.h"

#include <charconv>
#include <cstdio>
#include <filesystem>

namespace kestrow::image {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1048576;
constexpr std::uint64_t kFatFileLimit = 4ull << 30;

// A whole positive decimal number that fits 32 bits.
bool ParseCount(const std::string& text, std::uint32_t& value) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value > 0;
}

bool IsPowerOfTwo(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

std::uint32_t SectorSizeForPage(std::uint32_t pageSize) { return pageSize <= 4096 ? pageSize : 4096; }

std::string WithTrailingSeparator(const std::string& folder) {
    return !folder.empty() && folder.back() == '/' ? folder : folder + "/";
}

int ProgressPercent(std::uint64_t copied, std::uint64_t total) {
    if (total == 0) return 0;
    return static_cast<int>(std::min<std::uint64_t>(copied * 100 / total, 100));
}

std::string FormatPercent(int percent) {
    char text[8];
    std::snprintf(text, sizeof text, percent < 10 ? "%01d%%" : percent < 100 ? "%02d%%" : "%d%%", percent);
    return text;
}

std::string FormatElapsed(std::uint64_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return text;
}

bool CheckFields(const DiskImageFields& f, int chipMode, DiskImageJob& job, DiskImageMessage& problem,
                 bool& asMessageBox) {
    asMessageBox = false;
    const std::pair<const std::string*, DiskImageText> required[] = {
        {&f.source, DiskImageText::EmptySource},     {&f.target, DiskImageText::EmptyTarget},
        {&f.imageName, DiskImageText::EmptyImageName}, {&f.capacity, DiskImageText::EmptyCapacity},
        {&f.sectorSize, DiskImageText::EmptySector}, {&f.pageSize, DiskImageText::EmptyPageSize},
    };
    for (const auto& [field, message] : required) {
        if (field->empty()) {
            problem = {message, {}};
            return false;
        }
    }
    // Values typed or passed in rather than picked from the list: sizes must be
    // powers of two that the medium can use, the page holding whole sectors.
    asMessageBox = true;
    const auto refuse = [&problem](std::string cause) {
        problem = {DiskImageText::ConfigurationError, {}, std::move(cause)};
        return false;
    };
    const auto label = [](DiskImageText field) { return EnglishText({field, {}}); };
    const struct {
        const std::string& text;
        std::uint32_t& value;
        DiskImageText label;
    } numbers[] = {{f.capacity, job.capacityMiB, DiskImageText::Capacity},
                   {f.pageSize, job.pageSize, DiskImageText::PageSize},
                   {f.sectorSize, job.sectorSize, DiskImageText::SectorSize}};
    for (const auto& n : numbers) {
        if (!ParseCount(n.text, n.value))
            return refuse(label(n.label) + " \"" + n.text + "\" is not a whole number from 1 to 4294967295");
    }
    if (job.pageSize % 512 != 0 || !IsPowerOfTwo(job.pageSize))
        return refuse(label(DiskImageText::PageSize) + " " + f.pageSize + " is not a power of two of at least 512");
    if (!IsPowerOfTwo(job.sectorSize) || job.sectorSize < 512 || job.sectorSize > 4096)
        return refuse(label(DiskImageText::SectorSize) + " " + f.sectorSize + " is not 512, 1024, 2048 or 4096");
    if (job.pageSize < job.sectorSize)
        return refuse(label(DiskImageText::PageSize) + " " + f.pageSize + " is smaller than the " +
                      label(DiskImageText::SectorSize) + " " + f.sectorSize);
    if (f.imageName.find('/') != std::string::npos)
        return refuse(label(DiskImageText::ImageFilename) + " \"" + f.imageName + "\" holds a \"/\"");
    job.source = f.source;
    job.target = WithTrailingSeparator(f.target);
    job.imagePath = job.target + f.imageName + ".img";
    job.chipMode = chipMode;
    return true;
}

int MakeDiskImage(const DiskImageJob& job, DiskImageWriter& writer, DiskImageView& view) {
    view.SetCreateEnabled(false);
    std::error_code ec;
    fs::create_directories(job.target, ec);
    bool ok = !ec;
    std::string detail = ok ? "" : "cannot create the folder " + job.target + ": " + ec.message();
    if (ok) {
        ok = writer.Create(job.imagePath, std::uint64_t{job.capacityMiB} * 1024, job.sectorSize, job.pageSize,
                           job.chipMode, "A");
    }
    if (ok) {
        const fs::path source(job.source);
        if (fs::is_directory(source, ec)) ok = writer.CopyTree(source, "A:/");
        else if (fs::exists(source, ec)) ok = writer.CopyFile(source, "A:/" + source.filename().string());
        else {
            ok = false;
            detail = "the source " + job.source + " does not exist";
        }
        ok = ok && writer.Close();
    }
    if (!ok) {
        if (detail.empty()) detail = writer.LastError();
        writer.Discard();
    }
    const bool cancelled = !ok && writer.Cancelled();
    view.BuildFinished(ok, cancelled, detail);
    // Back to idle, ready for the next image; a cancelled build means the front is closing.
    if (!cancelled) view.SetCreateEnabled(true);
    return ok ? 1 : 0;
}

DiskImageMaker::~DiskImageMaker() {
    Cancel();
    Wait();
}

bool DiskImageMaker::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock lock(doneMutex_);
    return done_.wait_for(lock, timeout, [this] { return !busy_; });
}

void DiskImageMaker::Wait() {
    if (worker_.joinable()) worker_.join();
}

bool DiskImageMaker::Create(const DiskImageFields& fields, int chipMode) {
    if (busy_) return false;
    Wait();  // the previous worker has finished; collect it
    DiskImageJob job;
    DiskImageMessage problem;
    bool asMessageBox;
    if (!CheckFields(fields, chipMode, job, problem, asMessageBox)) {
        if (asMessageBox) view_.ShowMessageBox(problem);
        else view_.ShowStatus(problem);
        return false;
    }
    // The formatted volume is smaller than the capacity (boot sector, FATs,
    // folders, whole clusters), so the source is measured against it as well,
    // all before the first byte is written.
    std::string why;
    fat::LayoutFault fault = fat::LayoutFault::None;
    const auto layout = PlannedLayout(std::uint64_t{job.capacityMiB} * 1024, job.sectorSize, why, &fault);
    if (fault == fat::LayoutFault::TooLarge) {
        view_.ShowMessageBox({DiskImageText::CapacityTooLarge, {}, why});
        return false;
    }
    // Only a regular file (or a new name) is replaced: never a device node.
    if (const std::string kind = base::NonRegularKind(job.imagePath); !kind.empty()) {
        view_.ShowMessageBox({DiskImageText::Failed, {},
                              "cannot replace " + job.imagePath + ": it is " + kind + ", not a regular file"});
        return false;
    }
    view_.ShowStatus({DiskImageText::GettingFolderInfo, {}});
    // An output folder inside the source holds an older image that must not
    // go into the new one.
    ExcludedFiles output;
    output.Add(job.imagePath);
    SourceSurvey survey;
    if (!SurveySource(job.source, layout ? layout->ClusterBytes() : job.sectorSize, survey, problem, &output)) {
        view_.ShowMessageBox(problem);
        return false;
    }
    const std::uint64_t total = survey.total;
    const std::uint64_t capacityBytes = std::uint64_t{job.capacityMiB} * kMiB;
    const std::string sourceHolds = "the source's files hold " + std::to_string(total) + " bytes";
    if (total >= kFatFileLimit) {
        view_.ShowMessageBox({DiskImageText::LowCapacity, {}, sourceHolds + ", 4 GiB or more"});
        return false;
    }
    if (capacityBytes < total) {
        view_.ShowMessageBox({DiskImageText::LowCapacity, {},
                              sourceHolds + "; the capacity is " + std::to_string(job.capacityMiB) + " MiB (" +
                                  std::to_string(capacityBytes) + " bytes)"});
        return false;
    }
    if (survey.problem) {
        view_.ShowMessageBox(*survey.problem);
        return false;
    }
    const std::string outside = layout ? WhyNotInVolume(survey, *layout) : why;
    if (!outside.empty()) {
        view_.ShowMessageBox({DiskImageText::LowCapacity, {}, outside});
        return false;
    }
    total_ = total;
    succeeded_ = false;
    imagePath_ = job.imagePath;
    busy_ = true;
    writer_.ClearCancel();
    view_.SetCreateEnabled(false);
    view_.ShowStatus({DiskImageText::Making, {}});
    worker_ = std::thread([this, job] {
        succeeded_ = MakeDiskImage(job, writer_, view_) == 1;
        std::lock_guard lock(doneMutex_);
        busy_ = false;
        done_.notify_all();
    });
    return true;
}

}  // namespace kestrow::image
