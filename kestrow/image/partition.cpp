#include "kestrow/image/partition.h"

#include "kestrow/base/little_endian.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace kestrow::image {

namespace {

constexpr uint32_t kTableHeaderSize = 4;  // the entry count word
constexpr uint32_t kNoBlock = 0xFFFFFFFF;

// Everything the library remembers between calls.
struct LibraryState {
    PartitionCallbacks cb;
    bool initialised = false;
    uint32_t pageSize = 0;
    uint32_t pagesPerBlock = 0;
    uint32_t totalPages = 0;
    uint32_t tablePage = 0;
    uint32_t nextFreePage = 0;

    std::optional<PartitionEntry> open;  // the one open partition; handles point here
    bool created = false;                // opened by Partition_Creat
    bool changed = false;                // written since create or open
    uint32_t lengthAtOpen = 0;
    uint32_t writeOffset = 0;
    // Last block erased for the data and for its backup copy. The two streams
    // are kept apart so that alternating between them never erases a block
    // that already holds data from an earlier write.
    uint32_t lastErasedData = kNoBlock;
    uint32_t lastErasedBackup = kNoBlock;
};

LibraryState g;

// The 32-byte table entry. Byte 0 is the type, byte 1 holds read-write (low
// nibble) and hidden (high nibble), bytes 2-7 the name; the fields below are
// plain bytes or little-endian words, and those from byte 20 on depend on the
// type: file-system partitions have no load address and no backup copy.
constexpr size_t kEntryType = 0;
constexpr size_t kEntryFlags = 1;
constexpr size_t kEntryName = 2;

struct EntryField {
    uint8_t offset;
    uint8_t PartitionEntry::*byte = nullptr;   // one byte, or
    uint32_t PartitionEntry::*word = nullptr;  // a 32-bit word
};
constexpr EntryField kCommonFields[] = {
    {kEntryType, &PartitionEntry::type},
    {8, nullptr, &PartitionEntry::sizeKiB},
    {12, nullptr, &PartitionEntry::start},
    {16, nullptr, &PartitionEntry::dataLength},
};
constexpr EntryField kFsFields[] = {
    {20, &PartitionEntry::verify},
    {21, &PartitionEntry::index},
    {22, &PartitionEntry::fsType},
    {23, &PartitionEntry::mediumFlags},
};
constexpr EntryField kBinFields[] = {
    {20, nullptr, &PartitionEntry::loadAddress},
    {24, nullptr, &PartitionEntry::backupOffset},
    {28, &PartitionEntry::verify},
    {29, &PartitionEntry::index},
    {30, &PartitionEntry::mediumFlags},
};

// Calls `visit` for every field an entry of `type` stores.
template <typename Visit>
void ForEachEntryField(uint8_t type, Visit visit) {
    for (const EntryField& f : kCommonFields) visit(f);
    if (type == kPartitionFs) {
        for (const EntryField& f : kFsFields) visit(f);
    } else {
        for (const EntryField& f : kBinFields) visit(f);
    }
}

[[gnu::format(printf, 1, 2)]] void Print(const char* format, ...) {
    if (!g.cb.print) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g.cb.print(text);
}

// A buffer from the allocate callback, given back through free.
class CallbackBuffer {
public:
    explicit CallbackBuffer(size_t size) : data_(static_cast<uint8_t*>(g.cb.allocate(size))) {}
    ~CallbackBuffer() {
        if (data_ != nullptr) g.cb.free(data_);
    }
    CallbackBuffer(const CallbackBuffer&) = delete;
    CallbackBuffer& operator=(const CallbackBuffer&) = delete;
    uint8_t* get() const { return data_; }
    explicit operator bool() const { return data_ != nullptr; }

private:
    uint8_t* data_;
};

uint32_t NameLength(const char* name) { return uint32_t(strnlen(name, kPartitionNameMax + 2)); }

bool SameName(const std::string& stored, const char* name) {
    return stored.size() == NameLength(name) && stored.compare(0, stored.size(), name, stored.size()) == 0;
}

// Only SPI NOR partitions on an SPI NOR medium have a back end here.
bool HasBackEnd(const char* operation, uint8_t mediumFlags) {
    const uint32_t medium = g.cb.medium;
    const bool nandPartition = (mediumFlags & kMediumTypeSpiNand) != 0;
    if (medium == 0 && !nandPartition) return true;
    Print("%s fail g_medium %u, medium_flag:%d,  medium_type:%d, error\r\n", operation, medium,
          mediumFlags & kMediumFlagBit, nandPartition ? 1 : 0);
    return false;
}

void PrintEntry(const char* verb, const PartitionEntry& e) {
    Print("%s T:%d, R:%d, H:%d, K:%u, S:%u, N:%s \n", verb, e.type, e.readWrite, e.hidden, e.sizeKiB, e.start,
          e.name.c_str());
    if (e.type == kPartitionFs) {
        Print("%s ex_fs F:%u, C:%d, M:%d, FS:%d, MF:%d\n", verb, e.dataLength, e.verify, e.index, e.fsType,
              e.mediumFlags);
    } else {
        Print("%s ex_bin F:%u, L:0x%x, B:0x%x, C:%d, M:%d, MF:%d\n", verb, e.dataLength, e.loadAddress,
              e.backupOffset, e.verify, e.index, e.mediumFlags);
    }
}

// Programs pages [start, start + count): erases each block they touch once per
// stream, writes them in one call and, with `verify`, reads them back.
bool ProgramPages(uint32_t start, const uint8_t* data, uint32_t count, bool verify, uint32_t& lastErased) {
    if (count == 0) return true;
    const uint32_t firstBlock = start / g.pagesPerBlock;
    const uint32_t lastBlock = (start + count - 1) / g.pagesPerBlock;
    for (uint32_t block = firstBlock; block <= lastBlock; ++block) {
        if (block == lastErased) continue;
        if (g.cb.erase(block) != 0) {
            Print("erase fail at block:%u\r\n", block);
            return false;
        }
        lastErased = block;
    }
    if (g.cb.write(start, data, count) != 0) {
        Print("part: prod_spiwritepage write fail at page start:%u, cnt:%u\r\n", start, count);
        return false;
    }
    if (!verify) return true;
    CallbackBuffer page(g.pageSize);
    if (!page) {
        Print("compare fail at page start:%u, cnt:%u\r\n", start, count);
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* expected = data + size_t(i) * g.pageSize;
        if (g.cb.read(start + i, page.get(), 1) != 0) {
            Print("compare fail at page start:%u, cnt:%u\r\n", start, count);
            return false;
        }
        if (g.cb.compare(expected, page.get(), g.pageSize) == 0) continue;
        uint32_t at = 0;
        while (at < g.pageSize && expected[at] == page.get()[at]) ++at;
        Print("compare fail, compare_size:%u\r\n", g.pageSize);
        Print("St:%u, i:%u,S:%02x_D:%02x\r\n", start + i, at, expected[at], page.get()[at]);
        Print("\r\n");
        return false;
    }
    return true;
}

// Reads the table into `buffer` (room for the largest table); `count` = entries.
// Only the pages that hold entries are read; a count above the maximum is
// returned as it is, with only the first page read.
bool ReadTable(const CallbackBuffer& buffer, uint32_t& count) {
    if (g.cb.read(g.tablePage, buffer.get(), 1) != 0) return false;
    count = PartitionCountFromWord(Get32(buffer.get()));
    if (count > kMaxPartitions) return true;
    const uint32_t pages = PartitionTablePages(count, g.pageSize);
    return pages <= 1 || g.cb.read(g.tablePage + 1, buffer.get() + g.pageSize, pages - 1) == 0;
}

size_t TableBufferSize() { return size_t(PartitionTablePages(kMaxPartitions, g.pageSize)) * g.pageSize; }

const uint8_t* EntryAt(const CallbackBuffer& table, uint32_t i) {
    return table.get() + kTableHeaderSize + kPartitionEntrySize * i;
}

std::optional<uint32_t> FindEntry(const CallbackBuffer& table, uint32_t count, const char* name) {
    for (uint32_t i = 0; i < count; ++i) {
        if (SameName(DecodePartitionEntry(EntryAt(table, i)).name, name)) return i;
    }
    return std::nullopt;
}

// The checks shared by create and open, each with the caller's own message.
struct SessionMessages {
    const char* notInitialised;
    const char* otherOpen;
    const char* noName;
    const char* nameTooLong;
};

bool MayStartSession(const SessionMessages& messages, const char* name) {
    const char* refusal = !g.initialised                          ? messages.notInitialised
                          : g.open                                ? messages.otherOpen
                          : name == nullptr                       ? messages.noName
                          : NameLength(name) > kPartitionNameMax ? messages.nameTooLong
                                                                  : nullptr;
    if (refusal != nullptr) Print("%s", refusal);
    return refusal == nullptr;
}

void StartSession(const PartitionEntry& entry, bool created) {
    g.open = entry;
    g.created = created;
    g.changed = created;
    g.lengthAtOpen = entry.dataLength;
    g.writeOffset = 0;
    g.lastErasedData = kNoBlock;
    g.lastErasedBackup = kNoBlock;
}

// Where an area of the flash lies: a partition must begin on a block boundary
// behind the two table blocks (or its first erase would wipe the table or the
// block before it) and end inside the flash.
enum class Placement { Free, Misplaced, BeyondFlash };
Placement PlaceInFreeFlash(uint64_t start, uint64_t bytes) {
    const uint64_t blockBytes = uint64_t(g.pageSize) * g.pagesPerBlock;
    if (start % blockBytes != 0 || start / g.pageSize < g.tablePage + 2ull * g.pagesPerBlock) {
        return Placement::Misplaced;
    }
    if (start + bytes > uint64_t(g.totalPages) * g.pageSize) return Placement::BeyondFlash;
    return Placement::Free;
}

bool HasBackupCopy(const PartitionEntry& e) { return e.type != kPartitionFs && e.backupOffset != kNoBackup; }

// Locates the table behind a boot loader already on the flash: the boot area
// block count lies 31 bytes after the "SPIP" marker in the first three pages.
bool FindTableStart(uint32_t& tablePage) {
    const size_t span = size_t(3) * g.pageSize;
    if (g.totalPages < 3) {
        Print("update get boot size fail\n");
        return false;
    }
    CallbackBuffer head(span);
    if (!head) {
        Print("update burn buf malloc fail\n");
        return false;
    }
    if (g.cb.read(0, head.get(), 3) != 0) {
        Print("update burn spi_flash_read fail\n");
        return false;
    }
    // The count byte must lie inside the pages read.
    for (size_t at = 0; at + 32 <= span; ++at) {
        if (std::memcmp(head.get() + at, "SPIP", 4) != 0) continue;
        const uint8_t bootBlocks = head.get()[at + 31];
        Print("boot block num offset:%zu\n", at + 31);
        Print("Sflash_Get_Partition_Startpage g_boot_len:%u\n", unsigned(bootBlocks));
        tablePage = bootBlocks == 0xFF ? kNoBlock : bootBlocks * g.pagesPerBlock;
        return true;
    }
    Print("update get boot size fail\n");
    return false;
}

int SflashInit(const PartitionMediumInfo* info, uint32_t tablePage) {
    if (info == nullptr) {
        Print("Sflash_Init info QM_NULL\n");
        return -1;
    }
    if (info->pageSize == 0 || info->pagesPerBlock == 0 || info->totalSize < info->pageSize) {
        Print("Sflash_Init medium info is error, page:%u, pages per block:%u, total:%u\n", info->pageSize,
              info->pagesPerBlock, info->totalSize);
        return -1;
    }
    g.pageSize = info->pageSize;
    g.pagesPerBlock = info->pagesPerBlock;
    g.totalPages = info->totalSize / info->pageSize;
    if (PartitionTablePages(kMaxPartitions, g.pageSize) > g.pagesPerBlock) {
        Print("Sflash_Init the partition table does not fit one block, page:%u\n", g.pageSize);
        return -1;
    }
    if (tablePage == 0) {
        if (!FindTableStart(tablePage)) return -1;
        if (tablePage == 0 || tablePage == kNoBlock) {
            Print("Sflash_Init read partition_start == 0 or -1\n");
            return -1;
        }
    }
    if (tablePage % g.pagesPerBlock != 0) {
        Print("partition table start page is error (exp:BinPageStart%%PagesPerBlock!=0), page:%u,\r\n", tablePage);
        return -1;
    }
    if (uint64_t(tablePage) + 2ull * g.pagesPerBlock > g.totalPages) {
        Print("Sflash_Init partition table beyond the flash, page:%u\n", tablePage);
        return -1;
    }
    g.tablePage = tablePage;
    g.nextFreePage = tablePage + 2 * g.pagesPerBlock;
    g.initialised = true;
    return 0;
}

bool IsOpenHandle(const PartitionHandle* handle) { return g.open && handle == &*g.open; }

}  // namespace

