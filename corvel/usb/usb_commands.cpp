// The exported USB commands: each one transaction (two for a few) on the
// channel's device through the USB access library.
#include "corvel/core/export_guard.h"
#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/producer/session.h"
#include "corvel/usb/usb_commands.h"
#include "corvel/usb/usb_transport.h"

#include <chrono>
#include <cstring>
#include <thread>

using namespace corvel;
using namespace corvel::producer;
using namespace corvel::usb;

namespace corvel::usb {

KW_HANDLE DeviceOf(unsigned nID) {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr) return nullptr;
    KW_HANDLE device = ch->hDevice.load();
    return IsValidHandle(device) ? device : nullptr;
}

bool WriteRegister(KW_HANDLE device, unsigned address, unsigned value, const char* caller) {
    UsbTransport transport(0, device, caller);
    return Session(0, transport, caller).Run(kSetReg, {.param1 = address, .param2 = value});
}

}  // namespace corvel::usb

namespace {

using namespace std::chrono_literals;

constexpr size_t kDiskInfoBytes = 512;
constexpr size_t kASARequestBytes = 8;
constexpr auto kPartitionPollInterval = 1000ms;
constexpr unsigned kPartitionPollProgress = 32768;  // bytes reported per "still working" answer
constexpr uint8_t kPartitionDone = 1, kPartitionFailed = 2;
constexpr unsigned kRtosPlatform = 2;                // skips the partition polling
constexpr unsigned kNoDeviceForPartition = 9;

// Runs `work` on the producer of channel `nID`; 0 when the channel has no device.
template <typename Work>
unsigned OnProducer(const char* caller, unsigned nID, Work work) {
    KW_HANDLE device = DeviceOf(nID);
    if (device == nullptr) return 0;
    UsbTransport transport(nID, device, caller);
    Session session(nID, transport, caller);
    return work(session) ? 1 : 0;
}

unsigned Run(const char* caller, unsigned nID, unsigned code, Request request = {}) {
    return OnProducer(caller, nID, [&](Session& s) { return s.Run(code, request); });
}

// A data phase needs its buffer: a null buffer or zero length fails before anything is sent.
unsigned ToBoard(const char* caller, unsigned nID, unsigned code, const void* data, unsigned length) {
    if (data == nullptr || length == 0) return 0;
    return Run(caller, nID, code, {.out = data, .length = length});
}
unsigned FromBoard(const char* caller, unsigned nID, unsigned code, void* data, unsigned length, unsigned p1 = 0,
                   unsigned p2 = 0) {
    if (data == nullptr || length == 0) return 0;
    return Run(caller, nID, code, {.param1 = p1, .param2 = p2, .in = data, .length = length});
}

// A 4-byte answer from the board, little-endian.
unsigned ReadWord(const char* caller, unsigned nID, unsigned code, unsigned p1, unsigned p2, unsigned* out) {
    if (out == nullptr) return 0;
    uint8_t bytes[4] = {};
    if (Run(caller, nID, code, {.param1 = p1, .param2 = p2, .in = bytes, .length = sizeof bytes}) != 1) return 0;
    *out = LE32(bytes);
    return 1;
}

unsigned ReadRegister(const char* caller, KW_HANDLE device, unsigned address, unsigned* value) {
    if (device == nullptr || !IsValidHandle(device) || value == nullptr) return 0;
    UsbTransport transport(0, device, caller);
    uint32_t read = 0;
    if (!Session(0, transport, caller).Run(kGetRegValue, {.param1 = address, .value = &read})) return 0;
    *value = read;
    return 1;
}

// Switches the board to high speed. It then leaves the bus and comes back at
// the new speed; meanwhile a burning channel is in its speed switch, so the
// removal counts as part of the burn.
unsigned SwitchSpeed(const char* caller, unsigned nID) {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr) return 0;
    bool marked = false;
    {
        std::lock_guard lock(ch->bindMutex);
        if (ch->state.load() == kBurning) {
            ch->state = kUsbSpeedSwitch;
            marked = true;
        }
    }
    unsigned result = Run(caller, nID, kSwitchHighSpeed);
    if (result != 1 && marked) {
        std::lock_guard lock(ch->bindMutex);
        if (ch->state.load() == kUsbSpeedSwitch) ch->state = kBurning;
    }
    return result;
}

