#include "kestrow/image/image_flash.h"

#include "kestrow/base/little_endian.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace kestrow::image {

std::vector<uint8_t> DataRecord(std::string_view text) {
    std::vector<uint8_t> record(4 + text.size());
    Put32(record.data(), uint32_t(text.size()));
    std::copy(text.begin(), text.end(), record.begin() + 4);
    return record;
}

ssize_t WriteAt(int fd, const uint8_t* data, size_t length, uint64_t offset) {
    ssize_t n;
    do n = ::pwrite(fd, data, length, off_t(offset));
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t ReadAt(int fd, uint8_t* data, size_t length, uint64_t offset) {
    ssize_t n;
    do n = ::pread(fd, data, length, off_t(offset));
    while (n < 0 && errno == EINTR);
    return n;
}

ImageFlash::ImageFlash(int fd, uint32_t pageSize, uint32_t eraseSize,
                       std::function<void(const std::string&)> diagnostic)
    : fd_(fd), pageSize_(pageSize), eraseSize_(eraseSize), diagnostic_(std::move(diagnostic)) {}

int ImageFlash::Erase(uint32_t block) {
    const std::vector<uint8_t> erased(eraseSize_, 0xFF);
    const ssize_t n = WriteAt(fd_, erased.data(), erased.size(), uint64_t(block) * eraseSize_);
    char line[64];
    if (n < 0) {
        std::snprintf(line, sizeof line, "erase err:%d\r\n", errno);
        diagnostic_(line);
    }
    if (n >= 0 && size_t(n) != erased.size()) diagnostic_("spi_flash_erase: WriteFile faild  !\r\n");
    if (n < 0 || size_t(n) != erased.size()) {
        diagnostic_("fw:erase fail\n");
        return -1;
    }
    std::snprintf(line, sizeof line, "+fw:erase :%u \r\n", block);
    diagnostic_(line);
    return 0;
}

int ImageFlash::Write(uint32_t startPage, const uint8_t* data, uint32_t count) {
    static constexpr PageMessages kMessages{"spi_flash_write : filehandle==INVALID_HANDLE_VALUE\r\n",
                                            "spi_flash_write : WriteFile NFC_FIFO_SIZE faild,err:%d\r\n",
                                            "spi_flash_write : dwReadSize!=NFC_FIFO_SIZE\r\n"};
    return PageByPage(startPage, count, kMessages, [&](uint32_t i, uint64_t offset) {
        return WriteAt(fd_, data + size_t(i) * pageSize_, pageSize_, offset);
    });
}

int ImageFlash::Read(uint32_t startPage, uint8_t* data, uint32_t count) {
    static constexpr PageMessages kMessages{"nand_readsector_large : filehandle==INVALID_HANDLE_VALUE\r\n",
                                            "nand_readsector_large : WriteFile NFC_FIFO_SIZE faild,err:%d\r\n",
                                            "nand_readsector_large : dwReadSize!=NFC_FIFO_SIZE\r\n"};
    return PageByPage(startPage, count, kMessages, [&](uint32_t i, uint64_t offset) {
        return ReadAt(fd_, data + size_t(i) * pageSize_, pageSize_, offset);
    });
}

int ImageFlash::PageByPage(uint32_t startPage, uint32_t count, const PageMessages& messages,
                           const std::function<ssize_t(uint32_t, uint64_t)>& transfer) {
    if (fd_ < 0) {
        diagnostic_(messages.noFile);
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const ssize_t n = transfer(i, uint64_t(startPage + i) * pageSize_);
        if (n < 0) {
            char text[128];
            std::snprintf(text, sizeof text, messages.systemError, errno);
            diagnostic_(text);
            return -1;
        }
        if (size_t(n) != pageSize_) {
            diagnostic_(messages.shortTransfer);
            return -1;
        }
    }
    return 0;
}

}  // namespace kestrow::image
