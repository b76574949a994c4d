// Boot-ROM register writes and downloads, sent as echoed text commands.
#include "corvel/core/library.h"
#include "corvel/uart/uart_link.h"

#include <thread>

using namespace corvel;
using namespace corvel::uart;

namespace {
constexpr auto kAfterSetvalue = 20ms;
}

extern "C" {

KW_API unsigned KW_Uart_Setvalue(unsigned nID, const char* address, const char* value) {
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
    KW_CloseUart(ch->hDevice.load(), index);
    ch->hDevice = KW_INVALID_HANDLE;
    return 0;
}

}  // extern "C"
