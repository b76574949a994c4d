#pragma once
// An image file as sector storage for a medium.
#include "kestrow/fat/medium.h"

#include <cstdint>
#include <string>

namespace kestrow::fat {

class ImageFile {
public:
    ImageFile() = default;
    ~ImageFile();
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;

    // Creates or truncates `path` and sizes it to `bytes` (unwritten parts read
    // as zeros and take no disk space). False with `error` set on failure.
    bool Create(const std::string& path, std::uint64_t bytes, std::string& error);
    // Opens an existing image for reading and writing.
    bool Open(const std::string& path, std::string& error);
    bool Close(std::string& error);
    std::uint64_t Size() const { return size_; }

    // Whole-sector reads and writes of `sectorSize` bytes at sector indexes of
    // the file. The file must stay open while they are used.
    SectorCallbacks Sectors(std::uint32_t sectorSize);

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

}  // namespace kestrow::fat
