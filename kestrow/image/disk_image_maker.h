#pragma once
// The disk image maker behind the "Image Create Box" dialog and the
// `kestrow disk-image` command: checks the fields, measures the source,
// and builds the image on a worker thread. Fronts only render what it reports.
#include "kestrow/image/disk_image_texts.h"
#include "kestrow/image/disk_image_writer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdint>
#include <string>
#include <thread>

namespace kestrow::image {

// What the front shows. Calls may come from the worker thread.
class DiskImageView {
public:
    virtual ~DiskImageView() = default;
    virtual void ShowStatus(const DiskImageMessage& message) = 0;
    virtual void ShowMessageBox(const DiskImageMessage& message) = 0;
    virtual void SetCreateEnabled(bool enabled) = 0;
    // The build ended: success (100%, the success status) or failure with
    // `detail` saying what went wrong; a cancelled build ends without a status.
    virtual void BuildFinished(bool success, bool cancelled, const std::string& detail) = 0;
};

// The dialog's fields as typed.
struct DiskImageFields {
    std::string source;
    std::string target;
    std::string imageName;
    std::string capacity;  // MiB
    std::string pageSize;  // bytes
    std::string sectorSize;
};

// One checked build request.
struct DiskImageJob {
    std::string source;
    std::string target;     // with its trailing separator
    std::string imagePath;  // target + name + ".img"
    std::uint32_t capacityMiB = 0;
    std::uint32_t pageSize = 0;
    std::uint32_t sectorSize = 0;
    int chipMode = 1;
};

inline constexpr const char* kPageSizeChoices[] = {"512", "1024", "2048", "4096", "8192", "16384"};

// The sector size that goes with a page size: the page size up to 4096, else 4096.
std::uint32_t SectorSizeForPage(std::uint32_t pageSize);
std::string WithTrailingSeparator(const std::string& folder);
// copied × 100 / total; 0 while nothing is known.
int ProgressPercent(std::uint64_t copied, std::uint64_t total);
std::string FormatPercent(int percent);                 // "7%", "42%", "100%"
std::string FormatElapsed(std::uint64_t seconds);       // "01:02:03"

// Field checks in the order the operator sees them: the first empty field,
// then sizes that do not fit together. False with `problem` set;
// `asMessageBox` tells whether it is shown as a box rather than the status text.
bool CheckFields(const DiskImageFields& fields, int chipMode, DiskImageJob& job, DiskImageMessage& problem,
                 bool& asMessageBox);

// The worker's body: builds the image of `job` with `writer`, reporting to
// `view`. Returns 1 when the image was made, else 0.
int MakeDiskImage(const DiskImageJob& job, DiskImageWriter& writer, DiskImageView& view);

class DiskImageMaker {
public:
    explicit DiskImageMaker(DiskImageView& view) : view_(view) {}
    ~DiskImageMaker();  // cancels a running build and waits for it
    DiskImageMaker(const DiskImageMaker&) = delete;
    DiskImageMaker& operator=(const DiskImageMaker&) = delete;

    // The Create command: checks the fields, measures the source and starts
    // the worker. False when a check stopped it (the view has the message) or
    // a build is already running.
    bool Create(const DiskImageFields& fields, int chipMode);

    bool Busy() const { return busy_; }
    void Cancel() { writer_.Cancel(); }
    void Wait();
    // Waits up to `timeout` for the running build to end; true when none runs.
    bool WaitFor(std::chrono::milliseconds timeout);
    std::uint64_t CopiedBytes() const { return writer_.CopiedBytes(); }
    std::uint64_t TotalBytes() const { return total_; }
    int Percent() const { return ProgressPercent(CopiedBytes(), TotalBytes()); }
    bool Succeeded() const { return succeeded_; }
    const std::string& ImagePath() const { return imagePath_; }

private:
    DiskImageView& view_;
    DiskImageWriter writer_;
    std::thread worker_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> succeeded_{false};
    std::atomic<std::uint64_t> total_{0};
    std::mutex doneMutex_;
    std::condition_variable done_;
    std::string imagePath_;
};

}  // namespace kestrow::image
