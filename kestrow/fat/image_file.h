#pragma once
// An image file as sector storage for a medium. A new image is built under a
// temporary name beside its target (kestrow/base/atomic_file.h) and takes the
// target's name only in Commit, synced to disk first; an existing image can
// also be opened and changed in place (to read back or extend a volume).
#include "kestrow/base/atomic_file.h"
#include "kestrow/fat/medium.h"

#include <cstdint>
#include <memory>
#include <string>

namespace kestrow::fat {

class ImageFile {
public:
    ImageFile() = default;
    ~ImageFile() { Discard(); }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Starts the image `path` of `bytes` (unwritten parts read as zeros and
    // take no disk space); an older file at `path` stays until Commit.
    bool Create(const std::string& path, std::uint64_t bytes, std::string& error);
    // Syncs the image and gives it its name. False with `error` set; the
    // temporary is then gone and an older file at the target untouched.
    bool Commit(std::string& error);
    // Drops an unfinished image, or closes an opened one.
    void Discard();
    // Opens the existing image `path` for reading and writing in place.
    bool Open(const std::string& path, std::string& error);
    std::uint64_t Size() const { return size_; }
    // The file the image is built in, while it is.
    std::string TemporaryPath() const { return file_ ? file_->Temporary() : std::string(); }

    // Whole-sector reads and writes of `sectorSize` bytes at sector indexes of
    // the file. The image must stay open while they are used.
    SectorCallbacks Sectors(std::uint32_t sectorSize);

private:
    int Fd() const { return file_ ? file_->fd() : opened_; }

    std::unique_ptr<base::AtomicFile> file_;  // a new image being built
    int opened_ = -1;                         // an existing image opened in place
    std::uint64_t size_ = 0;
};

}  // namespace kestrow::fat
