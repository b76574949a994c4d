// Writing whole files into the board's flash through the producer: the
// whole-flash image (streamed from the file) and the boot loader (with its
// header rewritten), the same over every transport.
#include "corvel/core/chip_types.h"
#include "corvel/core/little_endian.h"
#include "corvel/core/transfer_log.h"
#include "corvel/platform/files.h"
#include "corvel/platform/os.h"
#include "corvel/producer/boot_header.h"
#include "corvel/producer/session.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace corvel::producer {
namespace {

constexpr size_t kParamBlockSize = 40;
constexpr uint32_t kImagePiece = 65536;
constexpr uint32_t kMinNandPage = 512;
constexpr uint32_t kMaxNandPage = 4096;
constexpr uint32_t kColCyclePiece = 2048;  // the NAND piece when the record's col_cycle is 1
constexpr size_t kSpiHeaderSize = 512;
constexpr size_t kSpipSearch = 600;
constexpr size_t kNandParamCopyOffset = 512;
constexpr size_t kNandParamBytes = 36;
constexpr unsigned kMediumSpi = 1, kMediumNand = 3;

std::vector<uint8_t> ParamBlock(uint32_t fileSize, const T_DOWNLOAD_BIN& bin) {
    std::vector<uint8_t> block(kParamBlockSize, 0);
    PutLE32(&block[0], fileSize);
    std::memcpy(&block[4], bin.name, sizeof bin.name);
    PutLE32(&block[12], bin.param1);
    PutLE32(&block[16], bin.length);
    PutLE32(&block[20], bin.param3);
    block[24] = bin.flag;
    return block;
}

// Opens `path` and returns its size, or logs `openFail` (with the reason) and returns nullopt.
std::optional<uint32_t> OpenSized(platform::InputFile& file, const wchar_t* path, const char* openFail,
                                  const char* sizeFail) {
    std::string name = platform::ToUtf8(path);
    if (platform::FileError error = file.Open(name); error != platform::FileError::None) {
        TransferLog(openFail);
        TransferLogf("%s %s\r\n", name.c_str(), platform::FileErrorText(error));
        return std::nullopt;
    }
    if (file.Size() > 0xFFFFFFFF) {
        TransferLog(sizeFail);
        return std::nullopt;
    }
    return static_cast<uint32_t>(file.Size());
}

}  // namespace

unsigned Session::DownloadImage(const T_DOWNLOAD_BIN& bin, unsigned startCode, unsigned dataCode) {
    platform::InputFile file;
    auto sized = OpenSized(file, bin.path, "CreateFile file -1\r\n", "GetFileSize dwSize 0xFFFFFFFF\r\n");
    if (!sized) return 2;
    uint32_t fileSize = *sized;
    std::vector<uint8_t> params = ParamBlock(fileSize, bin);
    if (!Run(startCode, {.out = params.data(), .length = kParamBlockSize})) {
        TransferLog("cmd_ret != KW_SUCCESS\r\n");
        TransferLog("KW_DownLoadCmd fail\r\n");
        return 0;
    }
    // Streamed 64 KiB at a time from the file, never held whole.
    DataSource fromFile = [&file](uint8_t* buffer, size_t n) {
        if (file.Read(buffer, n)) return true;
        TransferLog("ReadFile fail\r\n");
        return false;
    };
    // An empty image sends only the start command; the program has always seen 4 for it.
    unsigned result = 4;
    for (uint32_t done = 0; done < fileSize;) {
        uint32_t piece = std::min(kImagePiece, fileSize - done);
        if (!Run(dataCode, {.source = fromFile, .length = piece})) {
            TransferLog("KW_DownLoadCmd fail\r\n");
            return 0;
        }
        done += piece;
        result = 1;
    }
    return result;
}

