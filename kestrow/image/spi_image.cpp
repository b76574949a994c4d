#include "kestrow/image/spi_image.h"

#include "kestrow/base/atomic_file.h"
#include "kestrow/config/chip_types.h"
#include "kestrow/config/file_io.h"
#include "kestrow/base/little_endian.h"
#include "kestrow/config/station_folder.h"
#include "kestrow/image/partition.h"
#include "kestrow/image/spi_image_format.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
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
constexpr size_t kMaxDataText = 252;  // MAC, SEQ and BTADDR records live in 256 bytes
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

// pwrite/pread of the whole range; the result is the byte count moved, or -1.
ssize_t WriteAt(int fd, const uint8_t* data, size_t length, uint64_t offset) {
    ssize_t n;
    do n = ::pwrite(fd, data, length, off_t(offset));
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t ReadAt(int fd, uint8_t* data, size_t length, uint64_t offset) {
    ssize_t n;
    do n = ::pread(fd, data, length, off_t(offset));
    while (n < 0 && errno == EINTR);
    return n;
}

uint16_t ClockDivider(uint32_t base, uint32_t clock) {
    const uint32_t q = base / std::min(clock, kClockCap);
    return q < 2 ? 0 : uint16_t((q / 2 - 1) & 0xFF);
}

std::string FlashName(const config::SpiNorInfo& record) {
    return std::string(record.part_number, strnlen(record.part_number, sizeof record.part_number));
}

// The output file as a flash: page n at n x page size, block b at b x erase size.
class ImageFlash {
public:
    ImageFlash(int fd, const config::SpiNorInfo& flash, SpiImageReporter& reporter)
        : fd_(fd), pageSize_(flash.page_size), eraseSize_(flash.erase_size), reporter_(reporter) {}

    int Erase(uint32_t block) {
        const std::vector<uint8_t> erased(eraseSize_, 0xFF);
        const ssize_t n = WriteAt(fd_, erased.data(), erased.size(), uint64_t(block) * eraseSize_);
        if (n < 0) reporter_.Diagnostic(Format("erase err:%d\r\n", errno));
        if (n >= 0 && size_t(n) != erased.size()) reporter_.Diagnostic("spi_flash_erase: WriteFile faild  !\r\n");
        if (n < 0 || size_t(n) != erased.size()) {
            reporter_.Diagnostic("fw:erase fail\n");
            return -1;
        }
        reporter_.Diagnostic(Format("+fw:erase :%u \r\n", block));
        return 0;
    }

    int Write(uint32_t startPage, const uint8_t* data, uint32_t count) {
        static constexpr PageMessages kMessages{
            "spi_flash_write : filehandle==INVALID_HANDLE_VALUE\r\n",
            "spi_flash_write : WriteFile NFC_FIFO_SIZE faild,err:%d\r\n",
            "spi_flash_write : dwReadSize!=NFC_FIFO_SIZE\r\n"};
        return PageByPage(startPage, count, kMessages, [&](uint32_t i, uint64_t offset) {
            return WriteAt(fd_, data + size_t(i) * pageSize_, pageSize_, offset);
        });
    }

    int Read(uint32_t startPage, uint8_t* data, uint32_t count) {
        static constexpr PageMessages kMessages{
            "nand_readsector_large : filehandle==INVALID_HANDLE_VALUE\r\n",
            "nand_readsector_large : WriteFile NFC_FIFO_SIZE faild,err:%d\r\n",
            "nand_readsector_large : dwReadSize!=NFC_FIFO_SIZE\r\n"};
        return PageByPage(startPage, count, kMessages, [&](uint32_t i, uint64_t offset) {
            return ReadAt(fd_, data + size_t(i) * pageSize_, pageSize_, offset);
        });
    }

private:
    struct PageMessages {
        const char* noFile;
        const char* systemError;  // takes the error number
        const char* shortTransfer;
    };

    // Moves `count` pages one at a time; `transfer(i, offset)` moves page i.
    template <typename Transfer>
    int PageByPage(uint32_t startPage, uint32_t count, const PageMessages& messages, Transfer transfer) {
        if (fd_ < 0) {
            reporter_.Diagnostic(messages.noFile);
            return -1;
        }
        for (uint32_t i = 0; i < count; ++i) {
            const ssize_t n = transfer(i, uint64_t(startPage + i) * pageSize_);
            if (n < 0) {
                char text[128];
                std::snprintf(text, sizeof text, messages.systemError, errno);
                reporter_.Diagnostic(text);
                return -1;
            }
            if (size_t(n) != pageSize_) {
                reporter_.Diagnostic(messages.shortTransfer);
                return -1;
            }
        }
        return 0;
    }

    int fd_;
    uint32_t pageSize_;
    uint32_t eraseSize_;
    SpiImageReporter& reporter_;
};

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
    bool CheckListsAreWhole(const std::string& flashName);
    bool SelectFlash(const std::string& flashName);
    bool FillErased(int fd);
    bool InitPartitions();
    bool CreatePartitions();
    bool CheckPartition(const std::string& name);
    bool WritePartitionData(const std::vector<uint8_t>& data, const std::string& name);
    bool WriteTextArea(bool skip, const std::string& text, const std::string& partition, const char* checkFail,
                       const char* writeFail);
    bool WriteMacArea();
    bool WriteSerialArea();
    bool WriteEnvArea();
    bool WriteBtAddrArea();
    bool WriteBootArea(int fd);

    bool SkipsMacAndEnv() const {
        return !config::ChipTypeOrReserved(config_.chip_type).spiImageIdentityAreas || config_.platform_type == 2;
    }
    std::string BootPath() const { return config::ResolveProgramPath(config_.path_nandboot); }

    const config::BurnConfig& config_;
    SpiImageReporter& reporter_;
    config::SpiNorInfo flash_{};
    std::unique_ptr<ImageFlash> image_;
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
    for (const config::SpiNorInfo& record : config_.spinor_list) {
        if (FlashName(record) == flashName) {
            flash_ = record;
            return true;
        }
    }
    return Fail("not find the spiflash!");
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
    const uint32_t pagesPerBlock = flash_.erase_size / flash_.page_size;
    const auto bootSize = config::RegularFileSize(BootPath());
    const uint32_t bootBlocks = BootAreaBlocks(bootSize.value_or(0), flash_.page_size, pagesPerBlock);
    if (bootBlocks > kMaxBootBlocks) {
        return Fail(Format("the boot loader needs %u blocks; the flash record holds at most %u", bootBlocks,
                           kMaxBootBlocks));
    }
    flash_.boot_blocks = uint8_t(bootBlocks);

    PartitionCallbacks cb = HostMemoryCallbacks();
    cb.erase = [this](uint32_t block) { return image_->Erase(block); };
    cb.write = [this](uint32_t page, const uint8_t* data, uint32_t count) { return image_->Write(page, data, count); };
    cb.read = [this](uint32_t page, uint8_t* data, uint32_t count) { return image_->Read(page, data, count); };
    cb.print = [this](const std::string& text) {
        reporter_.Diagnostic(text);
        return 0;
    };
    const PartitionMediumInfo medium{flash_.page_size, pagesPerBlock, flash_.total_size};
    if (Partition_Init(cb, &medium, bootBlocks * pagesPerBlock) != 0) {
        reporter_.Diagnostic("Partition_Init fail\n");
        reporter_.Diagnostic("fhalib_init fail\n");
        return Fail("creat spiimage fhalib_init fail!");
    }
    return true;
}

