// The partition library over a flash whose content is the input: the table is
// found (behind the boot loader's "SPIP" record or at a given page), each
// partition it names is opened, written and closed. Every flash access the
// library asks for must stay on the flash.
#include "kestrow/image/partition.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace kestrow::image;

constexpr uint32_t kPage = 256;
constexpr uint32_t kPagesPerBlock = 16;  // 4 KiB erase blocks keep the flash small
constexpr uint32_t kBlock = kPage * kPagesPerBlock;
constexpr uint32_t kTotal = 64 * kBlock;

struct Flash {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kTotal, 0xFF);

    static void Check(uint64_t offset, uint64_t length) {
        if (offset + length > kTotal) std::abort();  // the library left the flash
    }
    PartitionCallbacks Callbacks() {
        PartitionCallbacks cb = HostMemoryCallbacks();
        cb.erase = [this](uint32_t block) {
            Check(uint64_t(block) * kBlock, kBlock);
            std::memset(bytes.data() + size_t(block) * kBlock, 0xFF, kBlock);
            return 0;
        };
        cb.write = [this](uint32_t page, const uint8_t* data, uint32_t count) {
            Check(uint64_t(page) * kPage, uint64_t(count) * kPage);
            for (size_t i = 0; i < size_t(count) * kPage; ++i) bytes[size_t(page) * kPage + i] &= data[i];
            return 0;
        };
        cb.read = [this](uint32_t page, uint8_t* data, uint32_t count) {
            Check(uint64_t(page) * kPage, uint64_t(count) * kPage);
            std::memcpy(data, bytes.data() + size_t(page) * kPage, size_t(count) * kPage);
            return 0;
        };
        return cb;
    }
};

}  // namespace

// Input: one byte choosing the table's page (0 = find it behind "SPIP",
// otherwise that many blocks in), then the flash content from offset 0.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    Flash flash;
    std::memcpy(flash.bytes.data(), data + 1, std::min<size_t>(size - 1, kTotal));
    uint32_t tablePage = uint32_t(data[0] % 64) * kPagesPerBlock;
    PartitionMediumInfo info{kPage, kPagesPerBlock, kTotal};
    if (Partition_Init(flash.Callbacks(), &info, tablePage) != 0) return 0;

    // Names as the table holds them: every entry's name field, read raw.
    std::vector<std::string> names = {"A", "KERNEL", "MAC"};
    const uint32_t tableAt = tablePage != 0 ? tablePage * kPage : 0;
    if (tableAt != 0) {
        uint32_t count = PartitionCountFromWord(flash.bytes[tableAt] | flash.bytes[tableAt + 1] << 8 |
                                                flash.bytes[tableAt + 2] << 16 | uint32_t(flash.bytes[tableAt + 3]) << 24);
        for (uint32_t i = 0; i < std::min(count, kMaxPartitions); ++i) {
            size_t at = tableAt + 4 + size_t(i) * kPartitionEntrySize;
            if (at + kPartitionEntrySize > kTotal) break;
            names.push_back(DecodePartitionEntry(flash.bytes.data() + at).name);
        }
    }
    const uint8_t payload[300] = {1, 2, 3};
    for (const std::string& name : names) {
        PartitionHandle* handle = Partition_Open(name.c_str());
        if (handle == nullptr) continue;
        Partition_Write(handle, payload, sizeof payload);
        Partition_Close(handle);
    }
    PartitionCreateInfo request;
    std::strcpy(request.name, "NEW");
    request.sizeKiB = 4;
    if (PartitionHandle* created = Partition_Creat(&request)) {
        Partition_Write(created, payload, sizeof payload);
        Partition_Close(created);
    }
    return 0;
}
