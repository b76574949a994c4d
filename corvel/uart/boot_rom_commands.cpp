// Boot-ROM work before the producer runs: register writes, RAM tables and the
// uploads of the producer, the RAM test program and the signed 1K data block.
#include "corvel/core/export_guard.h"
#include "corvel/core/chip_types.h"
#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/platform/files.h"
#include "corvel/platform/os.h"
#include "corvel/uart/serial_transport.h"
#include "corvel/uart/uart_link.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

using namespace corvel;
using namespace corvel::uart;

namespace {

constexpr auto kAfterSetvalue = 20ms;
constexpr auto kAfterRamWrite = 20ms;
constexpr auto kAfterRamTable = 5ms;
constexpr auto kAfterOpen = 10ms;
constexpr auto kAfterUploadChunk = 5ms;
constexpr auto kAfterUpload = 500ms;
constexpr auto kAfterDownloadCommand = 23ms;  // 3 ms after the return, then 20 ms
constexpr auto kAfterGoCommand = 3ms;
constexpr auto kAfterRamGo = 700ms;
constexpr auto kAfterSignCommand = 25ms;
constexpr auto kRetryAfterDownload = 1ms;
constexpr auto kRetryAfterGo = 100ms;
constexpr int kCommandTries = 3;
constexpr auto kProducerMutexWait = 150000ms;
constexpr uint32_t kRamPause = KW_RAM_PAUSE;
constexpr uint32_t kRamEnd = KW_RAM_END;
constexpr size_t kProducerPatchEnd = 60;  // the producer's patch words end here
constexpr size_t kSecureChunk = 8192;
constexpr const char* kRamRunAddress = "d2800100";

bool SecureBoot() { return Lib().secureBoot.load() == kSecureBoot; }

// The upload's length word counts the file and six more bytes.
constexpr uint64_t kMaxUploadFile = 0xFFFFFFFFu - 6;

// The whole file to upload; nullopt (and a log line naming the file) when it
// cannot be had.
std::optional<std::vector<uint8_t>> ReadUpload(const wchar_t* path) {
    std::string name = platform::ToUtf8(path);
    platform::FileError error;
    auto bytes = platform::ReadWholeFile(name, kMaxUploadFile, error);
    if (!bytes) TransferLogf("ReadFile fail: %s %s\r\n", name.c_str(), platform::FileErrorText(error));
    return bytes;
}

// A write that failed once the boot ROM had taken a command: the board is gone.
unsigned PortGone(const char* function) {
    TransferLogf("%s: the port takes no more bytes\r\n", function);
    return 0;
}

// Sends a download- or go-type command, retrying after an echo time-out.
bool SendWithRetries(unsigned index, const char* first, const char* second, std::chrono::milliseconds retryPause) {
    UartChannel& link = Uart(index);
    for (int attempt = 0; attempt < kCommandTries; ++attempt) {
        bool sent = second == nullptr ? SendTextCommand(index, first) : SendTwoPartCommand(index, first, second);
        if (sent) return true;
        if (link.echoTimeout.load() == 0) return false;
        link.echoTimeout = 0;
        if (!SendByte(index, '\r')) return false;
        std::this_thread::sleep_for(retryPause);
    }
    return false;
}

// The boot ROM's upload format: length (file + 6), the file, a 16-bit byte sum.
std::vector<uint8_t> BuildUpload(const std::vector<uint8_t>& file) {
    std::vector<uint8_t> image(file.size() + 6);
    PutLE32(image.data(), static_cast<uint32_t>(image.size()));
    std::copy(file.begin(), file.end(), image.begin() + 4);
    uint32_t sum = 0;
    for (uint8_t b : file) sum += b;
    image[4 + file.size()] = static_cast<uint8_t>(sum);
    image[5 + file.size()] = static_cast<uint8_t>(sum >> 8);
    return image;
}

bool Upload(unsigned nID, const std::vector<uint8_t>& image, size_t chunk) {
    for (size_t sent = 0; sent < image.size();) {
        size_t n = std::min(chunk, image.size() - sent);
        if (!SendBytes(nID - 1, image.data() + sent, n)) return false;
        AddProgress(nID, static_cast<unsigned>(n));
        sent += n;
        std::this_thread::sleep_for(kAfterUploadChunk);
    }
    return true;
}

// Records the table on the first RAM-table call after KW_Start; false when it is too long.
bool RecordRamTable(const T_RAM_REG* regs, unsigned count) {
    Library& lib = Lib();
    if (lib.ramTableRecorded.load()) return true;
    if (count > Library::kMaxRamEntries) return false;
    std::lock_guard lock(lib.ramTableMutex);
    std::copy(regs, regs + count, lib.ramTable.begin());
    lib.ramTableCount = count;
    return true;
}

// The checks and the recording both RAM-table calls share; nullptr when they fail.
BurnObject* RamTableChannel(unsigned nID, const T_RAM_REG* regs, unsigned count) {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr || regs == nullptr || count == 0) return nullptr;
    Lib().downloadPhase = kSerialisationOver;
    if (!IsValidHandle(ch->hDevice.load()) || !RecordRamTable(regs, count)) return nullptr;
    return ch;
}