unsigned Session::DownloadBoot(const wchar_t* path, const T_DOWNLOAD_BIN& bin, unsigned chipType,
                               NandPieces pieces) {
    Library& lib = Lib();
    unsigned medium = ch_->mediumMode.load();
    const tag_Nand_Phy_Info nand = ch_->NandPhyInfo;
    if ((medium == 0 || medium == kMediumNand) && nand.page_size < kMinNandPage) {
        TransferLog("g_pBurnObject[nID-1].NandPhyInfo.page_size < 512\r\n");
        return 4;
    }
    if (!IsValidHandle(ch_->hDevice.load())) {
        TransferLog("hHandle -1\r\n");
        return 4;
    }
    // Without a mode command the image layout is unknown; writing a guess could brick the board.
    if (medium != kMediumSpi && medium != kMediumNand) {
        TransferLogf("%s: no medium mode set\r\n", caller_);
        return 0;
    }
    platform::InputFile file;
    auto sized = OpenSized(file, path, "CreateFile -1\r\n", "dwSize 0xFFFFFFFF\r\n");
    if (!sized) return 2;
    uint32_t fileSize = *sized;
    uint32_t page = std::min<uint32_t>(nand.page_size, kMaxNandPage);

    std::vector<uint8_t> params = ParamBlock(fileSize, bin);
    if (!Run(kBootStart, {.out = params.data(), .length = kParamBlockSize})) {
        TransferLog("KW_CommitCorvel  fail\r\n");
        return 0;
    }
    std::vector<uint8_t> image;
    if (!platform::TryResize(image, fileSize)) {
        TransferLog("NULL == buf\r\n");
        return 2;
    }
    auto read = [&](size_t offset, size_t n) { return file.Read(image.data() + offset, n); };

    T_RAM_REG table[Library::kMaxRamEntries];
    unsigned tableCount;
    {
        std::lock_guard lock(lib.ramTableMutex);
        tableCount = lib.ramTableCount;
        std::copy(lib.ramTable.begin(), lib.ramTable.begin() + tableCount, table);
    }
    BootHeaderInput header{chipType, bin.length, 0, lib.platformType.load(), lib.secureBoot.load(), page, 0,
                           std::span<const T_RAM_REG>(table, tableCount)};
    const ChipType* chip = FindChipType(chipType);
    bool hasHeader = chip != nullptr && chip->header != nullptr;
    // A signed boot loader must reach the flash as it was signed.
    bool rewrite = hasHeader && !(chip->secureAsItStands && lib.secureBoot.load() == kSecureBoot);
    size_t headerSize = 0;
    if (medium == kMediumSpi) {
        headerSize = kSpiHeaderSize;
        if (fileSize < headerSize || !read(0, headerSize)) {
            TransferLog("ReadFile 00 fail\r\n");
            return 2;
        }
        header.flashClock = ch_->SpiPhyInfo.clock;
        if (rewrite) RewriteSpiBootHeader(std::span(image.data(), headerSize), header);
        AddProgress(nID_, static_cast<unsigned>(headerSize));
    } else if (hasHeader) {
        headerSize = page;
        if (fileSize < headerSize || !read(0, headerSize)) {
            TransferLog("ReadFile 22 fail\r\n");
            return 2;
        }
        header.flashClock = nand.clock;
        header.pageCount = (fileSize + page - 1) / page;
        if (rewrite) RewriteNandBootHeader(std::span(image.data(), headerSize), header);
    }
    if (!read(headerSize, fileSize - headerSize)) {
        TransferLog("ReadFile fail\r\n");
        return 2;
    }
    if (chip != nullptr && chip->copiesFlashParameters) {
        if (medium == kMediumNand && image.size() >= kNandParamCopyOffset + kNandParamBytes) {
            std::memcpy(&image[kNandParamCopyOffset], &nand, kNandParamBytes);
        } else if (medium == kMediumSpi) {
            const char marker[] = "SPIP";
            auto searchEnd = image.begin() + static_cast<long>(std::min(image.size(), kSpipSearch));
            auto at = std::search(image.begin(), searchEnd, marker, marker + 4);
            size_t after = static_cast<size_t>(at - image.begin()) + 4;
            // The copy must fit the image; a marker too close to its end is left alone.
            if (at != searchEnd && after + sizeof(T_SFLASH_PHY_INFO) <= image.size())
                std::memcpy(&image[after], &ch_->SpiPhyInfo, sizeof(T_SFLASH_PHY_INFO));
        }
    }

    uint32_t nandPiece = pieces == NandPieces::TransferUnit ? ch_->nandTransferUnit.load()
                                                            : (nand.col_cycle == 1 ? kColCyclePiece : page);
    uint32_t piece = medium == kMediumSpi ? kImagePiece : nandPiece;
    for (uint32_t done = 0; done < fileSize;) {
        uint32_t n = std::min(piece, fileSize - done);
        if (!Run(kBootData, {.out = image.data() + done, .length = n})) {
            TransferLog(n == piece ? "KW_CommitCorvel 00 fail\r\n" : "KW_CommitCorvel 02 fail\r\n");
            TransferLog("KW_DownLoadData  fail\r\n");
            return 0;
        }
        done += n;
    }
    return 1;
}

