// The exported serial-port and boot-handshake functions.
#include "corvel/core/chip_types.h"
#include "corvel/core/export_guard.h"
#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/platform/os.h"
#include "corvel/uart/uart_link.h"

#include <algorithm>
#include <thread>

using namespace corvel;
using namespace corvel::uart;

namespace {

constexpr auto kAfterWakeChar = 2ms;
constexpr int kWakeRounds = 3;
constexpr int kSecureChecks = 3;
constexpr auto kSecureCheckPause = 2ms;
constexpr auto kBeforeSelector = 10ms;
constexpr auto kAfterSelector = 5ms;
constexpr auto kAfterAttachReturn = 2ms;
constexpr auto kBeforeReopen = 10ms;

struct BaudChoice {
    char selector;
    unsigned portBaud;
};

// The boot ROM knows three link rates; anything else gets the fastest.
BaudChoice ChooseBaud(unsigned baud) {
    if (baud == 115200) return {'1', 115200};
    if (baud == 921600 || baud == 1000000 || baud == 1500000) return {'2', 1000000};
    return {'3', 2000000};
}

E_PORT_ERROR PublicError(platform::OpenError error) {
    switch (error) {
        case platform::OpenError::None: return PORT_OK;
        case platform::OpenError::NotFound: return PORT_MISSING;
        case platform::OpenError::NoPermission: return PORT_NO_PERMISSION;
        case platform::OpenError::InUse: return PORT_IN_USE;
        case platform::OpenError::NotATty: return PORT_NOT_SERIAL;
        case platform::OpenError::Other: break;
    }
    return PORT_OPEN_FAILED;
}

const char* ErrorName(platform::OpenError error) {
    switch (PublicError(error)) {
        case PORT_OK: return "open";
        case PORT_MISSING: return "missing";
        case PORT_NO_PERMISSION: return "no permission";
        case PORT_IN_USE: return "in use";
        case PORT_NOT_SERIAL: return "not a serial port";
        case PORT_OPEN_FAILED: break;
    }
    return "cannot be opened";
}

// A channel whose worker still holds it takes no new port: the end of that
// burn would close it again.
bool StillBurning(const BurnObject& ch, const char* function) {
    if (ch.burnPhase.load() == BurnPhase::None) return false;
    TransferLogf("%s: channel %u is still burning\r\n", function, ch.nID.load());
    return true;
}

}  // namespace

