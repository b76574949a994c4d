#pragma once
// Where a FAT volume keeps what: the layout chosen at format time and read
// back from the boot sector at mount time.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrow::fat {

enum class FatType { Fat12, Fat16, Fat32 };

struct FatLayout {
    FatType type = FatType::Fat16;
    std::uint32_t bytesPerSector = 512;
    std::uint32_t sectorsPerCluster = 1;
    std::uint32_t reservedSectors = 1;
    std::uint32_t fatCount = 2;
    std::uint32_t rootEntries = 512;  // 0 on FAT32, whose root is a cluster chain
    std::uint32_t fatSectors = 0;     // per copy
    std::uint64_t totalSectors = 0;
    std::uint32_t clusterCount = 0;   // data clusters, numbered from 2
    std::uint32_t rootCluster = 0;    // FAT32 only
    std::uint32_t volumeId = 0;

    std::uint32_t ClusterBytes() const { return bytesPerSector * sectorsPerCluster; }
    std::uint32_t RootDirSectors() const { return (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector; }
    std::uint64_t RootDirSector() const { return reservedSectors + std::uint64_t{fatCount} * fatSectors; }
    std::uint64_t FirstDataSector() const { return RootDirSector() + RootDirSectors(); }
    std::uint64_t ClusterSector(std::uint32_t cluster) const {
        return FirstDataSector() + std::uint64_t{cluster - 2} * sectorsPerCluster;
    }
    std::uint64_t DataBytes() const { return std::uint64_t{clusterCount} * ClusterBytes(); }
};

// Why no FAT volume fits a medium.
enum class LayoutFault { None, SectorSize, TooSmall, TooLarge };

// Picks the FAT type and cluster size for a volume the way common formatters
// do: FAT12 up to about 4 MiB, FAT16 below 512 MiB, FAT32 from there, with the
// usual cluster size per volume size, then adjusted until the cluster count
// lies in the range that defines the type. Empty with `why` (and `fault`,
// when given) set when no FAT volume fits.
std::optional<FatLayout> ChooseLayout(std::uint64_t totalSectors, std::uint32_t bytesPerSector, std::string& why,
                                      LayoutFault* fault = nullptr);

// The boot sector (one sector) for a layout.
std::vector<std::uint8_t> EncodeBootSector(const FatLayout& layout);

// Reads a boot sector back; empty with `why` set when it is no FAT boot sector
// or disagrees with the medium's sector size.
std::optional<FatLayout> DecodeBootSector(const std::uint8_t* sector, std::uint32_t mediumSectorSize,
                                          std::uint64_t mediumSectors, std::string& why);

// Bits of one FAT entry.
inline std::uint32_t FatEntryBits(FatType type) {
    return type == FatType::Fat12 ? 12 : type == FatType::Fat16 ? 16 : 32;
}
// Cluster values from which on an entry marks the end of a chain.
inline std::uint32_t EndOfChain(FatType type) {
    return type == FatType::Fat12 ? 0xFFF : type == FatType::Fat16 ? 0xFFFF : 0x0FFFFFFF;
}

}  // namespace kestrow::fat
