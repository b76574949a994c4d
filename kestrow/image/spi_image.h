#pragma once
// The SPI NOR image builder: one file that is a byte-for-byte image of a whole
// SPI NOR flash as a burn would leave it (boot loader with its patched header
// and flash record, partition table and backup, empty partitions of the
// configured list, and the MAC, SEQ, ENV and BTADDR data partitions), for an
// external flash programmer. Qt-free; the dialog and `kestrow spi-image` call it.
#include "kestrow/config/burn_config.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrow::image {

// Where the builder's messages go: the dialog shows message boxes and drops the
// diagnostics, the command line prints both, tests record them.
class SpiImageReporter {
public:
    // Refused: the build was given something it cannot build from (the flash,
    // the output path, the boot loader, the lists) and wrote nothing.
    // Failed: writing the image failed.
    enum class Kind { Done, Refused, Failed };
    virtual ~SpiImageReporter() = default;
    // One message box: the final outcome of a build.
    virtual void ShowMessage(const std::string& text, Kind kind) = 0;
    // A line of the emulated flash or of the partition library.
    virtual void Diagnostic(const std::string& text) = 0;
};

inline constexpr const char* kSpiImageDoneText = "完成SPI镜像制作";
// Appended to every failure while writing: the image was built beside the target
// under a temporary name, which is removed when the build fails.
inline constexpr const char* kSpiImageRemovedText = "The unfinished image was removed; no image file was written.";
// Appended to every refusal: nothing was begun.
inline constexpr const char* kSpiImageRefusedText = "No image file was written.";

// The environment text written into "ENV" (587 bytes).
extern const std::string_view kDefaultEnvironment;

// Builds the image of the SPI NOR record named `flashName` into `outputPath`.
// The image is written into a temporary file beside `outputPath` and renamed
// over it only when complete. True on success; one message box either way.
bool MakeSpiImage(const config::BurnConfig& config, const std::string& flashName, const std::string& outputPath,
                  SpiImageReporter& reporter);

// Erase blocks of the boot area for a boot loader of `bootSize` bytes: the
// loader plus a tenth of its size, rounded up to whole blocks; 0 for an empty one.
uint32_t BootAreaBlocks(uint64_t bootSize, uint32_t pageSize, uint32_t pagesPerBlock);

// Rewrites the first 512 bytes of `boot` for the configured chip type (the
// header layouts differ by chip family) and copies `flashRecord` behind the
// first "SPIP" marker of its first 600 bytes. False with a reason in `error`
// when the loader is shorter than its header or the RAM list does not fit it.
bool PatchBootLoader(std::vector<uint8_t>& boot, const config::BurnConfig& config,
                     const config::SpiNorInfo& flashRecord, std::string& error);

}  // namespace kestrow::image
