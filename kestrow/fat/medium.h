#pragma once
// Media the FAT writer works on. Both forms reach their storage only through
// two callbacks that read or write whole sectors at a sector index, so the
// same writer serves an image file, memory or a real device.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrow::fat {

// Reads or writes `count` whole sectors starting at sector `first`; false on failure.
using SectorReader = std::function<bool(std::uint64_t first, std::uint32_t count, std::uint8_t* out)>;
using SectorWriter = std::function<bool(std::uint64_t first, std::uint32_t count, const std::uint8_t* in)>;

struct SectorCallbacks {
    SectorReader read;
    SectorWriter write;
};

// What the file system sees: a run of equal sectors.
class BlockDevice {
public:
    virtual ~BlockDevice() = default;
    virtual std::uint32_t SectorSize() const = 0;
    virtual std::uint64_t SectorCount() const = 0;
    virtual bool Read(std::uint64_t first, std::uint32_t count, std::uint8_t* out) = 0;
    virtual bool Write(std::uint64_t first, std::uint32_t count, const std::uint8_t* in) = 0;
    // Pushes anything held back to the storage.
    virtual bool Flush() = 0;
};

// The description a caller hands over to build a medium.
struct MediumDescription {
    enum class Kind { PlainDisk, NandFlash };
    Kind kind = Kind::PlainDisk;
    // Plain disk: sector size and count of the storage behind the callbacks.
    // NAND flash: the callbacks' sector size is 1 << sectorShift and
    // sectorCount counts those sectors; pages are 1 << pageShift bytes.
    std::uint32_t sectorSize = 512;
    std::uint64_t sectorCount = 0;
    std::uint32_t sectorShift = 9;
    std::uint32_t pageShift = 11;
    SectorCallbacks io;
};

// Builds the medium, or returns null with `error` set when the description
// is unusable (sizes not powers of two, page smaller than sector, no callbacks).
std::unique_ptr<BlockDevice> CreateMedium(const MediumDescription& description, std::string& error);

// Log2 of a power of two, or -1 when `value` is not one.
int Log2Exact(std::uint64_t value);

}  // namespace kestrow::fat
