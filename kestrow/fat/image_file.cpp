#include "kestrow/fat/image_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrow::fat {

namespace {

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

bool ImageFile::Create(const std::string& path, std::uint64_t bytes, std::string& error) {
    Discard();
    file_ = std::make_unique<base::AtomicFile>(path);
    if (!file_->Open(error)) {
        file_.reset();
        return false;
    }
    if (::ftruncate(file_->fd(), static_cast<off_t>(bytes)) != 0) {
        error = "cannot size " + path + ": " + std::strerror(errno);
        Discard();
        return false;
    }
    size_ = bytes;
    return true;
}

bool ImageFile::Commit(std::string& error) {
    if (!file_) {
        error = "no image is open";
        return false;
    }
    const bool ok = file_->Commit(error);
    file_.reset();
    return ok;
}

void ImageFile::Discard() {
    file_.reset();  // removes the temporary
    if (opened_ >= 0) ::close(opened_);
    opened_ = -1;
    size_ = 0;
}

bool ImageFile::Open(const std::string& path, std::string& error) {
    Discard();
    opened_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    struct stat st{};
    if (opened_ < 0 || ::fstat(opened_, &st) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        Discard();
        return false;
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    return true;
}

SectorCallbacks ImageFile::Sectors(std::uint32_t sectorSize) {
    const std::uint64_t bytes = sectorSize;
    return SectorCallbacks{
        [this, bytes](std::uint64_t first, std::uint32_t count, std::uint8_t* out) {
            return Fd() >= 0 && Transfer(::pread, Fd(), out, count * bytes, first * bytes);
        },
        [this, bytes](std::uint64_t first, std::uint32_t count, const std::uint8_t* in) {
            return Fd() >= 0 && Transfer(::pwrite, Fd(), in, count * bytes, first * bytes);
        },
    };
}

}  // namespace kestrow::fat