PartitionCallbacks HostMemoryCallbacks() {
    PartitionCallbacks cb;
    cb.allocate = [](size_t size) { return std::calloc(size == 0 ? 1 : size, 1); };
    cb.free = [](void* block) { std::free(block); };
    cb.fill = [](void* dst, int value, size_t size) { return std::memset(dst, value, size); };
    cb.copy = [](void* dst, const void* src, size_t size) -> void* {
        if (dst == nullptr || src == nullptr) return nullptr;
        return std::memcpy(dst, src, size);
    };
    cb.compare = [](const void* a, const void* b, size_t size) {
        const int c = std::memcmp(a, b, size);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    };
    cb.move = [](void* dst, const void* src, size_t size) { return std::memmove(dst, src, size); };
    return cb;
}

void EncodePartitionEntry(const PartitionEntry& e, uint8_t out[kPartitionEntrySize]) {
    std::memset(out, 0, kPartitionEntrySize);
    ForEachEntryField(e.type, [&](const EntryField& f) {
        if (f.byte != nullptr) out[f.offset] = e.*f.byte;
        else Put32(out + f.offset, e.*f.word);
    });
    out[kEntryFlags] = uint8_t((e.readWrite & 0x0F) | (e.hidden << 4));
    std::memcpy(out + kEntryName, e.name.data(), std::min<size_t>(e.name.size(), kPartitionNameMax));
}