// Polls the board until it has made the partitions: 1 done, 2 failed, else
// still working (progress moves on meanwhile).
unsigned WaitForPartitions(unsigned nID) {
    for (;;) {
        std::this_thread::sleep_for(kPartitionPollInterval);
        uint8_t answer[4] = {};
        if (FromBoard("KW_CreatePartion_SpiFlash", nID, kPartitionProgress, answer, sizeof answer) != 1)
            return 0;
        if (answer[0] == kPartitionDone) return 1;
        if (answer[0] == kPartitionFailed) {
            TransferLog("KW_CreatePartion_SpiFlash: the board failed to create the partitions\r\n");
            return 0;
        }
        AddProgress(nID, kPartitionPollProgress);
    }
}

}  // namespace

extern "C" {

KW_API unsigned KW_SwitchUSBHighSpeed(unsigned nID) try {
    return SwitchSpeed("KW_SwitchUSBHighSpeed", nID);
} catch (...) {
    return ExportFailed("KW_SwitchUSBHighSpeed", 0u);
}

KW_API unsigned KW_SwitchUSBHighSpeedAsyn(unsigned nID) try {
    return SwitchSpeed("KW_SwitchUSBHighSpeedAsyn", nID);
} catch (...) {
    return ExportFailed("KW_SwitchUSBHighSpeedAsyn", 0u);
}

KW_API unsigned KW_TestConnection(unsigned nID) try {
    return Run("KW_TestConnection", nID, kTestConnection, {.param1 = 75, .param2 = 87});
} catch (...) {
    return ExportFailed("KW_TestConnection", 0u);
}

KW_API unsigned KW_SetMode(unsigned nID, T_MODE_CONTROL mode) try {
    return OnProducer("KW_SetMode", nID, [&](Session& s) { return s.SetMode(mode, UsbMediumMode(mode.eMedium)); });
} catch (...) {
    return ExportFailed("KW_SetMode", 0u);
}

KW_API unsigned KW_GetFlashID(unsigned nID, unsigned p1, unsigned p2, unsigned* id, unsigned* count) try {
    if (id == nullptr || count == nullptr) return 0;
    return OnProducer("KW_GetFlashID", nID, [&](Session& s) { return s.GetFlashID(p1, p2, id, count); });
} catch (...) {
    return ExportFailed("KW_GetFlashID", 0u);
}

KW_API unsigned KW_SetNandParam(unsigned nID, const tag_Nand_Phy_Info* info) try {
    if (info == nullptr) return 0;
    return OnProducer("KW_SetNandParam", nID, [&](Session& s) { return s.SetNandParam(*info); });
} catch (...) {
    return ExportFailed("KW_SetNandParam", 0u);
}

KW_API unsigned KW_InitSecArea(unsigned nID, unsigned value) try {
    return Run("KW_InitSecArea", nID, kInitSecArea, {.param1 = value});
} catch (...) {
    return ExportFailed("KW_InitSecArea", 0u);
}

KW_API unsigned KW_SetResvAreaSize(unsigned nID, unsigned value, unsigned value2) try {
    return Run("KW_SetResvAreaSize", nID, kSetResvAreaSize, {.param1 = value, .param2 = value2});
} catch (...) {
    return ExportFailed("KW_SetResvAreaSize", 0u);
}

KW_API unsigned KW_CreatePartion(unsigned nID, const void* table, unsigned length) try {
    return ToBoard("KW_CreatePartion", nID, kCreatePartition, table, length);
} catch (...) {
    return ExportFailed("KW_CreatePartion", 0u);
}

KW_API unsigned KW_CreatePartion_SpiFlash(unsigned nID, const T_SPI_PARTITION_ENTRY* entries, unsigned count) try {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr) return 0;
    if (!IsValidHandle(ch->hDevice.load())) return kNoDeviceForPartition;
    // More entries than the block holds would be cut off silently.
    if (entries == nullptr || count == 0 || count > KW_MAX_SPI_PARTITIONS) {
        TransferLogf("KW_CreatePartion_SpiFlash: %u partitions, 1 to %u allowed\r\n", count, KW_MAX_SPI_PARTITIONS);
        return 0;
    }
    for (unsigned i = 0; i < count; ++i) {
        if (entries[i].size == 0.0f) {
            TransferLogf("KW_CreatePartion_SpiFlash: partition %u has size 0\r\n", i);
            return 0;
        }
    }
    uint8_t block[KW_SPI_PARTITION_BLOCK] = {};
    std::memcpy(block, entries, count * sizeof *entries);
    if (ToBoard("KW_CreatePartion_SpiFlash", nID, kCreatePartition, block, sizeof block) != 1) return 0;
    if (Lib().platformType.load() == kRtosPlatform) return 1;
    return WaitForPartitions(nID);
} catch (...) {
    return ExportFailed("KW_CreatePartion_SpiFlash", 0u);
}