// The file to upload on an attached channel; `error` is 4 (bad argument or no
// device) or 2 (file unreadable) when there is none.
struct UploadFile {
    unsigned error = 0;
    std::vector<uint8_t> bytes;
};
UploadFile ReadUploadFile(unsigned nID, const wchar_t* path) {
    if (AttachedChannel(nID) == nullptr || path == nullptr) return {4, {}};
    Uart(nID - 1).echoTimeout = 0;
    auto file = ReadUpload(path);
    if (!file) return {2, {}};
    return {0, std::move(*file)};
}

void FinishRamTable() {
    Lib().downloadPhase = kSerialisationOver;
    Lib().ramTableRecorded = true;
}

}  // namespace

extern "C" {

KW_API unsigned KW_Uart_Setvalue(unsigned nID, const char* address, const char* value) try {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr) return 0;
    Library& lib = Lib();
    lib.downloadPhase = kSerialisationOver;
    if (!IsValidHandle(ch->hDevice.load()) || address == nullptr || value == nullptr) return 0;
    unsigned index = nID - 1;
    if (SendTextCommand(index, "setvalue") && SendTextCommand(index, address) && SendTextCommand(index, value)) {
        std::this_thread::sleep_for(kAfterSetvalue);
        lib.downloadPhase = kSerialisationOver;
        return 1;
    }
    DropChannelPort(index);
    return 0;
} catch (...) {
    return ExportFailed("KW_Uart_Setvalue", 0u);
}

KW_API unsigned KW_Uart_SetRamParam(unsigned nID, const T_RAM_REG* regs, unsigned count) try {
    if (RamTableChannel(nID, regs, count) == nullptr) return 0;
    unsigned index = nID - 1;
    if (!SendTextCommand(index, "draminit")) {
        DropChannelPort(index);
        return 0;
    }
    bool ended = false, sent = true;
    for (unsigned i = 0; i < count && !ended && sent; ++i) {
        uint8_t words[8];
        PutLE32(words, regs[i].addr);
        PutLE32(words + 4, regs[i].value);
        if (regs[i].addr == kRamPause) {
            std::this_thread::sleep_for(std::chrono::milliseconds(regs[i].value));
        } else if (regs[i].addr == kRamEnd) {
            sent = SendBytes(index, words, 4);
            ended = true;
        } else {
            sent = SendBytes(index, words, 8);
            std::this_thread::sleep_for(kAfterRamWrite);
        }
    }
    if (sent && !ended) {
        // The boot ROM reads pairs until the end marker; a table without one
        // would swallow whatever the host sends next.
        uint8_t end[4];
        PutLE32(end, kRamEnd);
        sent = SendBytes(index, end, 4);
    }
    if (!sent) {
        // The board went away after "draminit": its RAM was never set up.
        TransferLog("KW_Uart_SetRamParam: the RAM table did not go out\r\n");
        DropChannelPort(index);
        return 0;
    }
    std::this_thread::sleep_for(kAfterRamTable);
    FinishRamTable();
    return 1;
} catch (...) {
    return ExportFailed("KW_Uart_SetRamParam", 0u);
}

KW_API unsigned KW_SetRamParam_no_CommitCorvel(unsigned nID, const T_RAM_REG* regs, unsigned count) try {
    if (RamTableChannel(nID, regs, count) == nullptr) return 0;
    for (unsigned i = 0; i < count && regs[i].addr != kRamEnd; ++i)
        if (regs[i].addr == kRamPause) std::this_thread::sleep_for(std::chrono::milliseconds(regs[i].value / 1000));
    FinishRamTable();
    return 1;
} catch (...) {
    return ExportFailed("KW_SetRamParam_no_CommitCorvel", 0u);
}

