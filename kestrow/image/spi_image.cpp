#include "kestrow/image/spi_image.h"

#include "kestrow/base/atomic_file.h"
#include "kestrow/base/file_kind.h"
#include "kestrow/config/chip_types.h"
#include "kestrow/config/file_io.h"
#include "kestrow/base/little_endian.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/image/image_flash.h"
#include "kestrow/image/partition.h"
#include "kestrow/image/spi_image_format.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kestrow::image {

const std::string_view kDefaultEnvironment =
    "sf_hz=20000000\r\n"
    "kernel_addr=0x23000\r\n"
    "kernel_size=0x200000\r\n"
    "fs_addr=0x230000\r\n"
    "loadaddr=0x82008000\r\n"
    "console=ttySQM0,115200n8\r\n"
    "mtd_root=/dev/mtdblock1\r\n"
    "init=/sbin/init\r\n"
    "memsize=64M\r\n"
    "rootfstype=squashfs\r\n"
    "ethaddr=00:01:02:B4:36:56\r\n"
    "setcmd=setenv bootargs console=${console} root=${mtd_root} rootfstype=${rootfstype} init=${init} "
    "mem=${memsize}\r\n"
    "read_kernel=sf probe 0:0 ${sf_hz} 0; sf read ${loadaddr} ${kernel_addr} ${kernel_size}\r\n"
    "boot_normal=readcfg; run read_kernel; bootm ${loadaddr}\r\n"
    "bootcmd=run setcmd boot_normal\r\n"
    "vram=12M\r\n"
    "erase_env=sf probe 0:0 ${sf_hz} 0; sf erase 0x20000 0x2000\r\n";