PartitionEntry DecodePartitionEntry(const uint8_t in[kPartitionEntrySize]) {
    PartitionEntry e;
    e.type = in[kEntryType];
    ForEachEntryField(e.type, [&](const EntryField& f) {
        if (f.byte != nullptr) e.*f.byte = in[f.offset];
        else e.*f.word = Get32(in + f.offset);
    });
    e.readWrite = in[kEntryFlags] & 0x0F;
    e.hidden = in[kEntryFlags] >> 4;
    const char* name = reinterpret_cast<const char*>(in + kEntryName);
    e.name.assign(name, strnlen(name, kPartitionNameMax));
    return e;
}

uint32_t PartitionCountFromWord(uint32_t word) { return word == 0xFFFFFFFF ? 0 : word; }

uint32_t PartitionTablePages(uint32_t count, uint32_t pageSize) {
    const uint64_t bytes = kTableHeaderSize + uint64_t(kPartitionEntrySize) * count;
    return uint32_t((bytes + pageSize - 1) / pageSize);
}

std::mutex& PartitionLibraryMutex() {
    static std::mutex mutex;
    return mutex;
}

int Partition_Init(const PartitionCallbacks& callbacks, const PartitionMediumInfo* info, uint32_t tableStartPage) {
    g = LibraryState{};
    g.cb = callbacks;
    Print("partition lib version: %s\r\n", kPartitionLibVersion);
    if (!callbacks.erase || !callbacks.write || !callbacks.read || !callbacks.allocate || !callbacks.free ||
        !callbacks.fill || !callbacks.copy || !callbacks.compare) {
        Print("Partition_CallbackInit(): some callback function not init!\r\n");
        return -1;
    }
    if (callbacks.medium != 0) {
        Print("spinand init\r\n");
        Print("spinand_init: no SPI NAND back end in this program\r\n");
        return -1;
    }
    Print("spiflash init\r\n");
    return SflashInit(info, tableStartPage);
}