KW_API unsigned KW_FormatDriver(unsigned nID, const T_FORMAT_DRIVER* format) try {
    return ToBoard("KW_FormatDriver", nID, kFormatDriver, format, sizeof(T_FORMAT_DRIVER));
} catch (...) {
    return ExportFailed("KW_FormatDriver", 0u);
}

KW_API unsigned KW_MountDriver(unsigned nID, const char* letters, unsigned count) try {
    return ToBoard("KW_MountDriver", nID, kMountDriver, letters, count);
} catch (...) {
    return ExportFailed("KW_MountDriver", 0u);
}

KW_API unsigned KW_SetGPIO(unsigned nID, const T_GPIO_PARAM* gpio) try {
    return ToBoard("KW_SetGPIO", nID, kSetGPIO, gpio, sizeof(T_GPIO_PARAM));
} catch (...) {
    return ExportFailed("KW_SetGPIO", 0u);
}

KW_API unsigned KW_ResetDevice(unsigned nID) try {
    return Run("KW_ResetDevice", nID, kResetDevice);
} catch (...) {
    return ExportFailed("KW_ResetDevice", 0u);
}

KW_API unsigned KW_Close(unsigned nID) try {
    return Run("KW_Close", nID, kClose);
} catch (...) {
    return ExportFailed("KW_Close", 0u);
}

KW_API unsigned KW_SetReg(KW_HANDLE device, unsigned address, unsigned value) try {
    if (!IsValidHandle(device)) return 0;
    return WriteRegister(device, address, value, "KW_SetReg") ? 1 : 0;
} catch (...) {
    return ExportFailed("KW_SetReg", 0u);
}

KW_API unsigned KW_DownloadDataToRam(unsigned nID, unsigned ramAddress, const void* data, unsigned length) try {
    if (data == nullptr || length == 0) return 0;
    // Code 36 tells the board where the data goes, code 37 carries it.
    if (Run("KW_DownloadDataToRam", nID, kRamStart, {.param1 = ramAddress, .param2 = length}) != 1) return 0;
    return Run("KW_DownloadDataToRam", nID, kRamData,
               {.param1 = ramAddress, .param2 = length, .out = data, .length = length});
} catch (...) {
    return ExportFailed("KW_DownloadDataToRam", 0u);
}

KW_API unsigned KW_GetDiskInfo(unsigned nID, void* info512) try {
    return FromBoard("KW_GetDiskInfo", nID, kGetDiskInfo, info512, kDiskInfoBytes);
} catch (...) {
    return ExportFailed("KW_GetDiskInfo", 0u);
}

KW_API unsigned KW_GetRegValue(unsigned nID, unsigned address, unsigned* value) try {
    return ReadRegister("KW_GetRegValue", DeviceOf(nID), address, value);
} catch (...) {
    return ExportFailed("KW_GetRegValue", 0u);
}

KW_API unsigned KW_GetRegValue_Handle(KW_HANDLE device, unsigned address, unsigned* value) try {
    return ReadRegister("KW_GetRegValue_Handle", device, address, value);
} catch (...) {
    return ExportFailed("KW_GetRegValue_Handle", 0u);
}

KW_API unsigned KW_GetRegValue_10T(unsigned nID, unsigned address, unsigned* value) try {
    return ReadRegister("KW_GetRegValue_10T", DeviceOf(nID), address, value);
} catch (...) {
    return ExportFailed("KW_GetRegValue_10T", 0u);
}

KW_API unsigned KW_SetSPIParam(unsigned nID, const T_SFLASH_PHY_INFO* info) try {
    if (info == nullptr) return 0;
    return OnProducer("KW_SetSPIParam", nID, [&](Session& s) { return s.SetSpiParam(*info); });
} catch (...) {
    return ExportFailed("KW_SetSPIParam", 0u);
}

KW_API unsigned KW_GetFlash_HighID(unsigned nID, unsigned p1, unsigned p2, unsigned* id) try {
    return ReadWord("KW_GetFlash_HighID", nID, kGetFlashHighID, p1, p2, id);
} catch (...) {
    return ExportFailed("KW_GetFlash_HighID", 0u);
}

KW_API unsigned KW_GetFsStartPos(unsigned nID, unsigned* position) try {
    return ReadWord("KW_GetFsStartPos", nID, kGetFsStartPos, 0, 0, position);
} catch (...) {
    return ExportFailed("KW_GetFsStartPos", 0u);
}

