// The exported producer commands over the serial link: each one block, an
// optional data phase and a status.
#include "corvel/core/export_guard.h"
#include "corvel/core/library.h"
#include "corvel/producer/session.h"
#include "corvel/uart/serial_transport.h"

using namespace corvel;
using namespace corvel::producer;
using namespace corvel::uart;

namespace {

// Runs `work` on the producer of channel `nID`; 0 when the channel has no port.
template <typename Work>
unsigned OnProducer(const char* caller, unsigned nID, Work work) {
    if (AttachedChannel(nID) == nullptr) return 0;
    SerialTransport transport(nID, caller);
    Session session(nID, transport, caller);
    return work(session) ? 1 : 0;
}

unsigned Run(const char* caller, unsigned nID, unsigned code, Request request = {}) {
    return OnProducer(caller, nID, [&](Session& s) { return s.Run(code, request); });
}

}  // namespace

extern "C" {

KW_API unsigned KW_Uart_TestConnection(unsigned nID) try {
    return Run("KW_Uart_TestConnection", nID, kTestConnection, {.param1 = 75, .param2 = 87});
} catch (...) {
    return ExportFailed("KW_Uart_TestConnection", 0u);
}

KW_API unsigned KW_Uart_SetMode(unsigned nID, T_MODE_CONTROL mode) try {
    return OnProducer("KW_Uart_SetMode", nID, [&](Session& s) {
        return s.SetMode(mode, SerialMediumMode(ChannelByID(nID)->mediumMode.load(), mode.eMedium));
    });
} catch (...) {
    return ExportFailed("KW_Uart_SetMode", 0u);
}

KW_API unsigned KW_Uart_GetFlashID(unsigned nID, unsigned p1, unsigned p2, unsigned* id, unsigned* count) try {
    if (id == nullptr || count == nullptr) return 0;
    return OnProducer("KW_Uart_GetFlashID", nID, [&](Session& s) { return s.GetFlashID(p1, p2, id, count); });
} catch (...) {
    return ExportFailed("KW_Uart_GetFlashID", 0u);
}

KW_API unsigned KW_Uart_SetNandParam(unsigned nID, const tag_Nand_Phy_Info* info) try {
    if (info == nullptr) return 0;
    return OnProducer("KW_Uart_SetNandParam", nID, [&](Session& s) { return s.SetNandParam(*info); });
} catch (...) {
    return ExportFailed("KW_Uart_SetNandParam", 0u);
}

KW_API unsigned KW_Uart_InitSecArea(unsigned nID, unsigned value) try {
    return Run("KW_Uart_InitSecArea", nID, kInitSecArea, {.param1 = value});
} catch (...) {
    return ExportFailed("KW_Uart_InitSecArea", 0u);
}

KW_API unsigned KW_Uart_Close(unsigned nID) try {
    if (BurnObject* ch = ChannelByID(nID)) ch->bConnected = 0;
    return Run("KW_Uart_Close", nID, kClose);
} catch (...) {
    return ExportFailed("KW_Uart_Close", 0u);
}

KW_API unsigned KW_Uart_SetSPIParam(unsigned nID, const T_SFLASH_PHY_INFO* info) try {
    if (info == nullptr) return 0;
    return OnProducer("KW_Uart_SetSPIParam", nID, [&](Session& s) { return s.SetSpiParam(*info); });
} catch (...) {
    return ExportFailed("KW_Uart_SetSPIParam", 0u);
}

KW_API unsigned KW_Uart_Set_Ex_Parameter(unsigned nID, unsigned value) try {
    return OnProducer("KW_Uart_Set_Ex_Parameter", nID, [&](Session& s) { return s.SetExParameter(value); });
} catch (...) {
    return ExportFailed("KW_Uart_Set_Ex_Parameter", 0u);
}

KW_API unsigned KW_Uart_SetBurnedParam(unsigned nID, const T_BURNED_PARAM* param) try {
    if (param == nullptr) return 0;
    return Run("KW_Uart_SetBurnedParam", nID, kSetBurnedParam, {.out = param, .length = sizeof *param});
} catch (...) {
    return ExportFailed("KW_Uart_SetBurnedParam", 0u);
}

KW_API unsigned KW_Uart_SetEraseMode(unsigned nID, unsigned value) try {
    return Run("KW_Uart_SetEraseMode", nID, kSetEraseMode, {.param1 = value});
} catch (...) {
    return ExportFailed("KW_Uart_SetEraseMode", 0u);
}

}  // extern "C"