bool SpiImageBuild::CreatePartitions() {
    std::vector<PartitionCreateInfo> requests;
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
        requests.push_back(r);
    }
    for (const PartitionCreateInfo& r : requests) {
        PartitionHandle* handle = Partition_Creat(&r);
        if (handle == nullptr) return Fail("creat the partition fail");
        if (Partition_Close(handle) != 0) return Fail("close the partition fail");
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

// A data record: 32-bit little-endian length, then the text without a terminator.
std::vector<uint8_t> DataRecord(std::string_view text) {
    std::vector<uint8_t> record(4 + text.size());
    Put32(record.data(), uint32_t(text.size()));
    std::memcpy(record.data() + 4, text.data(), text.size());
    return record;
}

bool SpiImageBuild::WriteTextArea(bool skip, const std::string& text, const std::string& partition,
                                  const char* checkFail, const char* writeFail) {
    if (skip) return true;
    if (!CheckPartition(partition)) return Fail(checkFail);
    if (text.size() > kMaxDataText) {
        Fail(Format("the %s text is %zu bytes, more than %zu", partition.c_str(), text.size(), kMaxDataText));
        return Fail(writeFail);
    }
    if (!WritePartitionData(DataRecord(text), partition)) return Fail(writeFail);
    return true;
}

bool SpiImageBuild::WriteMacArea() {
    return WriteTextArea(SkipsMacAndEnv(), config_.mac_current_high + ":" + config_.mac_current_low, "MAC",
                         "check_size MAC fail", "down load MAC fail");
}

bool SpiImageBuild::WriteSerialArea() {
    return WriteTextArea(config_.serial_burn == 0, config_.serial_prefix + config_.serial_current_low, "SEQ",
                         "check_size SEQ fail", "down load SEQ fail");
}

bool SpiImageBuild::WriteEnvArea() {
    if (SkipsMacAndEnv()) return true;
    if (!CheckPartition("ENV")) return Fail("check_size ENV fail");
    if (!WritePartitionData(DataRecord(kDefaultEnvironment), "ENV")) return Fail("down load ENV fail");
    return true;
}

bool SpiImageBuild::WriteBtAddrArea() {
    // The Bluetooth record reports with the MAC texts.
    return WriteTextArea(config_.blue_burn == 0, config_.blue_current, "BTADDR", "check_size MAC fail",
                         "down load MAC fail");
}

bool SpiImageBuild::WriteBootArea(int fd) {
    std::ifstream in(BootPath(), std::ios::binary);
    if (!in) return Fail("creat boot file fail");
    const auto size = config::RegularFileSize(BootPath());
    if (!size || *size == 0) return Fail("creat boot len is zero");
    std::vector<uint8_t> boot(static_cast<size_t>(*size));
    in.read(reinterpret_cast<char*>(boot.data()), std::streamsize(boot.size()));
    if (in.bad()) return Fail("read file fail");
    if (size_t(in.gcount()) < kBootHeaderSize) return Fail("read len error");
    if (size_t(in.gcount()) != boot.size()) return Fail("read len fail");
    std::string error;
    if (!PatchBootLoader(boot, config_, flash_, error)) return Fail(error);
    const ssize_t n = WriteAt(fd, boot.data(), boot.size(), 0);
    if (n < 0) return Fail("read len fail");
    if (size_t(n) != boot.size()) return Fail("WriteFile len fail");
    return true;
}

bool SpiImageBuild::Run(const std::string& flashName, const std::string& outputPath) {
    const auto finish = [&](bool ok) {
        if (ok) {
            reporter_.ShowMessage(kSpiImageDoneText, SpiImageReporter::Kind::Done);
        } else {
            reporter_.ShowMessage(failure_ + "\n" + kSpiImageRemovedText, SpiImageReporter::Kind::Failed);
        }
        return ok;
    };
    // Every check on the configuration comes before the first byte is written.
    if (!CheckListsAreWhole(flashName)) return finish(false);
    if (!SelectFlash(flashName)) return finish(false);
    if (flash_.page_size == 0 || flash_.erase_size < flash_.page_size || flash_.erase_size % flash_.page_size != 0) {
        Fail("spiflash page size or erase size is error");
        return finish(false);
    }
    if (flash_.total_size == 0 || flash_.total_size % kFillChunk != 0) {
        Fail("spiflash total size is error");
        return finish(false);
    }
    // Built beside the target under a temporary name; the target is replaced
    // only by the finished image.
    base::AtomicFile pending(outputPath);
    std::string error;
    if (!pending.Open(error)) {
        Fail("creat spiimage CreateFile fail!");
        Fail(error);
        return finish(false);
    }
    image_ = std::make_unique<ImageFlash>(pending.fd(), flash_, reporter_);
    if (!FillErased(pending.fd()) || !InitPartitions()) return finish(false);
    if (!CreatePartitions() || !WriteMacArea() || !WriteSerialArea() || !WriteEnvArea() || !WriteBtAddrArea()) {
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