uint64_t PartitionPages(const PartitionCreateInfo& request, uint32_t pageSize, uint32_t pagesPerBlock) {
    uint64_t pages = (uint64_t(request.sizeKiB) * 1024 + pageSize - 1) / pageSize;
    pages = (pages + pagesPerBlock - 1) / pagesPerBlock * pagesPerBlock;
    if (request.backup != 0 && request.type != kPartitionFs) pages += pages % 2;
    return pages;
}

PartitionHandle* Partition_Creat(const PartitionCreateInfo* request) {
    static constexpr SessionMessages kMessages{
        "part: Sflash_Creat not Sflash_Init\r\n", "part: Sflash_Creat the other partition name is openning\r\n",
        "part: Sflash_Creat info == QM_NULL\r\n", "part: sflash_creat the partition name len more than 6\r\n"};
    if (!MayStartSession(kMessages, request != nullptr ? request->name : nullptr)) return nullptr;
    if (!HasBackEnd("partition_creat", request->mediumFlags)) return nullptr;
    if (request->type > kPartitionFs) {
        Print("part: Sflash_Creat type is error\r\n");
        return nullptr;
    }
    if (request->sizeKiB == 0) {
        Print("part: Sflash_Creat size is zero\r\n");
        return nullptr;
    }

    CallbackBuffer table(TableBufferSize());
    uint32_t count = 0;
    if (!table || !ReadTable(table, count)) {
        Print("part: Sflash_Creat read table fail\r\n");
        return nullptr;
    }
    if (count >= kMaxPartitions) {
        Print("part: file_num is more than the max(%u)\r\n", kMaxPartitions);
        return nullptr;
    }
    if (count > 0) {
        const PartitionEntry last = DecodePartitionEntry(EntryAt(table, count - 1));
        g.nextFreePage = uint32_t((uint64_t(last.start) + uint64_t(last.sizeKiB) * 1024) / g.pageSize);
    }
    if (FindEntry(table, count, request->name)) {
        Print("part: Sflash_Creat fail\r\n");
        return nullptr;
    }

    PartitionEntry e;
    e.type = request->type;
    e.readWrite = request->readWrite;
    e.hidden = request->hidden;
    e.name.assign(request->name, NameLength(request->name));
    e.start = request->start != 0 ? request->start : g.nextFreePage * g.pageSize;
    const uint64_t pages = PartitionPages(*request, g.pageSize, g.pagesPerBlock);
    const bool backup = request->backup != 0 && e.type != kPartitionFs;
    switch (PlaceInFreeFlash(e.start, pages * g.pageSize)) {
        case Placement::Free: break;
        case Placement::Misplaced:
            Print("part: Sflash_Creat start %u is not a free block\r\n", e.start);
            return nullptr;
        case Placement::BeyondFlash:
            Print("part:  Sflash_burn_creat->partition page is more than spiflash, size:%llu, %u\r\n",
                  static_cast<unsigned long long>(e.start / g.pageSize + pages), g.totalPages);
            return nullptr;
    }
    e.sizeKiB = uint32_t(pages * g.pageSize / 1024);
    if (e.type != kPartitionFs) {
        e.backupOffset = backup ? uint32_t(e.start + pages / 2 * g.pageSize) : kNoBackup;
        e.loadAddress = request->loadAddress;
    }
    e.verify = request->verify;
    e.index = request->index;
    e.fsType = request->fsType;
    e.mediumFlags = request->mediumFlags;
    PrintEntry("creat", e);
    StartSession(e, true);
    return &*g.open;
}

