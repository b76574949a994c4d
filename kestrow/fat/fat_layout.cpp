#include "kestrow/fat/fat_layout.h"
#include "kestrow/fat/medium.h"
#include "kestrow/base/little_endian.h"

#include <cstring>

namespace kestrow::fat {

namespace {

// Cluster count ranges that define the FAT type (readers decide the type by them).
constexpr std::uint32_t kMaxFat12Clusters = 4084;
constexpr std::uint32_t kMaxFat16Clusters = 65524;
constexpr std::uint32_t kMaxFat32Clusters = 0x0FFFFFF5;
constexpr std::uint32_t kMaxClusterBytes = 32768;
constexpr std::uint8_t kMediaFixedDisk = 0xF8;

// Usual cluster size by volume size, counted in 512-byte units.
std::uint32_t UsualClusterBytes(FatType type, std::uint64_t units512) {
    if (type == FatType::Fat12) return 512;
    if (type == FatType::Fat16) {
        if (units512 <= 32680) return 1024;
        if (units512 <= 262144) return 2048;
        if (units512 <= 524288) return 4096;
        return 8192;
    }
    if (units512 <= 532480) return 512;
    if (units512 <= 16777216) return 4096;
    if (units512 <= 33554432) return 8192;
    if (units512 <= 67108864) return 16384;
    return 32768;
}

// Sizes the FAT for a type and cluster size; the FAT size and cluster count
// depend on each other, so grow the FAT until it covers every cluster.
bool FillLayout(FatLayout& l) {
    l.reservedSectors = l.type == FatType::Fat32 ? 32 : 1;
    l.rootEntries = l.type == FatType::Fat32 ? 0 : 512;
    l.rootCluster = l.type == FatType::Fat32 ? 2 : 0;
    const std::uint64_t fixed = l.reservedSectors + l.RootDirSectors();
    std::uint64_t fatSectors = 1;
    for (;;) {
        const std::uint64_t meta = fixed + l.fatCount * fatSectors;
        if (meta >= l.totalSectors) return false;
        const std::uint64_t clusters = (l.totalSectors - meta) / l.sectorsPerCluster;
        const std::uint64_t fatBytes = ((clusters + 2) * FatEntryBits(l.type) + 7) / 8;
        const std::uint64_t need = (fatBytes + l.bytesPerSector - 1) / l.bytesPerSector;
        if (need <= fatSectors) {
            if (clusters == 0 || clusters > kMaxFat32Clusters) return false;
            l.fatSectors = static_cast<std::uint32_t>(fatSectors);
            l.clusterCount = static_cast<std::uint32_t>(clusters);
            return true;
        }
        fatSectors = need;
    }
}

}  // namespace

std::optional<FatLayout> ChooseLayout(std::uint64_t totalSectors, std::uint32_t bytesPerSector, std::string& why,
                                      LayoutFault* fault) {
    const auto refuse = [&](LayoutFault kind, std::string reason) -> std::optional<FatLayout> {
        why = std::move(reason);
        if (fault != nullptr) *fault = kind;
        return std::nullopt;
    };
    if (fault != nullptr) *fault = LayoutFault::None;
    if (Log2Exact(bytesPerSector) < 9 || bytesPerSector > 4096) {
        return refuse(LayoutFault::SectorSize,
                      "sector size " + std::to_string(bytesPerSector) + " is not 512, 1024, 2048 or 4096");
    }
    if (totalSectors > 0xFFFFFFFFu) return refuse(LayoutFault::TooLarge, "the volume has more sectors than FAT can count");
    FatLayout l;
    l.bytesPerSector = bytesPerSector;
    l.totalSectors = totalSectors;
    const std::uint64_t units512 = totalSectors * bytesPerSector / 512;
    l.type = units512 <= 8400 ? FatType::Fat12 : units512 < 1048576 ? FatType::Fat16 : FatType::Fat32;
    std::uint32_t clusterBytes = std::max(UsualClusterBytes(l.type, units512), bytesPerSector);
    for (;;) {
        l.sectorsPerCluster = clusterBytes / bytesPerSector;
        if (!FillLayout(l)) return refuse(LayoutFault::TooSmall, "the volume is too small for a FAT file system");
        const std::uint32_t max = l.type == FatType::Fat12 ? kMaxFat12Clusters
                                  : l.type == FatType::Fat16 ? kMaxFat16Clusters
                                                             : kMaxFat32Clusters;
        const std::uint32_t min = l.type == FatType::Fat12 ? 1
                                  : l.type == FatType::Fat16 ? kMaxFat12Clusters + 1
                                                             : kMaxFat16Clusters + 1;
        if (l.clusterCount > max) {
            if (clusterBytes < kMaxClusterBytes) {
                clusterBytes *= 2;
                continue;
            }
            if (l.type == FatType::Fat32) return refuse(LayoutFault::TooLarge, "the volume is too large for FAT32");
            l.type = l.type == FatType::Fat12 ? FatType::Fat16 : FatType::Fat32;
            clusterBytes = std::max(UsualClusterBytes(l.type, units512), bytesPerSector);
            continue;
        }
        if (l.clusterCount < min) {
            // Too few clusters for this type: smaller clusters first, else the smaller type.
            if (clusterBytes > bytesPerSector && l.type != FatType::Fat12) {
                clusterBytes /= 2;
                continue;
            }
            l.type = l.type == FatType::Fat32 ? FatType::Fat16 : FatType::Fat12;
            clusterBytes = std::max(UsualClusterBytes(l.type, units512), bytesPerSector);
            continue;
        }
        return l;
    }
}

std::vector<std::uint8_t> EncodeBootSector(const FatLayout& l) {
    std::vector<std::uint8_t> s(l.bytesPerSector, 0);
    const bool fat32 = l.type == FatType::Fat32;
    const std::size_t bootCode = fat32 ? 0x5A : 0x3E;
    s[0] = 0xEB;
    s[1] = static_cast<std::uint8_t>(bootCode - 2);
    s[2] = 0x90;
    std::memcpy(&s[3], "KESTROW ", 8);
    Put16(&s[11], l.bytesPerSector);
    s[13] = static_cast<std::uint8_t>(l.sectorsPerCluster);
    Put16(&s[14], l.reservedSectors);
    s[16] = static_cast<std::uint8_t>(l.fatCount);
    Put16(&s[17], l.rootEntries);
    if (!fat32 && l.totalSectors < 0x10000) Put16(&s[19], static_cast<std::uint32_t>(l.totalSectors));
    else Put32(&s[32], static_cast<std::uint32_t>(l.totalSectors));
    s[21] = kMediaFixedDisk;
    if (!fat32) Put16(&s[22], l.fatSectors);
    Put16(&s[24], 63);   // sectors per track
    Put16(&s[26], 255);  // heads
    std::size_t ext = 36;
    if (fat32) {
        Put32(&s[36], l.fatSectors);
        Put32(&s[44], l.rootCluster);
        Put16(&s[48], 1);  // FSInfo sector
        Put16(&s[50], 6);  // backup boot sector
        ext = 64;
    }
    s[ext] = 0x80;      // drive number
    s[ext + 2] = 0x29;  // extended boot signature
    Put32(&s[ext + 3], l.volumeId);
    std::memcpy(&s[ext + 7], "NO NAME    ", 11);
    std::memcpy(&s[ext + 18], l.type == FatType::Fat12 ? "FAT12   " : l.type == FatType::Fat16 ? "FAT16   " : "FAT32   ", 8);
    // Not bootable: the boot code only halts in a loop.
    s[bootCode] = 0xEB;
    s[bootCode + 1] = 0xFE;
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::optional<FatLayout> DecodeBootSector(const std::uint8_t* s, std::uint32_t mediumSectorSize,
                                          std::uint64_t mediumSectors, std::string& why) {
    FatLayout l;
    l.bytesPerSector = Get16(&s[11]);
    l.sectorsPerCluster = s[13];
    l.reservedSectors = Get16(&s[14]);
    l.fatCount = s[16];
    l.rootEntries = Get16(&s[17]);
    l.totalSectors = Get16(&s[19]) != 0 ? Get16(&s[19]) : Get32(&s[32]);
    l.fatSectors = Get16(&s[22]) != 0 ? Get16(&s[22]) : Get32(&s[36]);
    if (s[510] != 0x55 || s[511] != 0xAA || l.bytesPerSector != mediumSectorSize ||
        Log2Exact(l.sectorsPerCluster) < 0 || l.reservedSectors == 0 || l.fatCount == 0 || l.fatSectors == 0 ||
        l.totalSectors > mediumSectors) {
        why = "the medium holds no FAT volume of its sector size";
        return std::nullopt;
    }
    const std::uint64_t data = l.FirstDataSector();
    if (data >= l.totalSectors) {
        why = "the boot sector describes no data area";
        return std::nullopt;
    }
    const std::uint64_t clusters = (l.totalSectors - data) / l.sectorsPerCluster;
    l.clusterCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters, kMaxFat32Clusters));
    l.type = clusters <= kMaxFat12Clusters ? FatType::Fat12
             : clusters <= kMaxFat16Clusters ? FatType::Fat16
                                             : FatType::Fat32;
    const std::size_t ext = l.type == FatType::Fat32 ? 64 : 36;
    l.volumeId = Get32(&s[ext + 3]);
    if (l.type == FatType::Fat32) {
        l.rootCluster = Get32(&s[44]);
        if (l.rootEntries != 0 || l.rootCluster < 2 || l.rootCluster >= l.clusterCount + 2) {
            why = "the FAT32 boot sector names no valid root folder";
            return std::nullopt;
        }
    }
    const std::uint64_t fatBytes = std::uint64_t{l.fatSectors} * l.bytesPerSector;
    if (fatBytes * 8 < (std::uint64_t{l.clusterCount} + 2) * FatEntryBits(l.type)) {
        why = "the FAT is too small for the volume";
        return std::nullopt;
    }
    return l;
}

}  // namespace kestrow::fat
