#pragma once
// Partition table library for SPI flash: a table of up to 15 named partitions
// right after the boot area (with a backup copy in the next block), partitions
// allocated in whole erase blocks, data written page by page with optional
// read-back verification and an optional backup copy.
//
// The library knows no files or devices: every flash access, buffer and
// diagnostic line goes through the callbacks handed to Partition_Init. It keeps
// its state in process-wide variables, allows one open partition at a time and
// is not re-entrant.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace kestrow::image {

inline constexpr const char* kPartitionLibVersion = "V1.1.02";
inline constexpr uint32_t kMaxPartitions = 15;
inline constexpr uint32_t kPartitionNameMax = 6;     // characters stored in an entry
inline constexpr uint32_t kPartitionEntrySize = 32;  // bytes per table entry
inline constexpr uint32_t kNoBackup = 0xFFFFFFFF;    // backup offset of an entry without copy

enum PartitionType : uint8_t { kPartitionData = 0, kPartitionBin = 1, kPartitionFs = 2 };

// Bits of the medium-flags byte of an entry and of a create request.
inline constexpr uint8_t kMediumFlagBit = 0x01;
inline constexpr uint8_t kMediumTypeSpiNand = 0x02;

struct PartitionMediumInfo {
    uint32_t pageSize = 0;
    uint32_t pagesPerBlock = 0;
    uint32_t totalSize = 0;  // bytes
};

// Results of the flash callbacks: 0 success, -1 failure.
struct PartitionCallbacks {
    std::function<int(uint32_t block)> erase;
    std::function<int(uint32_t startPage, const uint8_t* data, uint32_t pageCount)> write;
    std::function<int(uint32_t startPage, uint8_t* data, uint32_t pageCount)> read;
    uint32_t medium = 0;  // 0 SPI NOR; nonzero selects SPI NAND
    std::function<void*(size_t size)> allocate;
    std::function<void(void* block)> free;
    std::function<void*(void* dst, int value, size_t size)> fill;
    std::function<void*(void* dst, const void* src, size_t size)> copy;
    std::function<int(const void* a, const void* b, size_t size)> compare;
    std::function<void*(void* dst, const void* src, size_t size)> move;
    std::function<int(const std::string& text)> print;  // optional; absent discards
};

// allocate (zero-filled), free, fill, copy (null when either pointer is null),
// compare (0, -1 or 1 by the first differing unsigned byte) and move over the
// host's memory; the caller adds the flash callbacks and print.
PartitionCallbacks HostMemoryCallbacks();

// One 32-byte table entry; also the handle of the open partition.
struct PartitionEntry {
    uint8_t type = kPartitionData;
    uint8_t readWrite = 0;  // low nibble of byte 1
    uint8_t hidden = 0;     // high nibble of byte 1
    std::string name;       // at most 6 characters
    uint32_t sizeKiB = 0;
    uint32_t start = 0;  // byte offset in the flash
    uint32_t dataLength = 0;
    uint32_t loadAddress = 0;           // DATA and BIN
    uint32_t backupOffset = kNoBackup;  // DATA and BIN
    uint8_t verify = 0;
    uint8_t index = 0;
    uint8_t fsType = 0;  // FS: 0 sqsh4, 1 jffs2, 2 yaffs2
    uint8_t mediumFlags = 0;
};
using PartitionHandle = PartitionEntry;

void EncodePartitionEntry(const PartitionEntry& entry, uint8_t out[kPartitionEntrySize]);
PartitionEntry DecodePartitionEntry(const uint8_t in[kPartitionEntrySize]);

// Entry count of a table whose first word is `word`: 0xFFFFFFFF (erased) reads as 0.
uint32_t PartitionCountFromWord(uint32_t word);
// Pages the table of `count` entries occupies.
uint32_t PartitionTablePages(uint32_t count, uint32_t pageSize);

// The 28-byte create request.
struct PartitionCreateInfo {
    char name[8] = {};
    uint32_t sizeKiB = 0;
    uint32_t loadAddress = 0;
    uint8_t type = kPartitionData;
    uint8_t readWrite = 0;
    uint8_t hidden = 0;
    uint8_t backup = 0;
    uint8_t verify = 0;
    uint8_t index = 0;
    uint8_t fsType = 0;
    uint8_t mediumFlags = 0;
    uint32_t start = 0;  // byte offset; 0 = next free place
};

// Pages a partition of `request` occupies: its size in whole erase blocks,
// made even when it keeps a backup copy in its second half.
uint64_t PartitionPages(const PartitionCreateInfo& request, uint32_t pageSize, uint32_t pagesPerBlock);

// Held by whoever drives the library (the image builder, a board's image
// copy), from Partition_Init to the last Partition_Close: its state is shared.
std::mutex& PartitionLibraryMutex();

// 0 / -1. A table start page of 0 finds the table behind the boot loader's
// "SPIP" record already on the flash.
int Partition_Init(const PartitionCallbacks& callbacks, const PartitionMediumInfo* info,
                   uint32_t tableStartPage);
// A new, open partition, or null.
PartitionHandle* Partition_Creat(const PartitionCreateInfo* request);
// An existing partition, opened with its write offset at 0, or null.
PartitionHandle* Partition_Open(const char* name);
// `length` on success, -1 on failure.
int64_t Partition_Write(PartitionHandle* handle, const uint8_t* data, uint32_t length);
// 0 / -1; writes the table and its backup when the partition changed.
int Partition_Close(PartitionHandle* handle);

}  // namespace kestrow::image