KW_API unsigned KW_DownloadProducer_uart(unsigned nID, const wchar_t* path, unsigned) try {
    UploadFile upload = ReadUploadFile(nID, path);
    if (upload.error != 0) return upload.error;
    std::vector<uint8_t>* file = &upload.bytes;
    unsigned index = nID - 1;
    bool secure = SecureBoot();
    if (!secure && file->size() < kProducerPatchEnd) {
        TransferLogf("producer of %zu bytes is too short for its link words\r\n", file->size());
        return 2;
    }
    std::this_thread::sleep_for(kAfterOpen);

    if (!SendWithRetries(index, secure ? "securedown" : "download", nullptr, kRetryAfterDownload)) return 0;
    if (!SendByte(index, '\r')) return PortGone("KW_DownloadProducer_uart");
    std::this_thread::sleep_for(kAfterDownloadCommand);

    if (!secure) {
        PutLE32(file->data() + 52, Link().linkBaud.load());
        PutLE32(file->data() + 56, Link().linkAttached.load());
    }
    if (!Upload(nID, BuildUpload(*file), secure ? kSecureChunk : LinkChunkSize())) return 2;
    std::this_thread::sleep_for(kAfterUpload);

    if (!SendWithRetries(index, secure ? "securego" : "go", nullptr, kRetryAfterGo)) return 0;
    if (!SendByte(index, '\r')) return PortGone("KW_DownloadProducer_uart");
    std::this_thread::sleep_for(kAfterGoCommand);
    return 1;
} catch (...) {
    return ExportFailed("KW_DownloadProducer_uart", 2u);
}

KW_API unsigned KW_Uart_DownloadProducer(unsigned nID, const wchar_t* path, unsigned unused) try {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr || path == nullptr) {
        TransferLog("pstrPath NULL\r\n");
        return 4;
    }
    if (!IsValidHandle(ch->hDevice.load())) {
        TransferLog("hHandle fail\r\n");
        return 4;
    }
    Library& lib = Lib();
    if (lib.downloadPhase.load() != kSerialised) return KW_DownloadProducer_uart(nID, path, unused);

    if (!lib.producerMutex.TryLockFor(kProducerMutexWait)) {
        TransferLog("WaitForSingleObject 000 fail\r\n");
        return 0;
    }
    unsigned result = KW_DownloadProducer_uart(nID, path, unused);
    if (result == 1) {
        lib.producerMutex.Unlock();
        return 1;
    }
    ch->bConnected = 0;
    ch->state = kIdle;
    lib.producerMutex.Unlock();
    TransferLog("WaitForSingleObject fail\r\n");
    return 0;
} catch (...) {
    return ExportFailed("KW_Uart_DownloadProducer", 2u);
}

KW_API unsigned KW_Uart_DownloadRam(unsigned nID, const wchar_t* path, unsigned) try {
    if (ChannelByID(nID) == nullptr || path == nullptr) return 4;
    unsigned index = nID - 1;
    UartChannel& link = Uart(index);
    link.echoTimeout = 0;
    auto file = ReadUpload(path);
    if (!file) return 2;
    std::this_thread::sleep_for(kAfterOpen);
    if (link.promptSeen.load() == 0) {
        link.promptWait = 0;
        return 2;
    }
    if (!SendWithRetries(index, "download", kRamRunAddress, kRetryAfterDownload)) return 0;
    std::this_thread::sleep_for(20ms);
    if (!Upload(nID, BuildUpload(*file), LinkChunkSize())) return 2;
    std::this_thread::sleep_for(kAfterUpload);

    StopWatcher(index);
    link.ramTestWait = 1;
    link.ramTestFound = 0;
    bool ran = StartWatcher(index) && SendWithRetries(index, "go", kRamRunAddress, kRetryAfterGo);
    if (ran) std::this_thread::sleep_for(kAfterRamGo);
    // Whatever the test showed, the reader looks for boot prompts again: a
    // board whose RAM test never reports must not leave the channel deaf.
    link.ramTestWait = 0;
    return link.ramTestFound.exchange(0) != 0 && ran ? 1 : 0;
} catch (...) {
    return ExportFailed("KW_Uart_DownloadRam", 2u);
}

KW_API unsigned KW_Download_1k_Data_uart(unsigned nID, const wchar_t* path, unsigned) try {
    UploadFile upload = ReadUploadFile(nID, path);
    if (upload.error != 0) return upload.error;
    unsigned index = nID - 1;
    std::this_thread::sleep_for(kAfterOpen);
    if (!SendWithRetries(index, "sign", nullptr, kRetryAfterDownload)) return 0;
    std::this_thread::sleep_for(kAfterSignCommand);
    if (!Upload(nID, BuildUpload(upload.bytes), LinkChunkSize())) return 2;
    std::this_thread::sleep_for(kAfterUpload);
    return 1;
} catch (...) {
    return ExportFailed("KW_Download_1k_Data_uart", 2u);
}

}  // extern "C"
