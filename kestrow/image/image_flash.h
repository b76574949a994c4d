#pragma once
// An image file as an SPI NOR flash for the partition library: page n at
// n x page size, block b at b x erase size, an erased block all 0xFF. The
// image builder lays a new image down through it; the station writes a
// board's own data partitions into its copy of a whole-flash image with it.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrow::image {

// MAC, SEQ and BTADDR records live in 256 bytes: the length word and this much text.
inline constexpr size_t kMaxDataText = 252;

// A data partition's record: 32-bit little-endian length, then the text without a terminator.
std::vector<uint8_t> DataRecord(std::string_view text);

// pwrite/pread of the whole range; the result is the byte count moved, or -1.
ssize_t WriteAt(int fd, const uint8_t* data, size_t length, uint64_t offset);
ssize_t ReadAt(int fd, uint8_t* data, size_t length, uint64_t offset);

class ImageFlash {
public:
    // `diagnostic` receives the flash's lines (the builder prints them).
    ImageFlash(int fd, uint32_t pageSize, uint32_t eraseSize, std::function<void(const std::string&)> diagnostic);

    // The partition library's flash callbacks: 0 success, -1 failure.
    int Erase(uint32_t block);
    int Write(uint32_t startPage, const uint8_t* data, uint32_t count);
    int Read(uint32_t startPage, uint8_t* data, uint32_t count);

private:
    struct PageMessages {
        const char* noFile;
        const char* systemError;  // takes the error number
        const char* shortTransfer;
    };

    // Moves `count` pages one at a time; `transfer(i, offset)` moves page i.
    int PageByPage(uint32_t startPage, uint32_t count, const PageMessages& messages,
                   const std::function<ssize_t(uint32_t, uint64_t)>& transfer);

    int fd_;
    uint32_t pageSize_;
    uint32_t eraseSize_;
    std::function<void(const std::string&)> diagnostic_;
};

}  // namespace kestrow::image
