#include "kestrow/image/spi_image_inspect.h"

#include "kestrow/base/file_kind.h"
#include "kestrow/base/little_endian.h"
#include "kestrow/image/spi_image_format.h"

#include <cstdio>
#include <cstring>
#include <fstream>

namespace kestrow::image {

namespace {

bool ReadAt(std::ifstream& in, uint64_t offset, uint8_t* data, size_t length) {
    in.clear();
    in.seekg(std::streamoff(offset));
    in.read(reinterpret_cast<char*>(data), std::streamsize(length));
    return size_t(in.gcount()) == length;
}

bool ReadTable(std::ifstream& in, const SpiImageLayout& layout, uint64_t offset, SpiImageTable& table,
               std::string& error) {
    table.offset = offset;
    uint8_t word[4];
    if (offset + layout.pageSize > layout.fileSize || !ReadAt(in, offset, word, 4)) {
        error = "the image ends before its partition table at offset " + std::to_string(offset);
        return false;
    }
    table.countWord = Get32(word);
    const uint32_t count = PartitionCountFromWord(table.countWord);
    table.countValid = count <= kMaxPartitions;
    if (!table.countValid) return true;
    table.raw.resize(4 + size_t(kPartitionEntrySize) * count);
    if (!ReadAt(in, offset, table.raw.data(), table.raw.size())) {
        error = "cannot read the partition table at offset " + std::to_string(offset);
        return false;
    }
    for (uint32_t i = 0; i < count; ++i) {
        table.entries.push_back(DecodePartitionEntry(table.raw.data() + 4 + kPartitionEntrySize * i));
    }
    return true;
}

const char* TypeName(uint8_t type) {
    switch (type) {
        case kPartitionData: return "DATA";
        case kPartitionBin: return "BIN";
        case kPartitionFs: return "FS";
        default: return "?";
    }
}

std::string Flags(const PartitionEntry& e) {
    std::string flags = e.readWrite ? "rw" : "ro";
    if (e.hidden) flags += ",hidden";
    if (e.verify) flags += ",verify";
    if (e.mediumFlags & kMediumFlagBit) flags += ",both-media";
    if (e.type == kPartitionFs) flags += ",fs" + std::to_string(e.fsType);
    return flags;
}

void AppendTable(std::string& out, const char* title, const SpiImageTable& table) {
    char line[256];
    if (!table.countValid) {
        std::snprintf(line, sizeof line, "%s at 0x%llx: unreadable, entry count word 0x%08x\n", title,
                      static_cast<unsigned long long>(table.offset), table.countWord);
        out += line;
        return;
    }
    std::snprintf(line, sizeof line, "%s at 0x%llx: %zu entries\n", title, static_cast<unsigned long long>(table.offset),
                  table.entries.size());
    out += line;
    if (table.entries.empty()) return;
    std::snprintf(line, sizeof line, "  %-2s %-6s %-4s %-22s %10s %10s %11s %10s\n", "#", "name", "type", "flags",
                  "size(KiB)", "start", "data len", "backup");
    out += line;
    int row = 1;
    for (const PartitionEntry& e : table.entries) {
        char backup[16] = "-";
        if (e.type != kPartitionFs && e.backupOffset != kNoBackup) {
            std::snprintf(backup, sizeof backup, "0x%x", e.backupOffset);
        }
        std::snprintf(line, sizeof line, "  %-2d %-6s %-4s %-22s %10u %#10x %11u %10s\n", row++, e.name.c_str(),
                      TypeName(e.type), Flags(e).c_str(), e.sizeKiB, e.start, e.dataLength, backup);
        out += line;
    }
}

}  // namespace

bool ReadSpiImageLayout(const std::string& path, SpiImageLayout& layout, std::string& error) {
    layout = SpiImageLayout{};
    // A named pipe or a device would be read for ever (or not at all).
    if (const std::string kind = base::NonRegularKind(path); !kind.empty()) {
        error = "it is " + kind + ", not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    in.seekg(0, std::ios::end);
    layout.fileSize = uint64_t(in.tellg());

    uint8_t head[kFlashRecordReadSpan] = {};
    const size_t headLength = size_t(std::min<uint64_t>(layout.fileSize, sizeof head));
    if (!ReadAt(in, 0, head, headLength)) {
        error = "cannot read " + path;
        return false;
    }
    const long marker = FindFlashRecordMarker(head, headLength);
    if (marker < 0) {
        error = "no flash record (\"SPIP\") in the first 600 bytes: not an SPI NOR image of this station";
        return false;
    }
    const uint8_t* record = head + marker + 4;
    layout.recordOffset = uint32_t(marker + 4);
    layout.totalSize = Get32(record + kRecordTotalSize);
    layout.pageSize = Get32(record + kRecordPageSize);
    layout.eraseSize = Get32(record + kRecordEraseSize);
    layout.bootBlocks = record[kRecordBootBlocks];
    layout.flashName.assign(reinterpret_cast<const char*>(record + kRecordName),
                            strnlen(reinterpret_cast<const char*>(record + kRecordName), kFlashRecordSize - kRecordName));
    if (layout.pageSize < 256 || layout.eraseSize == 0 || layout.eraseSize % layout.pageSize != 0) {
        error = "the flash record's page size " + std::to_string(layout.pageSize) + " or erase size " +
                std::to_string(layout.eraseSize) + " is unusable";
        return false;
    }
    const uint64_t tableOffset = uint64_t(layout.bootBlocks) * layout.eraseSize;
    if (!ReadTable(in, layout, tableOffset, layout.table, error)) return false;
    if (!ReadTable(in, layout, tableOffset + layout.eraseSize, layout.backup, error)) return false;
    layout.tablesAgree = layout.table.countValid && layout.backup.countValid && layout.table.raw == layout.backup.raw;
    return true;
}

std::string FormatSpiImageLayout(const SpiImageLayout& layout) {
    std::string out;
    char line[256];
    std::snprintf(line, sizeof line, "Image size:      %llu bytes\n", static_cast<unsigned long long>(layout.fileSize));
    out += line;
    std::snprintf(line, sizeof line,
                  "Flash:           %s, total %u bytes, page %u bytes, erase block %u bytes (record at 0x%x)\n",
                  layout.flashName.c_str(), layout.totalSize, layout.pageSize, layout.eraseSize, layout.recordOffset);
    out += line;
    if (layout.totalSize != layout.fileSize) out += "Warning:         the image size differs from the flash size\n";
    std::snprintf(line, sizeof line, "Boot area:       %u blocks (%llu bytes)\n", layout.bootBlocks,
                  static_cast<unsigned long long>(uint64_t(layout.bootBlocks) * layout.eraseSize));
    out += line;
    AppendTable(out, "Partition table", layout.table);
    AppendTable(out, "Backup table", layout.backup);
    out += layout.tablesAgree ? "Table and backup table agree.\n" : "Table and backup table DIFFER.\n";
    return out;
}

}  // namespace kestrow::image
