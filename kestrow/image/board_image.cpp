#include "kestrow/image/board_image.h"

#include "kestrow/image/image_flash.h"
#include "kestrow/image/partition.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace kestrow::image {
namespace {

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

bool CopyWhole(int from, int to, std::string& error) {
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t offset = 0;;) {
        const ssize_t n = ReadAt(from, chunk.data(), chunk.size(), offset);
        if (n < 0) {
            error = SystemError("cannot read the image");
            return false;
        }
        if (n == 0) return true;
        if (WriteAt(to, chunk.data(), size_t(n), offset) != n) {
            error = SystemError("cannot write the board's copy of the image");
            return false;
        }
        offset += uint64_t(n);
    }
}

// Writes `text` into partition `name` as the builder does: the partition's
// block erased, the record written, its length entered in both tables.
bool WriteData(const char* name, const std::string& text, std::string& lastLine, std::string& error) {
    if (text.size() > kMaxDataText) {
        error = std::string(name) + ": the text is " + std::to_string(text.size()) + " bytes, more than " +
                std::to_string(kMaxDataText);
        return false;
    }
    const std::vector<uint8_t> record = DataRecord(text);
    PartitionHandle* handle = Partition_Open(name);
    if (handle == nullptr) {
        error = std::string(name) + ": Partition_Open fail: " + lastLine;
        return false;
    }
    if (Partition_Write(handle, record.data(), uint32_t(record.size())) < 0) {
        error = std::string(name) + ": Partition_Write fail: " + lastLine;
        Partition_Close(handle);
        return false;
    }
    if (Partition_Close(handle) != 0) {
        error = std::string(name) + ": Partition_Close fail: " + lastLine;
        return false;
    }
    return true;
}

}  // namespace

ImageDataPartitions FindDataPartitions(const std::string& path) {
    SpiImageLayout layout;
    std::string error;
    ImageDataPartitions found;
    if (!ReadSpiImageLayout(path, layout, error) || !layout.table.countValid) return found;
    for (const PartitionEntry& entry : layout.table.entries) {
        found.mac = found.mac || entry.name == kMacPartition;
        found.serial = found.serial || entry.name == kSerialPartition;
        found.bluetooth = found.bluetooth || entry.name == kBluetoothPartition;
    }
    return found;
}

BoardImage::BoardImage(int fd) : fd_(fd), path_("/proc/self/fd/" + std::to_string(fd)) {}

BoardImage::~BoardImage() { ::close(fd_); }

std::unique_ptr<BoardImage> BoardImage::Make(const std::string& imagePath, const BoardIdentityTexts& texts,
                                             const std::string& folder, std::string& error) {
    SpiImageLayout layout;
    if (!ReadSpiImageLayout(imagePath, layout, error)) return nullptr;
    const int source = ::open(imagePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) {
        error = SystemError("cannot open " + imagePath);
        return nullptr;
    }
    std::string name = folder + "/.board-image-XXXXXX";
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        error = SystemError("cannot make the board's copy of the image in " + folder);
        ::close(source);
        return nullptr;
    }
    ::unlink(name.c_str());
    std::unique_ptr<BoardImage> copy(new BoardImage(fd));
    const bool copied = CopyWhole(source, fd, error);
    ::close(source);
    if (!copied) return nullptr;

    // The partition library keeps its state process-wide: one user at a time.
    std::lock_guard lock(PartitionLibraryMutex());
    std::string lastLine;
    ImageFlash flash(fd, layout.pageSize, layout.eraseSize, [](const std::string&) {});
    PartitionCallbacks cb = HostMemoryCallbacks();
    cb.erase = [&flash](uint32_t block) { return flash.Erase(block); };
    cb.write = [&flash](uint32_t page, const uint8_t* data, uint32_t count) { return flash.Write(page, data, count); };
    cb.read = [&flash](uint32_t page, uint8_t* data, uint32_t count) { return flash.Read(page, data, count); };
    cb.print = [&lastLine](const std::string& text) {
        lastLine = text;
        while (!lastLine.empty() && (lastLine.back() == '\n' || lastLine.back() == '\r')) lastLine.pop_back();
        return 0;
    };
    const PartitionMediumInfo medium{layout.pageSize, layout.eraseSize / layout.pageSize, layout.totalSize};
    // Table start 0: the table is found behind the boot loader's flash record.
    if (Partition_Init(cb, &medium, 0) != 0) {
        error = "the image's partition table cannot be read: " + lastLine;
        return nullptr;
    }
    const struct {
        const char* partition;
        const std::string& text;
    } areas[] = {{kMacPartition, texts.mac}, {kSerialPartition, texts.serial}, {kBluetoothPartition, texts.bluetooth}};
    for (const auto& area : areas)
        if (!area.text.empty() && !WriteData(area.partition, area.text, lastLine, error)) return nullptr;
    return copy;
}

}  // namespace kestrow::image