PartitionHandle* Partition_Open(const char* name) {
    static constexpr SessionMessages kMessages{
        "part: Sflash_Open not Sflash_Init\r\n", "part: Sflash_Open the other partition name is openning\r\n",
        "part: Sflash_Open partition_name == QM_NULL\r\n", "part: Sflash_Open the partition name len more than 6\r\n"};
    if (!MayStartSession(kMessages, name)) return nullptr;
    CallbackBuffer table(TableBufferSize());
    uint32_t count = 0;
    if (!table || !ReadTable(table, count)) {
        Print("part: Sflash_Open read table fail\r\n");
        return nullptr;
    }
    if (count == 0 || count > kMaxPartitions) {
        Print("part: Sflash_Open file_num == 0 || file_num == T_U32_MAX || file_num > 15\r\n");
        return nullptr;
    }
    const auto at = FindEntry(table, count, name);
    if (!at) {
        Print("partition name is not exist, open fail\r\n");
        return nullptr;
    }
    // The table comes from the flash and may be damaged: an entry whose area
    // leaves the flash or covers the table blocks would be erased and written there.
    const PartitionEntry entry = DecodePartitionEntry(EntryAt(table, *at));
    if (PlaceInFreeFlash(entry.start, uint64_t(entry.sizeKiB) * 1024) != Placement::Free) {
        Print("part: Sflash_Open partition %s lies outside the free flash, start:%u, size:%uKB\r\n",
              entry.name.c_str(), entry.start, entry.sizeKiB);
        return nullptr;
    }
    StartSession(entry, false);
    return &*g.open;
}

