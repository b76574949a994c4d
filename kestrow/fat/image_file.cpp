#include "kestrow/fat/image_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrow::fat {

namespace {

std::string Reason(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// pread/pwrite may move fewer bytes than asked; loop until done or failed.
template <typename Io, typename Buffer>
bool Transfer(Io io, int fd, Buffer data, std::uint64_t size, std::uint64_t offset) {
    while (size > 0) {
        const ssize_t n = io(fd, data, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::uint64_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

}  // namespace

ImageFile::~ImageFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool ImageFile::Create(const std::string& path, std::uint64_t bytes, std::string& error) {
    std::string ignored;
    Close(ignored);
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = Reason("cannot create", path);
        return false;
    }
    if (::ftruncate(fd_, static_cast<off_t>(bytes)) != 0) {
        error = Reason("cannot size", path);
        Close(ignored);
        return false;
    }
    size_ = bytes;
    return true;
}

bool ImageFile::Open(const std::string& path, std::string& error) {
    std::string ignored;
    Close(ignored);
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st{};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        error = Reason("cannot open", path);
        Close(ignored);
        return false;
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    return true;
}

bool ImageFile::Close(std::string& error) {
    if (fd_ < 0) return true;
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) {
        error = std::string("closing the image failed: ") + std::strerror(errno);
        return false;
    }
    return true;
}

SectorCallbacks ImageFile::Sectors(std::uint32_t sectorSize) {
    const std::uint64_t bytes = sectorSize;
    return SectorCallbacks{
        [this, bytes](std::uint64_t first, std::uint32_t count, std::uint8_t* out) {
            return Transfer(::pread, fd_, out, count * bytes, first * bytes);
        },
        [this, bytes](std::uint64_t first, std::uint32_t count, const std::uint8_t* in) {
            return Transfer(::pwrite, fd_, in, count * bytes, first * bytes);
        },
    };
}

}  // namespace kestrow::fat
