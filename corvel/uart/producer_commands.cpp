// The exported producer commands: each one block, an optional data phase and a status.
#include "corvel/core/export_guard.h"
#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/producer/command_table.h"
#include "corvel/uart/commands.h"
#include "corvel/uart/replies.h"
#include "corvel/uart/uart_link.h"

#include <cstring>

using namespace corvel;
using namespace corvel::uart;

namespace {

using namespace corvel::producer;

constexpr unsigned kFromBoard = 1, kToBoard = 2;
constexpr size_t kNandParamBytes = 36;
constexpr uint32_t kFlashIdBytes = 8;
constexpr uint32_t kNandUnitLimit = 65536;

unsigned Run(unsigned nID, unsigned code, unsigned p1 = 0, unsigned p2 = 0, const void* data = nullptr,
             uint32_t length = 0) {
    if (AttachedChannel(nID) == nullptr) return 0;
    T_USB_CORVEL command{code, data != nullptr ? kToBoard : 0u, p1, p2, const_cast<void*>(data), length, 0};
    if (!SendCommand(nID, command, data)) return 0;
    return WaitStatus(nID - 1, FindCommand(code)->wait.serial) ? 1 : 0;
}

}  // namespace

extern "C" {

KW_API unsigned KW_Uart_TestConnection(unsigned nID) try {
    return Run(nID, kTestConnection, 75, 87);
} catch (...) {
    return ExportFailed("KW_Uart_TestConnection", 0u);
}

KW_API unsigned KW_Uart_SetMode(unsigned nID, T_MODE_CONTROL mode) try {
    BurnObject* ch = AttachedChannel(nID);
    if (ch == nullptr) return 0;
    uint32_t word;
    std::memcpy(&word, &mode, sizeof word);
    ch->mediumMode = SerialMediumMode(ch->mediumMode.load(), mode.eMedium);
    return Run(nID, kSetMode, word);
} catch (...) {
    return ExportFailed("KW_Uart_SetMode", 0u);
}

KW_API unsigned KW_Uart_GetFlashID(unsigned nID, unsigned p1, unsigned p2, unsigned* id, unsigned* count) try {
    BurnObject* ch = AttachedChannel(nID);
    if (ch == nullptr || id == nullptr || count == nullptr) return 0;
    unsigned index = nID - 1;
    ReceivedData& received = Received(index);
    {
        std::lock_guard lock(received.mutex);
        received.present = false;
        received.bytes.clear();
    }
    ch->lastCommand = kGetFlashID;
    received.dataExpected = 1;
    T_USB_CORVEL command{kGetFlashID, kFromBoard, p1, p2, nullptr, kFlashIdBytes, 0};
    if (!SendCommand(nID, command)) return 0;

    UartChannel& link = Uart(index);
    bool arrived = link.WaitUntil(FindCommand(kGetFlashID)->wait.serial, [&] {
        std::lock_guard lock(received.mutex);
        return received.dataExpected.load() == 0 && received.present;
    });
    if (!arrived) {
        received.dataExpected = 0;
        link.frameReception = 0;
        ch->retFlag = kNoReply;
        return 0;
    }
    std::vector<uint8_t> data;
    {
        std::lock_guard lock(received.mutex);
        data = received.bytes;
    }
    // A reply too short to hold both words is no flash ID.
    if (data.size() < 12) {
        TransferLogf("flash id reply of %zu bytes\r\n", data.size());
        WaitStatus(index, FindCommand(kGetFlashID)->wait.serial);
        return 0;
    }
    *id = LE32(&data[4]);
    *count = LE32(&data[8]);
    ch->flash_chip_count = *count;
    TransferLogf("%x", *id);
    return WaitStatus(index, FindCommand(kGetFlashID)->wait.serial) ? 1 : 0;
} catch (...) {
    return ExportFailed("KW_Uart_GetFlashID", 0u);
}

KW_API unsigned KW_Uart_SetNandParam(unsigned nID, const tag_Nand_Phy_Info* info) try {
    BurnObject* ch = AttachedChannel(nID);
    if (ch == nullptr || info == nullptr) return 0;
    ch->NandPhyInfo = *info;
    unsigned unit = info->page_size + info->spare_size;
    ch->nandTransferUnit = unit == 0 ? 0 : unit * (kNandUnitLimit / unit);
    return Run(nID, kSetNandParam, 0, 0, info, kNandParamBytes);
} catch (...) {
    return ExportFailed("KW_Uart_SetNandParam", 0u);
}

KW_API unsigned KW_Uart_InitSecArea(unsigned nID, unsigned value) try {
    return Run(nID, kInitSecArea, value);
} catch (...) {
    return ExportFailed("KW_Uart_InitSecArea", 0u);
}

KW_API unsigned KW_Uart_Close(unsigned nID) try {
    if (BurnObject* ch = ChannelByID(nID)) ch->bConnected = 0;
    return Run(nID, kClose);
} catch (...) {
    return ExportFailed("KW_Uart_Close", 0u);
}

KW_API unsigned KW_Uart_SetSPIParam(unsigned nID, const T_SFLASH_PHY_INFO* info) try {
    BurnObject* ch = AttachedChannel(nID);
    if (ch == nullptr || info == nullptr) return 0;
    ch->SpiPhyInfo = *info;
    ch->SpiPhyInfo.boot_blocks = static_cast<uint8_t>(ch->lastExParameter.load());
    return Run(nID, kSetSPIParam, 0, 0, info, sizeof *info);
} catch (...) {
    return ExportFailed("KW_Uart_SetSPIParam", 0u);
}

KW_API unsigned KW_Uart_Set_Ex_Parameter(unsigned nID, unsigned value) try {
    BurnObject* ch = AttachedChannel(nID);
    if (ch == nullptr) return 0;
    ch->lastExParameter = value;
    return Run(nID, kSetExParameter, value);
} catch (...) {
    return ExportFailed("KW_Uart_Set_Ex_Parameter", 0u);
}

KW_API unsigned KW_Uart_SetBurnedParam(unsigned nID, const T_BURNED_PARAM* param) try {
    if (param == nullptr) return 0;
    return Run(nID, kSetBurnedParam, 0, 0, param, sizeof *param);
} catch (...) {
    return ExportFailed("KW_Uart_SetBurnedParam", 0u);
}

KW_API unsigned KW_Uart_SetEraseMode(unsigned nID, unsigned value) try {
    return Run(nID, kSetEraseMode, value);
} catch (...) {
    return ExportFailed("KW_Uart_SetEraseMode", 0u);
}

}  // extern "C"
