#pragma once
// The producer's command codes, one row each: what a command sends, how the
// producer answers it and how long each transport waits for its status. The
// serial link and USB both take their commands from here; the codes are
// defined nowhere else (usbcorvel reads its status waits from this table too).
#include <array>
#include <chrono>
#include <cstdint>
#include <string_view>

namespace corvel::producer {

using namespace std::chrono_literals;

enum Code : unsigned {
    kSwitchHighSpeed = 1,
    kTestConnection = 2,
    kSetMode = 3,
    kGetFlashID = 4,
    kSetNandParam = 5,
    kInitSecArea = 7,
    kSetResvAreaSize = 8,
    kCreatePartition = 9,
    kFormatDriver = 10,
    kMountDriver = 11,
    kBootStart = 12,
    kBootData = 13,
    kImageStart = 16,
    kImageData = 17,
    kStatusCode20 = 20,
    kStatusCode21 = 21,
    kStatusCode28 = 28,
    kDataCode29 = 29,
    kSetGPIO = 32,
    kResetDevice = 33,
    kClose = 34,
    kSetReg = 35,
    kRamStart = 36,
    kRamData = 37,
    kGetDiskInfo = 39,
    kGetRegValue = 42,
    kDataCode43 = 43,
    kClientBootWrite = 45,
    kClientBootCheck = 47,
    kSetSPIParam = 49,
    kGetFlashHighID = 50,
    kGetFsStartPos = 51,
    kUploadPages = 52,
    kStatusCode53 = 53,
    kDataCode54 = 54,
    kEraseBlockOrWriteOTP = 55,
    kReadOTP = 56,
    kSetExParameter = 57,
    kUsbImageStart = 58,
    kUsbImageData = 59,
    kErasePartitionSize = 60,
    kCheckProducer = 61,
    kData1kStart = 62,
    kData1kData = 63,
    kData1kCheck = 64,
    kSetValueForUpload = 83,
    kGetRamValue = 101,
    kPartitionProgress = 102,
    kHighSpeedStep = 103,
    kSetBurnedParam = 104,
    kSetNandGpioCe = 105,
    kReadASAFile = 106,
    kStatusCode107 = 107,
    kDataCode108 = 108,
    kDataCode109 = 109,
    kGetMediumStruct = 110,
    kSetEraseMode = 111,
    kSetBinResvSize = 112,
    kWriteSector = 120,
    kReadSector = 121,
    kReadSectorFlag = 122,
    kEraseMediumBlock = 123,
    kSetBadBlock = 124,
    kIsBadBlock = 125,
    kBadBlockBuffer = 126,
    kFreeBlockBuffer = 127,
};

// The data phase: none, from the board, to the board; or stated by the
// function that sends the command, per transaction (codes used in more than
// one way: a request, then its answer).
enum class Direction : uint8_t { None = 0, FromBoard = 1, ToBoard = 2, PerCall = 3 };

// How long the data phase is.
enum class Length : uint8_t {
    None,    // no data phase
    Fixed,   // always `bytes`
    Caller,  // as long as the caller's buffer, at least one byte
};

// How the producer answers.
enum class Reply : uint8_t {
    Status,          // a status; on the serial link a status frame
    DataThenStatus,  // data, then a status; on the serial link a data frame comes first
    ValueInStatus,   // a status that carries the command's 32-bit result (USB)
    UsbStatus,       // a status on USB; the serial reader ignores frames while it is the last command
};

// How long each transport waits for the status. Over the serial link the
// producer acknowledges every chunk of a data phase, so its final status
// follows the last chunk at once; the waits are the serial protocol's own.
// Over USB one status answers the whole transaction, after a data phase of up
// to 64 KiB has been programmed, and commands that erase, format or
// partition answer only when that work is done, minutes later on a big part.
struct StatusWait {
    std::chrono::milliseconds serial;
    std::chrono::milliseconds usb;
};
constexpr StatusWait kUsualWait{5000ms, 30000ms};
constexpr StatusWait kFlashWorkWait{5000ms, 600000ms};

struct Command {
    unsigned code;
    std::string_view name;  // as the transfer log names the command
    Direction direction;
    Length length;
    uint32_t bytes;  // the fixed length
    Reply reply;
    StatusWait wait;
};

// Codes the producer answers with a status (or with data) although no
// function of the library sends them keep their rows, so a frame that answers
// one is classed as the producer means it.
inline constexpr std::array kCommands = std::to_array<Command>({
    {kSwitchHighSpeed, "switch to high speed", Direction::None, Length::None, 0, Reply::UsbStatus, kUsualWait},
    {kTestConnection, "test connection", Direction::None, Length::None, 0, Reply::Status, kUsualWait},
    {kSetMode, "set mode", Direction::None, Length::None, 0, Reply::Status, kUsualWait},
    {kGetFlashID, "get flash ID", Direction::FromBoard, Length::Fixed, 8, Reply::DataThenStatus, kUsualWait},
    {kSetNandParam, "set NAND parameters", Direction::ToBoard, Length::Fixed, 36, Reply::Status, kUsualWait},
    {kInitSecArea, "initialise security area", Direction::None, Length::None, 0, Reply::Status, kFlashWorkWait},
    {kSetResvAreaSize, "set reserved area size", Direction::None, Length::None, 0, Reply::UsbStatus, kUsualWait},
    {kCreatePartition, "create partitions", Direction::ToBoard, Length::Caller, 0, Reply::Status, kFlashWorkWait},
    {kFormatDriver, "format drive", Direction::ToBoard, Length::Fixed, 20, Reply::UsbStatus, kFlashWorkWait},
    {kMountDriver, "mount drives", Direction::ToBoard, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kBootStart, "boot loader start", Direction::ToBoard, Length::Fixed, 40, Reply::Status, kUsualWait},
    {kBootData, "boot loader data", Direction::ToBoard, Length::Caller, 0, Reply::Status, {10000ms, 30000ms}},
    {kImageStart, "whole-flash image start", Direction::ToBoard, Length::Fixed, 40, Reply::Status,
     {30000ms, 30000ms}},
    {kImageData, "whole-flash image data", Direction::ToBoard, Length::Caller, 0, Reply::Status, kUsualWait},
    {kStatusCode20, "command 20", Direction::PerCall, Length::Caller, 0, Reply::Status, kUsualWait},
    {kStatusCode21, "command 21", Direction::PerCall, Length::Caller, 0, Reply::Status, kUsualWait},
    {kStatusCode28, "command 28", Direction::PerCall, Length::Caller, 0, Reply::Status, kUsualWait},
    {kDataCode29, "command 29", Direction::PerCall, Length::Caller, 0, Reply::DataThenStatus, kUsualWait},
    {kSetGPIO, "set GPIO", Direction::ToBoard, Length::Fixed, 8, Reply::UsbStatus, kUsualWait},
    {kResetDevice, "reset device", Direction::None, Length::None, 0, Reply::UsbStatus, kUsualWait},
    {kClose, "close", Direction::None, Length::None, 0, Reply::Status, kUsualWait},
    {kSetReg, "write register", Direction::None, Length::None, 0, Reply::UsbStatus, kUsualWait},
    {kRamStart, "RAM download start", Direction::None, Length::None, 0, Reply::UsbStatus, kUsualWait},
    {kRamData, "RAM download data", Direction::ToBoard, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kGetDiskInfo, "get disk information", Direction::FromBoard, Length::Fixed, 512, Reply::UsbStatus, kUsualWait},
    {kGetRegValue, "read register", Direction::None, Length::None, 0, Reply::ValueInStatus, kUsualWait},
    {kDataCode43, "command 43", Direction::PerCall, Length::Caller, 0, Reply::DataThenStatus, kUsualWait},
    {kClientBootWrite, "client boot write", Direction::ToBoard, Length::Fixed, 8, Reply::UsbStatus, kUsualWait},
    {kClientBootCheck, "client boot check", Direction::ToBoard, Length::Fixed, 8, Reply::UsbStatus, kUsualWait},
    {kSetSPIParam, "set SPI parameters", Direction::ToBoard, Length::Fixed, 60, Reply::Status, kUsualWait},
    {kGetFlashHighID, "get flash high ID", Direction::FromBoard, Length::Fixed, 4, Reply::UsbStatus, kUsualWait},
    {kGetFsStartPos, "get file system start", Direction::FromBoard, Length::Fixed, 4, Reply::UsbStatus,
     kUsualWait},
    {kUploadPages, "upload pages", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kStatusCode53, "command 53", Direction::PerCall, Length::Caller, 0, Reply::Status, kUsualWait},
    {kDataCode54, "command 54", Direction::PerCall, Length::Caller, 0, Reply::DataThenStatus, kUsualWait},
    {kEraseBlockOrWriteOTP, "erase block or write OTP serial", Direction::PerCall, Length::Caller, 0,
     Reply::UsbStatus, kFlashWorkWait},
    {kReadOTP, "read OTP serial", Direction::FromBoard, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kSetExParameter, "set extended parameter", Direction::None, Length::None, 0, Reply::Status, kUsualWait},
    {kUsbImageStart, "whole-flash image start over USB", Direction::ToBoard, Length::Fixed, 40, Reply::Status,
     {30000ms, 30000ms}},
    {kUsbImageData, "whole-flash image data over USB", Direction::ToBoard, Length::Caller, 0, Reply::Status,
     kUsualWait},
    {kErasePartitionSize, "erase partition", Direction::None, Length::None, 0, Reply::Status, kFlashWorkWait},
    {kCheckProducer, "check producer", Direction::None, Length::None, 0, Reply::UsbStatus, kUsualWait},
    {kData1kStart, "1K data start", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kData1kData, "1K data", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kData1kCheck, "1K data check", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kSetValueForUpload, "set value for upload", Direction::None, Length::None, 0, Reply::Status, kUsualWait},
    {kGetRamValue, "read RAM", Direction::FromBoard, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kPartitionProgress, "partition progress", Direction::FromBoard, Length::Fixed, 4, Reply::UsbStatus,
     kUsualWait},
    {kHighSpeedStep, "high-speed switch step", Direction::ToBoard, Length::None, 0, Reply::UsbStatus, kUsualWait},
    {kSetBurnedParam, "set burned parameters", Direction::ToBoard, Length::Fixed, 24, Reply::Status, kUsualWait},
    {kSetNandGpioCe, "set NAND chip selects", Direction::ToBoard, Length::Fixed, 3, Reply::UsbStatus, kUsualWait},
    {kReadASAFile, "read secure-area file", Direction::PerCall, Length::Caller, 0, Reply::DataThenStatus,
     kUsualWait},
    {kStatusCode107, "command 107", Direction::PerCall, Length::Caller, 0, Reply::Status, kUsualWait},
    {kDataCode108, "command 108", Direction::PerCall, Length::Caller, 0, Reply::DataThenStatus, kUsualWait},
    {kDataCode109, "command 109", Direction::PerCall, Length::Caller, 0, Reply::DataThenStatus, kUsualWait},
    {kGetMediumStruct, "get medium record", Direction::FromBoard, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kSetEraseMode, "set erase mode", Direction::None, Length::None, 0, Reply::Status, kUsualWait},
    {kSetBinResvSize, "set bin reserve size", Direction::None, Length::None, 0, Reply::Status, kUsualWait},
    {kWriteSector, "write sector", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kReadSector, "read sector", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kReadSectorFlag, "read sector flag", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kEraseMediumBlock, "erase medium block", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus,
     kFlashWorkWait},
    {kSetBadBlock, "set bad block", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kIsBadBlock, "is bad block", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kBadBlockBuffer, "bad-block buffer", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
    {kFreeBlockBuffer, "free-block buffer", Direction::PerCall, Length::Caller, 0, Reply::UsbStatus, kUsualWait},
});

// The row of `code` (only its low byte travels), or nullptr when the producer has no such command.
constexpr const Command* FindCommand(unsigned code) {
    for (const Command& c : kCommands)
        if (c.code == (code & 0xFF)) return &c;
    return nullptr;
}

// The name the transfer log gives `code`.
constexpr std::string_view CommandName(unsigned code) {
    const Command* c = FindCommand(code);
    return c != nullptr ? c->name : "unknown command";
}

// The medium mode a mode command leaves behind (1 SPI NOR, 3 NAND), from the
// record's eMedium. The two maps differ on purpose: the serial link burns only
// SPI NOR (1) and NAND (5), so a mode command for any other medium leaves the
// mode as it was; a USB board records media 0 and 2 as they stand (neither has
// a boot header layout) and burns every other medium as SPI NOR.
constexpr unsigned SerialMediumMode(unsigned current, uint8_t eMedium) {
    if (eMedium == 1) return 1;
    if (eMedium == 5) return 3;
    return current;
}
constexpr unsigned UsbMediumMode(uint8_t eMedium) {
    switch (eMedium) {
        case 0: return 0;
        case 2: return 2;
        case 5: return 3;
        default: return 1;
    }
}

}  // namespace corvel::producer