extern "C" {

KW_API unsigned KW_Start_Read(const wchar_t* portName, unsigned index, E_CHIP_TYPE chipType) try {
    if (portName == nullptr || index >= KW_MAX_CHANNELS) return 0;
    Library& lib = Lib();
    BurnObject& ch = lib.channels[index];
    if (StillBurning(ch, "KW_Start_Read")) return 0;
    UartChannel& link = Uart(index);
    lib.chipType = static_cast<unsigned>(chipType);
    link.promptWait = 1;
    link.promptSeen = 0;
    // A RAM test that never reported (a board with bad RAM) must not keep the
    // reader from seeing the next board's prompt.
    link.ramTestWait = 0;

    const PortOpen before = LastPortOpen(index);
    KW_HANDLE handle = OpenUart(portName, kBootBaud, index);
    if (!IsValidHandle(handle)) {
        // The board went away while its prompt was awaited: nothing is left to
        // watch, and a watcher kept waiting would outlive every later round.
        StopWatcher(index);
        // The station retries a port that stays unopenable: one line per change.
        const PortOpen now = LastPortOpen(index);
        if (now != before)
            TransferLogf("KW_Start_Read: Open_Uart handle fail (%s %s: %s)\r\n", now.path.c_str(),
                         ErrorName(now.error), now.detail.c_str());
        return 0;
    }
    if (!BindDevice(ch, handle, Transport::Serial, portName, false)) return 0;
    ch.nID = index + 1;
    // The port runs at the boot rate now; a rate chosen for an earlier board
    // must not make KW_Attach_Uart reopen this one at that rate.
    link.portBaud = kBootBaud;

    StopWatcher(index);
    link.handshake = 0;
    if (!StartWatcher(index)) {
        TransferLog("KW_Start_Read: the prompt watcher cannot be started\r\n");
        return 0;
    }

    const ChipType* chip = FindChipType(chipType);
    std::string_view wake = chip == nullptr ? "" : (lib.secureBoot.load() == kSecureBoot ? chip->secureWake : chip->wake);
    for (int round = 0; round < kWakeRounds; ++round) {
        if (static_cast<size_t>(round) < wake.size()) SendByte(index, static_cast<uint8_t>(wake[round]));
        std::this_thread::sleep_for(kAfterWakeChar);
    }
    return index + 1;
} catch (...) {
    return ExportFailed("KW_Start_Read", 0u);
}

KW_API unsigned KW_check_secure_en(unsigned index) try {
    if (index >= KW_MAX_CHANNELS) return 0;
    UartChannel& link = Uart(index);
    for (int i = 0; i < kSecureChecks; ++i) {
        if (link.handshake.exchange(0) != 0) return 1;
        std::this_thread::sleep_for(kSecureCheckPause);
    }
    return (link.promptSeen.load() == 0 && link.handshake.load() == 0) ? 2 : 0;
} catch (...) {
    return ExportFailed("KW_check_secure_en", 0u);
}

KW_API unsigned KW_Uart_SelectBaud(const wchar_t*, unsigned index, unsigned baud) try {
    if (index >= KW_MAX_CHANNELS) return BAUD_FAILED;
    UartChannel& link = Uart(index);
    BaudChoice choice = ChooseBaud(baud);
    link.portBaud = choice.portBaud;

    if (link.promptSeen.load() == 0) {
        link.promptWait = 0;
        return BAUD_NO_PROMPT;
    }
    link.promptSeen = 0;
    if (!SendTextCommand(index, "baudrate")) {
        DropChannelPort(index);
        return BAUD_FAILED;
    }
    std::this_thread::sleep_for(kBeforeSelector);
    bool sent = SendByte(index, static_cast<uint8_t>(choice.selector));
    std::this_thread::sleep_for(kAfterSelector);
    sent = sent && SendByte(index, '\r');
    if (!sent) {
        TransferLog("KW_Choose_Baud: the baud selector did not go out\r\n");
        DropChannelPort(index);
        return BAUD_FAILED;
    }
    std::this_thread::sleep_for(kAfterSelector);
    // The boot ROM now talks at the new rate; KW_Attach_Uart reopens the port.
    if (baud != kBootBaud) DropChannelPort(index);
    return BAUD_SELECTED;
} catch (...) {
    return ExportFailed("KW_Uart_SelectBaud", static_cast<unsigned>(BAUD_FAILED));
}

KW_API unsigned KW_Choose_Baud(const wchar_t* portName, unsigned index, unsigned baud) try {
    unsigned result = KW_Uart_SelectBaud(portName, index, baud);
    return result == BAUD_SELECTED ? index + 1 : result;
} catch (...) {
    return ExportFailed("KW_Choose_Baud", 0u);
}

KW_API unsigned KW_Attach_Uart(const wchar_t* portName, unsigned linkBaud, unsigned index) try {
    Library& lib = Lib();
    if (portName == nullptr || index >= KW_MAX_CHANNELS) {
        TransferLog("KW_AttachUSB: input para is null\r\n");
        return 0;
    }
    BurnObject& ch = lib.channels[index];
    unsigned portBaud = Uart(index).portBaud.load();
    if (portBaud != kBootBaud) {
        if (StillBurning(ch, "KW_Attach_Uart")) return 0;
        KW_HANDLE handle = OpenUart(portName, portBaud, index);
        if (!IsValidHandle(handle)) {
            TransferLog("KW_Attach_Uart: Open_Uart handle fail\r\n");
            return 0;
        }
        if (!BindDevice(ch, handle, Transport::Serial, portName, false)) return 0;
    }
    Link().linkBaud = linkBaud;
    Link().linkAttached = 1;
    if (!SendByte(index, '\r')) {
        TransferLog("KW_Attach_Uart: the port takes no more bytes\r\n");
        DropChannelPort(index);
        return 0;
    }
    std::this_thread::sleep_for(kAfterAttachReturn);

    const ChipType* chip = FindChipType(lib.chipType.load());
    AttachWrites writes = chip != nullptr ? chip->serialAttach : AttachWrites::None;
    bool setsRegister = writes == AttachWrites::BootEnable ||
                        (writes == AttachWrites::BootEnableUnlessSecure && lib.secureBoot.load() != kSecureBoot);
    if (setsRegister && KW_Uart_Setvalue(index + 1, "080000e8", "aa000000") != 1) {
        TransferLog("KW_AttachUSB: KW_SetReg regAddr fail\r\n");
        return 0;
    }
    return index + 1;
} catch (...) {
    return ExportFailed("KW_Attach_Uart", 0u);
}

KW_API unsigned KW_ChangeCom(const wchar_t* portName, unsigned nID, unsigned baud) try {
    if (portName == nullptr || nID == 0 || nID > KW_MAX_CHANNELS) return 0;
    unsigned index = nID - 1;
    BurnObject& ch = Lib().channels[index];
    DropChannelPort(index);
    std::this_thread::sleep_for(kBeforeReopen);
    KW_HANDLE handle = OpenUart(portName, baud, index);
    if (!IsValidHandle(handle)) {
        TransferLog("KW_Change_Reg: Open_Uart handle fail\r\n");
        return 0;
    }
    // Called from the burn itself (the producer's rate): the channel stays burning.
    BindDevice(ch, handle, Transport::Serial, portName, true);
    return 1;
} catch (...) {
    return ExportFailed("KW_ChangeCom", 0u);
}

KW_API unsigned KW_Detach_Uart(const wchar_t* portName) try {
    // An empty name would match every channel that has no device.
    if (portName == nullptr || *portName == L'\0') return 0;
    return DetachChannel([&](const BurnObject& ch) { return ch.DevName() == portName; });
} catch (...) {
    return ExportFailed("KW_Detach_Uart", 0u);
}

KW_API unsigned KW_Uart_PortError(const wchar_t* portName, unsigned index, wchar_t* detail, unsigned detailChars) try {
    PortOpen look;
    if (index < KW_MAX_CHANNELS) {
        look = LastPortOpen(index);
    } else if (portName != nullptr) {
        look.path = platform::PortPath(platform::ToUtf8(portName));
        look.error = platform::LookAtPort(look.path, look.detail);
    } else {
        look.error = platform::OpenError::Other;
        look.detail = "no port name";
    }
    if (detail != nullptr && detailChars > 0) {
        // The system's words are ASCII; anything else (a folder name) shows as '?'.
        size_t n = std::min<size_t>(look.detail.size(), detailChars - 1);
        for (size_t i = 0; i < n; ++i) {
            auto c = static_cast<unsigned char>(look.detail[i]);
            detail[i] = c < 0x80 ? static_cast<wchar_t>(c) : L'?';
        }
        detail[n] = L'\0';
    }
    return PublicError(look.error);
} catch (...) {
    return ExportFailed("KW_Uart_PortError", PORT_OPEN_FAILED);
}

KW_API unsigned KW_CloseUart(KW_HANDLE handle, unsigned) try {
    if (!IsValidHandle(handle)) return 1;
    // The handle names the port; a handle that is not one of ours has nothing to close.
    int index = IndexOfHandle(handle);
    if (index >= 0) ClosePort(static_cast<unsigned>(index));
    return 1;
} catch (...) {
    return ExportFailed("KW_CloseUart", 1u);
}

}  // extern "C"
