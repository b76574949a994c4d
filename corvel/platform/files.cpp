#include "corvel/platform/files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace corvel::platform {

const char* FileErrorText(FileError error) {
    switch (error) {
        case FileError::None: return "can be read";
        case FileError::CannotOpen: return "cannot be opened";
        case FileError::NotAFile: return "is not a regular file";
        case FileError::Unreadable: return "cannot be read";
        case FileError::TooLarge: return "is too large";
        case FileError::NoMemory: return "does not fit in memory";
    }
    return "cannot be read";
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

FileError InputFile::Open(const std::string& path) {
    if (fd_ >= 0) ::close(fd_);
    // Without blocking: a pipe or a device must not stall the open; both are refused below.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return FileError::CannotOpen;
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return FileError::NotAFile;
    uint8_t first;
    if (::pread(fd_, &first, 1, 0) < 0) return FileError::Unreadable;
    size_ = static_cast<uint64_t>(st.st_size);
    return FileError::None;
}

bool InputFile::Read(uint8_t* buffer, size_t size) {
    while (size > 0) {
        long n = ReadSome(buffer, size);
        if (n <= 0) return false;
        buffer += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

long InputFile::ReadSome(uint8_t* buffer, size_t capacity) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t n = ::read(fd_, buffer, capacity);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, uint64_t maxSize, FileError& error) {
    InputFile file;
    error = file.Open(path);
    if (error != FileError::None) return std::nullopt;
    std::vector<uint8_t> bytes;
    size_t have = 0;
    for (;;) {
        if (have == bytes.size()) {
            // One byte beyond the size shows the end; one beyond the limit shows a file too big.
            if (have > maxSize) {
                error = FileError::TooLarge;
                return std::nullopt;
            }
            uint64_t next = bytes.empty() ? std::max<uint64_t>(file.Size(), 4095) + 1 : uint64_t{bytes.size()} * 2;
            if (!TryResize(bytes, static_cast<size_t>(std::min(next, maxSize + 1)))) {
                error = FileError::NoMemory;
                return std::nullopt;
            }
        }
        long n = file.ReadSome(bytes.data() + have, bytes.size() - have);
        if (n < 0) {
            error = FileError::Unreadable;
            return std::nullopt;
        }
        if (n == 0) break;
        have += static_cast<size_t>(n);
    }
    bytes.resize(have);
    return bytes;
}

bool TryResize(std::vector<uint8_t>& bytes, size_t size) noexcept {
    try {
        bytes.resize(size);
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
}

}  // namespace corvel::platform