KW_API unsigned KW_Set_Erase_One_Block(unsigned nID, unsigned block) try {
    return Run("KW_Set_Erase_One_Block", nID, kEraseBlockOrWriteOTP, {.param1 = block});
} catch (...) {
    return ExportFailed("KW_Set_Erase_One_Block", 0u);
}

KW_API unsigned KW_Write_OTP_Serial(unsigned nID, const void* serial, unsigned length) try {
    return ToBoard("KW_Write_OTP_Serial", nID, kEraseBlockOrWriteOTP, serial, length);
} catch (...) {
    return ExportFailed("KW_Write_OTP_Serial", 0u);
}

KW_API unsigned KW_Read_OTP_Serial(unsigned nID, void* serial, unsigned length) try {
    return FromBoard("KW_Read_OTP_Serial", nID, kReadOTP, serial, length);
} catch (...) {
    return ExportFailed("KW_Read_OTP_Serial", 0u);
}

KW_API unsigned KW_Set_Ex_Parameter(unsigned nID, unsigned value) try {
    return OnProducer("KW_Set_Ex_Parameter", nID, [&](Session& s) { return s.SetExParameter(value); });
} catch (...) {
    return ExportFailed("KW_Set_Ex_Parameter", 0u);
}

KW_API unsigned KW_Erase_Partition_Size(unsigned nID, unsigned value, unsigned value2) try {
    return Run("KW_Erase_Partition_Size", nID, kErasePartitionSize, {.param1 = value, .param2 = value2});
} catch (...) {
    return ExportFailed("KW_Erase_Partition_Size", 0u);
}

KW_API unsigned KW_Check_producer(unsigned nID, unsigned value, unsigned value2) try {
    return Run("KW_Check_producer", nID, kCheckProducer, {.param1 = value, .param2 = value2});
} catch (...) {
    return ExportFailed("KW_Check_producer", 0u);
}

KW_API unsigned KW_Setvalue_forupload_orspimake(unsigned nID, unsigned value) try {
    return Run("KW_Setvalue_forupload_orspimake", nID, kSetValueForUpload, {.param1 = value});
} catch (...) {
    return ExportFailed("KW_Setvalue_forupload_orspimake", 0u);
}

KW_API unsigned KW_GetRamValue(unsigned nID, unsigned ramAddress, unsigned mode, void* buffer, unsigned length) try {
    // The board's bytes come back in the caller's buffer.
    return FromBoard("KW_GetRamValue", nID, kGetRamValue, buffer, length, ramAddress, mode);
} catch (...) {
    return ExportFailed("KW_GetRamValue", 0u);
}

KW_API unsigned KW_SetBurnedParam(unsigned nID, const T_BURNED_PARAM* param) try {
    return ToBoard("KW_SetBurnedParam", nID, kSetBurnedParam, param, sizeof(T_BURNED_PARAM));
} catch (...) {
    return ExportFailed("KW_SetBurnedParam", 0u);
}

KW_API unsigned KW_SetNandGpioCe(unsigned nID, const T_CHIP_SELECT_DATA* select) try {
    return ToBoard("KW_SetNandGpioCe", nID, kSetNandGpioCe, select, sizeof(T_CHIP_SELECT_DATA));
} catch (...) {
    return ExportFailed("KW_SetNandGpioCe", 0u);
}

KW_API unsigned KW_ReadASAFile(unsigned nID, const void* request8, void* file, unsigned length) try {
    if (request8 == nullptr || file == nullptr || length == 0) return 0;
    if (ToBoard("KW_ReadASAFile", nID, kReadASAFile, request8, kASARequestBytes) != 1) return 0;
    return FromBoard("KW_ReadASAFile", nID, kReadASAFile, file, length);
} catch (...) {
    return ExportFailed("KW_ReadASAFile", 0u);
}

KW_API unsigned KW_GetMediumStruct(unsigned nID, void* medium, unsigned length) try {
    return FromBoard("KW_GetMediumStruct", nID, kGetMediumStruct, medium, length);
} catch (...) {
    return ExportFailed("KW_GetMediumStruct", 0u);
}

KW_API unsigned KW_SetEraseMode(unsigned nID, unsigned value) try {
    return Run("KW_SetEraseMode", nID, kSetEraseMode, {.param1 = value});
} catch (...) {
    return ExportFailed("KW_SetEraseMode", 0u);
}

KW_API unsigned KW_Set_BinResvSize(unsigned nID, unsigned value) try {
    return Run("KW_Set_BinResvSize", nID, kSetBinResvSize, {.param1 = value});
} catch (...) {
    return ExportFailed("KW_Set_BinResvSize", 0u);
}

}  // extern "C"