unsigned Session::DownloadClientBoot(const T_DOWNLOAD_BIN& bin, uint32_t ramAddress) {
    std::string name = platform::ToUtf8(bin.path);
    platform::FileError error;
    auto image = platform::ReadWholeFile(name, 0xFFFFFFFF, error);
    if (!image || image->empty()) {
        TransferLogf("%s: %s %s\r\n", caller_, name.c_str(), image ? "is empty" : platform::FileErrorText(error));
        return 2;
    }
    auto size = static_cast<uint32_t>(image->size());
    if (uint64_t{ramAddress} + size > 0x100000000) {
        TransferLogf("%s: %u bytes at RAM address 0x%08x pass the end of the address space\r\n", caller_, size,
                     ramAddress);
        return 4;
    }
    if (!Run(kRamStart, {.param1 = ramAddress, .param2 = size})) return 0;
    for (uint32_t done = 0; done < size;) {
        uint32_t n = std::min(kImagePiece, size - done);
        if (!Run(kRamData, {.param1 = ramAddress + done, .param2 = n, .out = image->data() + done, .length = n}))
            return 0;
        done += n;
    }
    uint8_t write[8];
    PutLE32(write, ramAddress);
    PutLE32(write + 4, size);
    if (!Run(kClientBootWrite, {.out = write, .length = sizeof write})) return 0;
    uint32_t sum = 0;
    for (uint8_t b : *image) sum += b;
    uint8_t check[8];
    PutLE32(check, size);
    PutLE32(check + 4, sum);
    return Run(kClientBootCheck, {.out = check, .length = sizeof check}) ? 1 : 0;
}

unsigned Session::UploadPages(uint32_t first, uint32_t count, uint8_t* buffer, size_t bufferSize) {
    unsigned medium = ch_->mediumMode.load();
    const tag_Nand_Phy_Info nand = ch_->NandPhyInfo;
    uint32_t page = medium == kMediumNand ? nand.page_size : medium == kMediumSpi ? ch_->SpiPhyInfo.page_size : 0;
    if (page == 0) {
        TransferLogf("%s: no page size: send the mode and the flash parameters first\r\n", caller_);
        return 4;
    }
    uint64_t bytes = uint64_t{count} * page;
    if (buffer == nullptr || count == 0 || bytes > bufferSize || uint64_t{first} + count > 0x100000000) {
        TransferLogf("%s: %u pages of %u bytes from page %u do not fit a buffer of %zu bytes\r\n", caller_, count,
                     page, first, buffer == nullptr ? size_t{0} : bufferSize);
        return 4;
    }
    uint32_t perPiece = medium == kMediumNand ? ch_->nandTransferUnit.load() / (page + nand.spare_size)
                                              : kImagePiece / page;
    perPiece = std::max<uint32_t>(perPiece, 1);
    for (uint32_t done = 0; done < count;) {
        uint32_t n = std::min(perPiece, count - done);
        uint8_t request[8];
        PutLE32(request, first + done);
        PutLE32(request + 4, n);
        if (!Run(kUploadPages, {.out = request, .length = sizeof request}) ||
            !Run(kUploadPages, {.in = buffer + uint64_t{done} * page, .length = n * page}))
            return 0;
        done += n;
    }
    return 1;
}

}  // namespace corvel::producer
