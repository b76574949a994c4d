#include "kestrow/image/disk_image_writer.h"

#include "kestrow/image/disk_image_source.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace kestrow::image {

namespace fs = std::filesystem;

bool IsNandChipMode(int chipMode) { return chipMode == 0 || chipMode == 5; }

std::optional<fat::FatLayout> PlannedLayout(std::uint64_t capacityKiB, std::uint32_t sectorSize, std::string& why,
                                            fat::LayoutFault* fault) {
    return fat::ChooseLayout(capacityKiB * 1024 / sectorSize, sectorSize, why, fault);
}

DiskImageWriter::~DiskImageWriter() { Discard(); }

bool DiskImageWriter::Fail(std::string message) {
    error_ = std::move(message);
    return false;
}

bool DiskImageWriter::Create(const std::string& path, std::uint64_t capacityKiB, std::uint32_t sectorSize,
                             std::uint32_t pageSize, int chipMode, const std::string& driveLetter) {
    Discard();
    copied_ = 0;
    error_.clear();
    if (sectorSize == 0 || sectorSize % 512 != 0) return Fail("sector size must be a multiple of 512");
    if (driveLetter.size() != 1 || driveLetter[0] < 'A' || driveLetter[0] > 'Z') {
        return Fail("drive letter must be one of A to Z");
    }
    const std::uint64_t bytes = capacityKiB * 1024;
    excluded_ = ExcludedFiles{};
    excluded_.Add(path);  // an older image in an output folder inside the source
    if (!file_.Create(path, bytes, error_)) return false;
    excluded_.Add(file_.TemporaryPath());

    fat::MediumDescription medium;
    medium.io = file_.Sectors(sectorSize);
    medium.sectorSize = sectorSize;
    medium.sectorCount = bytes / sectorSize;
    if (IsNandChipMode(chipMode)) {
        const int sectorShift = fat::Log2Exact(sectorSize);
        const int pageShift = fat::Log2Exact(pageSize);
        if (sectorShift < 0 || pageShift < sectorShift) {
            return Fail("page size " + std::to_string(pageSize) + " does not hold whole sectors of " +
                        std::to_string(sectorSize));
        }
        medium.kind = fat::MediumDescription::Kind::NandFlash;
        medium.sectorShift = static_cast<std::uint32_t>(sectorShift);
        medium.pageShift = static_cast<std::uint32_t>(pageShift);
    }
    std::string error;
    drive_ = fat::FatDrive::Create(driveLetter[0] - 'A', fat::CreateMedium(medium, error), error);
    if (!drive_) return Fail(error);
    if (!drive_->Format() || !drive_->Mount()) return Fail(drive_->LastError());
    return true;
}

bool DiskImageWriter::MakeFolders(const std::string& destination) {
    // Every folder on the way to the file, made when missing.
    std::size_t slash = destination.find('/', destination.find(':') == 1 ? 3 : 1);
    while (slash != std::string::npos) {
        if (!drive_->MakeDirectory(destination.substr(0, slash)) && drive_->LastErrorCode() != fat::FatError::Exists) {
            return Fail(drive_->LastError());
        }
        slash = destination.find('/', slash + 1);
    }
    return true;
}

bool DiskImageWriter::CopyFile(const fs::path& source, const std::string& destination) {
    if (!drive_ || !drive_->Mounted()) return Fail("no image is open");
    return MakeFolders(destination) && CopyInto(source, destination);
}

bool DiskImageWriter::CopyInto(const fs::path& source, const std::string& destination) {
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return Fail("cannot read " + source.string() + ": " + std::strerror(errno));
    auto file = drive_->CreateFile(destination);
    if (!file) {
        ::close(fd);
        return Fail(drive_->LastError() + " (" + source.string() + ")");
    }
    if (chunk_.empty()) chunk_.resize(kCopyChunk);  // one buffer for every file of the build
    bool ok = true;
    for (;;) {
        if (cancel_) {
            ok = Fail("cancelled");
            break;
        }
        const ssize_t n = ::read(fd, chunk_.data(), chunk_.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ok = Fail("cannot read " + source.string() + ": " + std::strerror(errno));
            break;
        }
        if (n == 0) break;
        if (file->Write(chunk_.data(), static_cast<std::size_t>(n)) != static_cast<std::size_t>(n)) {
            ok = Fail(drive_->LastError() + " while writing " + destination);
            break;
        }
        copied_ += static_cast<std::uint64_t>(n);
    }
    ::close(fd);
    if (!file->Close() && ok) ok = Fail(drive_->LastError());
    return ok;
}

bool DiskImageWriter::CopyTree(const fs::path& folder, const std::string& destination) {
    if (!drive_ || !drive_->Mounted()) return Fail("no image is open");
    std::vector<SourceEntry> entries;
    std::string error;
    if (!ListSourceFolder(folder, entries, error, &excluded_)) return Fail(error);
    const std::string base = destination.empty() || destination.back() == '/' ? destination : destination + "/";
    for (const SourceEntry& e : entries) {
        const std::string target = base + e.name;
        if (e.isFolder) {
            if (!drive_->MakeDirectory(target)) return Fail(drive_->LastError() + " (" + e.path.string() + ")");
            if (!CopyTree(e.path, target)) return false;
        } else if (!CopyInto(e.path, target)) {
            return false;
        }
    }
    return true;
}

bool DiskImageWriter::Close() {
    if (!drive_) return Fail("no image is open");
    const bool unmounted = drive_->Unmount();
    const std::string unmountError = drive_->LastError();
    drive_.reset();
    if (!unmounted) return Fail(unmountError);
    // Synced before it takes its name: a finished image reported as made is on disk.
    std::string error;
    if (!file_.Commit(error)) return Fail(error);
    return true;
}

void DiskImageWriter::Discard() {
    drive_.reset();  // unmounts; its writes go to the temporary file only
    file_.Discard();
}

}  // namespace kestrow::image