namespace {

constexpr uint32_t kFillChunk = 524288;  // the image is laid down in chunks of 0xFF of this size
constexpr size_t kBootHeaderSize = 512;
constexpr uint32_t kClockCap = 20'000'000;
constexpr uint32_t kMaxBootBlocks = 255;  // the flash record keeps the count in one byte
// RAM list entries with these address words are written as the word alone;
// the second ends the list.
constexpr uint32_t kRamMarkerA = 0x66668881;
constexpr uint32_t kRamMarkerB = 0x88888888;
constexpr uint32_t kRamEndMarker = kRamMarkerB;

[[gnu::format(printf, 1, 2)]] std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string LowerAscii(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string TrimLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

uint16_t ClockDivider(uint32_t base, uint32_t clock) {
    const uint32_t q = base / std::min(clock, kClockCap);
    return q < 2 ? 0 : uint16_t((q / 2 - 1) & 0xFF);
}

std::string FlashName(const config::SpiNorInfo& record) {
    return std::string(record.part_number, strnlen(record.part_number, sizeof record.part_number));
}

class SpiImageBuild {
public:
    SpiImageBuild(const config::BurnConfig& config, SpiImageReporter& reporter)
        : config_(config), reporter_(reporter) {}

    bool Run(const std::string& flashName, const std::string& outputPath);

private:
    // Adds one line to the failure message; always false.
    bool Fail(const std::string& text) {
        if (!failure_.empty()) failure_ += "\n";
        failure_ += text;
        return false;
    }
    // One of the data partitions the build fills, in the order they are written.
    struct DataArea {
        bool skip;
        std::string text;
        const char* partition;
        const char* checkFail;
        const char* writeFail;
        size_t maxText;  // 0: as large as the partition
    };
    std::vector<DataArea> DataAreas() const;

    // Checks of what the build is given, all before the first byte is written.
    bool CheckListsAreWhole(const std::string& flashName);
    bool SelectFlash(const std::string& flashName);
    bool CheckGeometry();
    bool ReadBootLoader();
    bool PrepareRequests();
    bool CheckPartitionsFit();
    bool CheckDataAreas();
    bool CheckPartition(const std::string& name);
    // The build itself.
    bool FillErased(int fd);
    bool InitPartitions();
    bool CreatePartitions();
    bool WritePartitionData(const std::vector<uint8_t>& data, const std::string& name);
    bool WriteDataAreas();
    bool WriteBootArea(int fd);

    bool SkipsMacAndEnv() const {
        return !config::ChipTypeOrReserved(config_.chip_type).spiImageIdentityAreas || config_.platform_type == 2;
    }
    std::string BootPath() const { return config::ResolveProgramPath(config_.path_nandboot); }
    uint32_t PagesPerBlock() const { return flash_.erase_size / flash_.page_size; }

    const config::BurnConfig& config_;
    SpiImageReporter& reporter_;
    config::SpiNorInfo flash_{};
    std::vector<uint8_t> boot_;
    uint32_t bootBlocks_ = 0;
    std::vector<PartitionCreateInfo> requests_;
    std::unique_ptr<ImageFlash> image_;
    std::string lastDiagnostic_;  // the partition library's last line: why a call failed
    std::string failure_;
};

// An image for an external programmer is right or not made: a list entry the
// configuration file did not read whole (an unknown type or medium, a missing
// field) would otherwise become a partition nobody asked for.
bool SpiImageBuild::CheckListsAreWhole(const std::string& flashName) {
    bool whole = true;
    for (const config::MalformedEntry& m : config_.malformed_entries) {
        bool used = m.list == config::kPartitionListKey || m.list == config::kBinDownloadListKey ||
                    m.list == config::kFsImageListKey;
        if (m.list == config::kSpiNorListKey) {
            used = m.index < config_.spinor_list.size() && FlashName(config_.spinor_list[m.index]) == flashName;
        }
        if (!used) continue;
        whole = Fail("malformed configuration entry, " + m.Describe());
    }
    return whole;
}

bool SpiImageBuild::SelectFlash(const std::string& flashName) {
    std::string names;
    std::vector<std::string> alike;
    for (const config::SpiNorInfo& record : config_.spinor_list) {
        const std::string name = FlashName(record);
        if (name == flashName) {
            flash_ = record;
            return true;
        }
        names += (names.empty() ? "" : ", ") + name;
        // A name asked in another letter case, or only its beginning.
        if (!flashName.empty() && LowerAscii(name).starts_with(LowerAscii(flashName))) alike.push_back(name);
    }
    Fail("not find the spiflash!");
    if (config_.spinor_list.empty()) return Fail("\"" + flashName + "\": the SPI NOR list is empty");
    std::string why = "\"" + flashName + "\" is not in the SPI NOR list (" + names + ")";
    for (size_t i = 0; i < alike.size(); ++i) why += (i == 0 ? "; did you mean " : " or ") + alike[i];
    return Fail(why + (alike.empty() ? "" : "?"));
}

bool SpiImageBuild::CheckGeometry() {
    const std::string name = FlashName(flash_);
    if (flash_.page_size == 0 || flash_.erase_size < flash_.page_size || flash_.erase_size % flash_.page_size != 0) {
        Fail("spiflash page size or erase size is error");
        return Fail(Format("%s: the erase size %u is not a whole number of %u-byte pages", name.c_str(),
                           flash_.erase_size, flash_.page_size));
    }
    if (flash_.total_size == 0 || flash_.total_size % kFillChunk != 0) {
        Fail("spiflash total size is error");
        return Fail(Format("%s: the total size %u bytes is not a whole number of 512 KiB", name.c_str(),
                           flash_.total_size));
    }
    return true;
}

// The whole boot loader is read up front: the boot area's size follows from
// it, and a loader without the "SPIP" marker would give an image that names
// no flash (the partition library, a burn and `--inspect` all look there).
bool SpiImageBuild::ReadBootLoader() {
    const std::string path = BootPath();
    if (const std::string kind = base::NonRegularKind(path); !kind.empty()) {
        Fail("creat boot file fail");
        return Fail("the boot loader " + path + " is " + kind + ", not a regular file");
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        // The partition library would find no table start behind an empty boot area.
        Fail("creat spiimage fhalib_init fail!");
        return Fail("the boot loader " + path + " does not exist (path nandboot)");
    }
    if (fd < 0) {
        Fail("creat boot file fail");
        return Fail("cannot open the boot loader " + path + ": " + std::strerror(errno));
    }
    std::string bytes;
    char chunk[65536];
    ssize_t n;
    while ((n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
        if (n > 0) bytes.append(chunk, size_t(n));
    }
    const int readError = n < 0 ? errno : 0;
    ::close(fd);
    if (readError != 0) {
        Fail("read file fail");
        return Fail("cannot read the boot loader " + path + ": " + std::strerror(readError));
    }
    if (bytes.empty()) {
        Fail("creat spiimage fhalib_init fail!");
        return Fail("the boot loader " + path + " is empty");
    }
    if (bytes.size() < kBootHeaderSize) {
        Fail("read len error");
        return Fail(Format("the boot loader %s is %zu bytes, shorter than its %zu-byte header", path.c_str(),
                           bytes.size(), kBootHeaderSize));
    }
    boot_.assign(bytes.begin(), bytes.end());
    if (FindFlashRecordMarker(boot_.data(), boot_.size()) < 0) {
        return Fail("the boot loader " + path + " has no \"SPIP\" marker in its first 600 bytes: the flash record "
                    "has no place in it, and no burn or --inspect could read the image back");
    }
    bootBlocks_ = BootAreaBlocks(boot_.size(), flash_.page_size, PagesPerBlock());
    if (bootBlocks_ > kMaxBootBlocks) {
        return Fail(Format("the boot loader needs %u blocks; the flash record holds at most %u", bootBlocks_,
                           kMaxBootBlocks));
    }
    return true;
}

bool SpiImageBuild::PrepareRequests() {
    for (size_t i = 0; i < config_.partitions.size(); ++i) {
        const config::PartitionEntry& entry = config_.partitions[i];
        if (entry.size_kib == 0) return Fail("partition size must be not zero");
        if (entry.name.size() > kPartitionNameMax) return Fail("name len more than 7");
        if (entry.medium == config::kMediumSpiNand) continue;

        PartitionCreateInfo r;
        std::memcpy(r.name, entry.name.data(), entry.name.size());
        r.sizeKiB = entry.size_kib;
        r.type = entry.type;
        r.readWrite = entry.read_write;
        r.hidden = entry.hidden;
        r.index = uint8_t(i + 1);
        r.mediumFlags = uint8_t((config_.chip_mode == config::kModeSpiNorAndNand ? kMediumFlagBit : 0) |
                                (entry.medium == config::kMediumSpiNand ? kMediumTypeSpiNand : 0));
        if (entry.type == config::kPartitionFs) {
            const config::FsImage* image = nullptr;
            for (const config::FsImage& fs : config_.fs_images) {
                if (fs.partition == entry.name) {
                    image = &fs;
                    break;
                }
            }
            const auto endsWith = [](const std::string& s, std::string_view end) {
                return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
            };
            if (image == nullptr) return Fail("check fs type fail");
            if (endsWith(image->path, "sqsh4")) {
                r.fsType = 0;
            } else if (endsWith(image->path, "jffs2")) {
                r.fsType = 1;
            } else if (endsWith(image->path, "yaffs2")) {
                r.fsType = 2;
            } else {
                return Fail("check fs type fail");
            }
        } else if (entry.type == config::kPartitionBin) {
            const config::BinDownload* bin = nullptr;
            for (const config::BinDownload& b : config_.bin_downloads) {
                if (b.partition == entry.name) {
                    bin = &b;
                    break;
                }
            }
            if (bin == nullptr) return Fail("it not have the bin partition");
            r.loadAddress = bin->load_address;
            r.verify = bin->compare;
            r.backup = bin->backup;
        }
        requests_.push_back(r);
    }
    return true;
}

// What the partition library would refuse, said with the sizes: too many
// partitions, a name twice, or more blocks than the flash has after the boot
// area and the two tables.
bool SpiImageBuild::CheckPartitionsFit() {
    if (requests_.size() > kMaxPartitions) {
        Fail("creat the partition fail");
        return Fail(Format("the list has %zu SPI NOR partitions; the partition table holds at most %u",
                           requests_.size(), kMaxPartitions));
    }
    for (size_t i = 0; i < requests_.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (std::strcmp(requests_[i].name, requests_[j].name) != 0) continue;
            Fail("creat the partition fail");
            return Fail(std::string("two partitions are named ") + requests_[i].name);
        }
    }
    const uint64_t pageBytes = flash_.page_size;
    const uint64_t usedPages = uint64_t(bootBlocks_ + 2) * PagesPerBlock();
    const uint64_t freePages = flash_.total_size / pageBytes > usedPages ? flash_.total_size / pageBytes - usedPages : 0;
    uint64_t neededPages = 0;
    std::string each;
    for (const PartitionCreateInfo& r : requests_) {
        const uint64_t pages = PartitionPages(r, flash_.page_size, PagesPerBlock());
        neededPages += pages;
        each += Format("%s%s %llu", each.empty() ? "" : ", ", r.name,
                       static_cast<unsigned long long>(pages * pageBytes / 1024));
    }
    if (neededPages <= freePages) return true;
    Fail("creat the partition fail");
    return Fail(Format("the partitions need %llu KiB in whole %u KiB blocks (%s KiB); %s has %llu KiB for them "
                       "(%u KiB less %u boot blocks and the two partition table blocks)",
                       static_cast<unsigned long long>(neededPages * pageBytes / 1024), flash_.erase_size / 1024,
                       each.c_str(), FlashName(flash_).c_str(),
                       static_cast<unsigned long long>(freePages * pageBytes / 1024), flash_.total_size / 1024,
                       bootBlocks_));
}

std::vector<SpiImageBuild::DataArea> SpiImageBuild::DataAreas() const {
    // The Bluetooth record reports with the MAC texts.
    return {
        {SkipsMacAndEnv(), config_.mac_current_high + ":" + config_.mac_current_low, "MAC", "check_size MAC fail",
         "down load MAC fail", kMaxDataText},
        {config_.serial_burn == 0, config_.serial_prefix + config_.serial_current_low, "SEQ", "check_size SEQ fail",
         "down load SEQ fail", kMaxDataText},
        {SkipsMacAndEnv(), std::string(kDefaultEnvironment), "ENV", "check_size ENV fail", "down load ENV fail", 0},
        {config_.blue_burn == 0, config_.blue_current, "BTADDR", "check_size MAC fail", "down load MAC fail",
         kMaxDataText},
    };
}

bool SpiImageBuild::CheckDataAreas() {
    for (const DataArea& area : DataAreas()) {
        if (area.skip) continue;
        if (!CheckPartition(area.partition)) return Fail(area.checkFail);
        if (area.maxText != 0 && area.text.size() > area.maxText) {
            Fail(Format("the %s text is %zu bytes, more than %zu", area.partition, area.text.size(), area.maxText));
            return Fail(area.writeFail);
        }
    }
    return true;
}

bool SpiImageBuild::CheckPartition(const std::string& name) {
    for (const config::PartitionEntry& entry : config_.partitions) {
        if (entry.name != name) continue;
        if (entry.size_kib != 0) return true;
        return Fail("the name of partition size is zero");
    }
    if (config::ChipTypeOrReserved(config_.chip_type).quietPartitionCheckOnRtos && config_.platform_type == 2)
        return false;
    return Fail("the name is no in partition table");
}

bool SpiImageBuild::FillErased(int fd) {
    const std::vector<uint8_t> erased(kFillChunk, 0xFF);
    for (uint32_t chunk = 0; chunk < flash_.total_size / kFillChunk; ++chunk) {
        const ssize_t n = WriteAt(fd, erased.data(), erased.size(), uint64_t(chunk) * kFillChunk);
        if (n < 0) return Fail("WriteFile file ff fail");
        if (size_t(n) != erased.size()) return Fail("WriteFile len error");
    }
    return true;
}

bool SpiImageBuild::InitPartitions() {
    const uint32_t pagesPerBlock = PagesPerBlock();
    flash_.boot_blocks = uint8_t(bootBlocks_);

    PartitionCallbacks cb = HostMemoryCallbacks();
    cb.erase = [this](uint32_t block) { return image_->Erase(block); };
    cb.write = [this](uint32_t page, const uint8_t* data, uint32_t count) { return image_->Write(page, data, count); };
    cb.read = [this](uint32_t page, uint8_t* data, uint32_t count) { return image_->Read(page, data, count); };
    cb.print = [this](const std::string& text) {
        lastDiagnostic_ = text;
        reporter_.Diagnostic(text);
        return 0;
    };
    const PartitionMediumInfo medium{flash_.page_size, pagesPerBlock, flash_.total_size};
    if (Partition_Init(cb, &medium, bootBlocks_ * pagesPerBlock) != 0) {
        const std::string why = lastDiagnostic_;
        reporter_.Diagnostic("Partition_Init fail\n");
        reporter_.Diagnostic("fhalib_init fail\n");
        Fail("creat spiimage fhalib_init fail!");
        return Fail("the partition library refused the flash: " + TrimLineEnd(why));
    }
    return true;
}

bool SpiImageBuild::CreatePartitions() {
    for (const PartitionCreateInfo& r : requests_) {
        PartitionHandle* handle = Partition_Creat(&r);
        if (handle == nullptr) {
            Fail("creat the partition fail");
            return Fail(std::string(r.name) + ": " + TrimLineEnd(lastDiagnostic_));
        }
        if (Partition_Close(handle) != 0) return Fail("close the partition fail");
    }
    return true;
}

bool SpiImageBuild::WritePartitionData(const std::vector<uint8_t>& data, const std::string& name) {
    if (data.empty() || name.empty()) return Fail("data == null or data_len == 0 or file_name == null");
    PartitionHandle* handle = Partition_Open(name.c_str());
    if (handle == nullptr) return Fail("Partition_Open fail");
    if (Partition_Write(handle, data.data(), uint32_t(data.size())) < 0) {
        Partition_Close(handle);
        return Fail("Partition_Write fail");
    }
    if (Partition_Close(handle) != 0) return Fail("Partition_Close fail");
    return true;
}

bool SpiImageBuild::WriteDataAreas() {
    for (const DataArea& area : DataAreas()) {
        if (area.skip) continue;
        if (!WritePartitionData(DataRecord(area.text), area.partition)) return Fail(area.writeFail);
    }
    return true;
}

bool SpiImageBuild::WriteBootArea(int fd) {
    std::vector<uint8_t> boot = boot_;
    std::string error;
    if (!PatchBootLoader(boot, config_, flash_, error)) return Fail(error);
    const ssize_t n = WriteAt(fd, boot.data(), boot.size(), 0);
    if (n < 0) return Fail("read len fail");
    if (size_t(n) != boot.size()) return Fail("WriteFile len fail");
    return true;
}

bool SpiImageBuild::Run(const std::string& flashName, const std::string& outputPath) {
    bool writing = false;
    const auto finish = [&](bool ok) {
        if (ok) {
            reporter_.ShowMessage(kSpiImageDoneText, SpiImageReporter::Kind::Done);
        } else {
            reporter_.ShowMessage(failure_ + "\n" + (writing ? kSpiImageRemovedText : kSpiImageRefusedText),
                                  writing ? SpiImageReporter::Kind::Failed : SpiImageReporter::Kind::Refused);
        }
        return ok;
    };
    // Every check on what the build is given comes before the first byte is written.
    if (!CheckListsAreWhole(flashName) || !SelectFlash(flashName) || !CheckGeometry() || !ReadBootLoader() ||
        !PrepareRequests() || !CheckPartitionsFit() || !CheckDataAreas()) {
        return finish(false);
    }
    // Built beside the target under a temporary name; the target is replaced
    // only by the finished image, and only when it is a regular file.
    base::AtomicFile pending(outputPath);
    std::string error;
    if (!pending.Open(error)) {
        Fail("creat spiimage CreateFile fail!");
        Fail(error);
        return finish(false);
    }
    writing = true;
    std::lock_guard library(PartitionLibraryMutex());
    image_ = std::make_unique<ImageFlash>(pending.fd(), flash_.page_size, flash_.erase_size,
                                          [this](const std::string& line) { reporter_.Diagnostic(line); });
    if (!FillErased(pending.fd()) || !InitPartitions() || !CreatePartitions() || !WriteDataAreas()) {
        return finish(false);
    }
    // The boot loader goes last: it overwrites the start of the image.
    if (!WriteBootArea(pending.fd())) {
        reporter_.Diagnostic("FHA_download_boot fail\n");
        Fail("creat spiimage download boot fail!");
        return finish(false);
    }
    if (!pending.Commit(error)) {
        Fail("creat spiimage cannot finish the image: " + error);
        return finish(false);
    }
    return finish(true);
}

}  // namespace

uint32_t BootAreaBlocks(uint64_t bootSize, uint32_t pageSize, uint32_t pagesPerBlock) {
    if (bootSize == 0) return 0;
    const uint64_t pages = (bootSize + pageSize - 1) / pageSize + (bootSize / 10 + pageSize - 1) / pageSize;
    return uint32_t((pages + pagesPerBlock - 1) / pagesPerBlock);
}

bool PatchBootLoader(std::vector<uint8_t>& boot, const config::BurnConfig& config,
                     const config::SpiNorInfo& flashRecord, std::string& error) {
    if (boot.size() < kBootHeaderSize) {
        error = "read len error";
        return false;
    }
    uint8_t* h = boot.data();
    const config::ChipTypeInfo& chip = config::ChipTypeOrReserved(config.chip_type);
    const bool patchesHeader = chip.spiImageHeader != config::SpiImageHeader::None;
    if (patchesHeader && flashRecord.clock == 0) {
        error = "spiflash clock is zero";
        return false;
    }
    const uint32_t size = uint32_t(boot.size());
    if (chip.spiImageHeader == config::SpiImageHeader::LayoutA) {
        std::memcpy(h + 4, chip.spiImageMagic.data(), 8);
        Put32(h + 12, size - uint32_t(kBootHeaderSize));
        Put16(h + 16, ClockDivider(chip.spiImageBaseClock, flashRecord.clock));
        Put16(h + 24, 1);
        Put16(h + 28, 6);
        Put32(h + 32, chip.spiImageLoad);
        Put32(h + 36, 1);
        if (chip.spiImageRamList) {
            const size_t pair = size_t(std::max(config.clock_index, 0));
            const config::RamTable empty;
            const config::RamTable& ram =
                pair < config.active_ram_tables.size() ? config.active_ram_tables[pair] : empty;
            size_t at = 44;
            bool ended = false;
            for (const config::RamRegister& reg : ram) {
                const bool marker = reg.address == kRamMarkerA || reg.address == kRamMarkerB;
                if (at + (marker ? 4 : 8) > kBootHeaderSize) {
                    error = "the RAM register list does not fit the 512-byte boot header";
                    return false;
                }
                Put32(h + at, reg.address);
                if (!marker) Put32(h + at + 4, reg.value);
                at += marker ? 4 : 8;
                ended = ended || reg.address == kRamEndMarker;
            }
            // The boot ROM reads registers until the end marker: a table
            // without one gets it, or the ROM would read on into the header.
            if (!ended) {
                if (at + 4 > kBootHeaderSize) {
                    error = "the RAM register list leaves no room for its end marker in the 512-byte boot header";
                    return false;
                }
                Put32(h + at, kRamEndMarker);
            }
        }
    } else if (chip.spiImageHeader == config::SpiImageHeader::LayoutB) {
        std::memcpy(h + 32, chip.spiImageMagic.data(), 8);
        Put32(h + 40, size);
        Put16(h + 44, ClockDivider(chip.spiImageBaseClock, flashRecord.clock));
        Put16(h + 52, 0);
        Put32(h + 60, 0x00800000);
    }
    const long marker = FindFlashRecordMarker(boot.data(), boot.size());
    if (marker >= 0) std::memcpy(boot.data() + marker + 4, &flashRecord, kFlashRecordSize);
    return true;
}

bool MakeSpiImage(const config::BurnConfig& config, const std::string& flashName, const std::string& outputPath,
                  SpiImageReporter& reporter) {
    SpiImageBuild build(config, reporter);
    return build.Run(flashName, outputPath);
}

}  // namespace kestrow::image