int64_t Partition_Write(PartitionHandle* handle, const uint8_t* data, uint32_t length) {
    if (!g.initialised) {
        Print("part: Sflash_Write not Sflash_Init\r\n");
        return -1;
    }
    if (!IsOpenHandle(handle)) {
        Print("part: Sflash_Write the handle is not the open partition\r\n");
        return -1;
    }
    PartitionEntry& e = *g.open;
    if (!HasBackEnd("partition_write", e.mediumFlags)) return -1;
    if (e.type > kPartitionFs) {
        Print("part: Sflash_Write type IS error\r\n");
        return -1;
    }
    if (length == 0) return 0;
    if (data == nullptr) {
        Print("part: Sflash_Write data == QM_NULL\r\n");
        return -1;
    }
    // Pages are programmed whole: after a padded last page nothing can follow
    // without rewriting that page over data already on it.
    if (g.writeOffset % g.pageSize != 0) {
        Print("part: Sflash_Write the last write ended inside page %u\r\n", g.writeOffset / g.pageSize);
        return -1;
    }
    const uint32_t partitionPages = uint32_t(uint64_t(e.sizeKiB) * 1024 / g.pageSize);
    const uint32_t wholePages = length / g.pageSize;
    const uint32_t remainder = length % g.pageSize;
    const uint32_t pagesNeeded = wholePages + (remainder != 0 ? 1 : 0);
    const uint32_t firstPage = g.writeOffset / g.pageSize;  // within the partition
    const bool backup = HasBackupCopy(e);
    const uint32_t room = backup ? partitionPages / 2 : partitionPages;
    const auto fail = [&] {
        Print("part: Sflash_Write fail, %x, %x, %u\r\n", e.start, g.writeOffset, length);
        return int64_t(-1);
    };
    if (pagesNeeded > room) {
        if (backup) {
            Print("part: Sflash_Write page cnt more than the partition(backup) cnt, %u, %u\r\n", pagesNeeded, room);
        } else {
            Print("part: Sflash_Write page cnt more than the partition page, %u, %u\r\n", pagesNeeded, room);
        }
        return fail();
    }
    if (uint64_t(firstPage) + pagesNeeded > room) {
        if (backup) {
            Print("part :Sflash_Write start page more than the backup_page, %u, %u\r\n", firstPage, room);
        } else {
            Print("part :Sflash_Write start page more than the partition page cnt, %u, %u\r\n", firstPage, room);
        }
        return fail();
    }
    const uint32_t dataPage = e.start / g.pageSize + firstPage;
    const uint32_t backupPage = backup ? e.backupOffset / g.pageSize + firstPage : 0;
    if (backup && uint64_t(backupPage) + pagesNeeded > uint64_t(e.start / g.pageSize) + partitionPages) {
        Print("part :Sflash_Write back page more than the partition page, %u, %u, %u, %u\r\n", backupPage,
              pagesNeeded, e.start / g.pageSize, partitionPages);
        return fail();
    }

    const bool verify = e.verify != 0;
    const auto programBoth = [&](uint32_t offsetPages, const uint8_t* pageData, uint32_t count) {
        if (!ProgramPages(dataPage + offsetPages, pageData, count, verify, g.lastErasedData)) return false;
        return !backup || ProgramPages(backupPage + offsetPages, pageData, count, verify, g.lastErasedBackup);
    };
    if (!programBoth(0, data, wholePages)) return fail();
    g.writeOffset += wholePages * g.pageSize;
    g.changed = true;
    if (remainder != 0) {
        CallbackBuffer last(g.pageSize);
        if (!last) {
            Print("Sflash_Write NULL == write_buf\r\n");
            return fail();
        }
        // The unused tail keeps the erased value.
        g.cb.fill(last.get(), 0xFF, g.pageSize);
        g.cb.copy(last.get(), data + size_t(wholePages) * g.pageSize, remainder);
        if (!programBoth(wholePages, last.get(), 1)) return fail();
        g.writeOffset += remainder;
    }
    e.dataLength = g.writeOffset;
    return length;
}

