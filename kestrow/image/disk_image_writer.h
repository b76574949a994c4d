#pragma once
// Builds one disk image file: formats a FAT volume over the file (as a plain
// sector disk or as NAND flash pages) and copies files and folder trees into it.
#include "kestrow/fat/fat_drive.h"
#include "kestrow/fat/image_file.h"
#include "kestrow/image/disk_image_source.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kestrow::image {

// Burn media whose file-system partitions sit on NAND flash behind a
// translation layer; every other medium takes a plain sector image.
bool IsNandChipMode(int chipMode);

// The volume layout an image of this capacity and sector size gets, without
// writing anything; empty (with `why` and `fault`) when none fits.
std::optional<fat::FatLayout> PlannedLayout(std::uint64_t capacityKiB, std::uint32_t sectorSize, std::string& why,
                                            fat::LayoutFault* fault = nullptr);

class DiskImageWriter {
public:
    static constexpr std::size_t kCopyChunk = 65536;

    DiskImageWriter() = default;
    ~DiskImageWriter();
    DiskImageWriter(const DiskImageWriter&) = delete;
    DiskImageWriter& operator=(const DiskImageWriter&) = delete;

    // Starts the image `path`: the file is built under a temporary name beside
    // it and only takes its final name in Close(), so a failed build never
    // leaves a half-written image that looks finished. Formats and mounts the
    // volume as drive `driveLetter`.
    bool Create(const std::string& path, std::uint64_t capacityKiB, std::uint32_t sectorSize, std::uint32_t pageSize,
                int chipMode, const std::string& driveLetter);
    // Copies one file to `destination` ("A:/folder/name"), creating missing folders.
    bool CopyFile(const std::filesystem::path& source, const std::string& destination);
    // Copies the tree under `folder` into `destination` (a folder path of the
    // drive, "A:/" for the root); folders are created before their contents.
    // The image itself and an older image it replaces are left out wherever
    // they lie in the tree.
    bool CopyTree(const std::filesystem::path& folder, const std::string& destination);
    // Unmounts, syncs the image to disk and gives it its final name.
    bool Close();
    // Drops an unfinished image (nothing of it stays on disk).
    void Discard();

    // Safe from any thread: stops a copy between two chunks.
    void Cancel() { cancel_ = true; }
    void ClearCancel() { cancel_ = false; }
    bool Cancelled() const { return cancel_; }
    std::uint64_t CopiedBytes() const { return copied_; }
    const fat::FatDrive* Drive() const { return drive_.get(); }
    // What failed, for the operator.
    const std::string& LastError() const { return error_; }

private:
    bool Fail(std::string message);
    bool MakeFolders(const std::string& destination);
    // CopyFile into a folder known to exist.
    bool CopyInto(const std::filesystem::path& source, const std::string& destination);

    fat::ImageFile file_;
    std::unique_ptr<fat::FatDrive> drive_;
    ExcludedFiles excluded_;
    std::vector<std::uint8_t> chunk_;
    std::atomic<bool> cancel_{false};
    std::atomic<std::uint64_t> copied_{0};
    std::string error_;
};

}  // namespace kestrow::image