int Partition_Close(PartitionHandle* handle) {
    if (handle == nullptr) {
        Print("part: Sflash_Close pFile == QM_NULL\r\n");
        return -1;
    }
    if (!g.initialised) {
        Print("part: Sflash_Close not Sflash_Init\r\n");
        return -1;
    }
    if (!IsOpenHandle(handle)) {
        Print("part: Sflash_Close the handle is not the open partition\r\n");
        return -1;
    }
    if (!HasBackEnd("partition_close", handle->mediumFlags)) return -1;
    const PartitionEntry entry = *g.open;
    const bool created = g.created;
    const bool changed = g.changed;
    g.open.reset();  // the handle is released on every outcome from here on
    if (!changed) return 0;
    if (!created && entry.dataLength == g.lengthAtOpen) {
        Print("partition_close:data len is equal, no update p_table\r\n");
        return 0;
    }

    CallbackBuffer table(TableBufferSize());
    if (!table) {
        Print("part: Sflash_Close buf malloc fail\r\n");
        return -1;
    }
    uint32_t count = 0;
    if (!ReadTable(table, count)) {
        Print("part: Sflash_Close read fail\r\n");
        return -1;
    }
    std::optional<uint32_t> at;
    if (count <= kMaxPartitions) at = FindEntry(table, count, entry.name.c_str());
    if (!at) {
        if (count >= kMaxPartitions) {
            Print("part: Sflash_Close file_num is more than the max(%u)\r\n", kMaxPartitions);
            return -1;
        }
        at = count++;
        Put32(table.get(), count);
    }
    EncodePartitionEntry(entry, table.get() + kTableHeaderSize + kPartitionEntrySize * *at);
    PrintEntry("close", entry);

    const uint32_t pages = PartitionTablePages(count, g.pageSize);
    uint32_t lastErased = kNoBlock;
    Print("write table page:%u\r\n", g.tablePage);
    if (!ProgramPages(g.tablePage, table.get(), pages, true, lastErased)) {
        Print("part: Sflash_Close write partition table fail, page:%u\r\n", g.tablePage);
        return -1;
    }
    const uint32_t backupPage = g.tablePage + g.pagesPerBlock;
    Print("write table back page:%u\r\n", backupPage);
    if (!ProgramPages(backupPage, table.get(), pages, true, lastErased)) {
        Print("part: Sflash_Close write partition table back fail, page:%u\r\n", backupPage);
        return -1;
    }
    return 0;
}

}  // namespace kestrow::image
