// The exported serial-port and boot-handshake functions.
#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/platform/os.h"
#include "corvel/uart/chip_table.h"
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

void BindPort(BurnObject& ch, KW_HANDLE handle, const wchar_t* name) {
    ch.hDevice = handle;
    ch.SetDevName(name);
    ch.state = kAttached;
    ch.bConnected = 1;
}

}  // namespace

extern "C" {

KW_API unsigned KW_Start_Read(const wchar_t* portName, unsigned index, E_CHIP_TYPE chipType) {
    if (portName == nullptr || index >= KW_MAX_CHANNELS) return 0;
    Library& lib = Lib();
    UartChannel& link = Uart(index);
    lib.chipType = static_cast<unsigned>(chipType);
    link.promptWait = 1;
    link.promptSeen = 0;

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
    BurnObject& ch = lib.channels[index];
    BindPort(ch, handle, portName);
    ch.nID = index + 1;
    // The port runs at the boot rate now; a rate chosen for an earlier board
    // must not make KW_Attach_Uart reopen this one at that rate.
    link.portBaud = kBootBaud;

    StopWatcher(index);
    link.handshake = 0;
    StartWatcher(index);

    const ChipBoot* boot = FindChipBoot(chipType);
    std::string_view wake = boot == nullptr ? "" : (lib.secureBoot.load() == 2 ? boot->secureWake : boot->wake);
    for (int round = 0; round < kWakeRounds; ++round) {
        if (static_cast<size_t>(round) < wake.size()) SendByte(index, static_cast<uint8_t>(wake[round]));
        std::this_thread::sleep_for(kAfterWakeChar);
    }
    return index + 1;
}

KW_API unsigned KW_check_secure_en(unsigned index) {
    if (index >= KW_MAX_CHANNELS) return 0;
    UartChannel& link = Uart(index);
    for (int i = 0; i < kSecureChecks; ++i) {
        if (link.handshake.exchange(0) != 0) return 1;
        std::this_thread::sleep_for(kSecureCheckPause);
    }
    return (link.promptSeen.load() == 0 && link.handshake.load() == 0) ? 2 : 0;
}

KW_API unsigned KW_Uart_SelectBaud(const wchar_t*, unsigned index, unsigned baud) {
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
    SendByte(index, static_cast<uint8_t>(choice.selector));
    std::this_thread::sleep_for(kAfterSelector);
    SendByte(index, '\r');
    std::this_thread::sleep_for(kAfterSelector);
    // The boot ROM now talks at the new rate; KW_Attach_Uart reopens the port.
    if (baud != kBootBaud) DropChannelPort(index);
    return BAUD_SELECTED;
}

KW_API unsigned KW_Choose_Baud(const wchar_t* portName, unsigned index, unsigned baud) {
    unsigned result = KW_Uart_SelectBaud(portName, index, baud);
    return result == BAUD_SELECTED ? index + 1 : result;
}

KW_API unsigned KW_Attach_Uart(const wchar_t* portName, unsigned linkBaud, unsigned index) {
    Library& lib = Lib();
    lib.usbMode = 0;
    if (portName == nullptr || index >= KW_MAX_CHANNELS) {
        TransferLog("KW_AttachUSB: input para is null\r\n");
        return 0;
    }
    BurnObject& ch = lib.channels[index];
    unsigned portBaud = Uart(index).portBaud.load();
    if (portBaud != kBootBaud) {
        KW_HANDLE handle = OpenUart(portName, portBaud, index);
        if (!IsValidHandle(handle)) {
            TransferLog("KW_Attach_Uart: Open_Uart handle fail\r\n");
            return 0;
        }
        BindPort(ch, handle, portName);
    }
    Link().linkBaud = linkBaud;
    Link().linkAttached = 1;
    SendByte(index, '\r');
    std::this_thread::sleep_for(kAfterAttachReturn);

    unsigned chip = lib.chipType.load();
    bool setsRegister = chip == SOC_FA_V4 || chip == SOC_FC_E1 || chip == SOC_FA_V2 ||
                        (chip == SOC_FA_V3 && lib.secureBoot.load() != 2);
    if (setsRegister && KW_Uart_Setvalue(index + 1, "080000e8", "aa000000") != 1) {
        TransferLog("KW_AttachUSB: KW_SetReg regAddr fail\r\n");
        return 0;
    }
    return index + 1;
}

KW_API unsigned KW_ChangeCom(const wchar_t* portName, unsigned nID, unsigned baud) {
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
    BindPort(ch, handle, portName);
    return 1;
}

KW_API unsigned KW_Detach_Uart(const wchar_t* portName) {
    // An empty name would match every channel that has no device.
    if (portName == nullptr || *portName == L'\0') return 0;
    return DetachChannel([&](const std::wstring& name) { return name == portName; },
                         [](unsigned index, KW_HANDLE) { ClosePort(index); });
}

KW_API unsigned KW_Uart_PortError(const wchar_t* portName, unsigned index, wchar_t* detail, unsigned detailChars) {
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
}

KW_API unsigned KW_CloseUart(KW_HANDLE handle, unsigned) {
    if (!IsValidHandle(handle)) return 1;
    // The handle names the port; a handle that is not one of ours has nothing to close.
    int index = IndexOfHandle(handle);
    if (index >= 0) ClosePort(static_cast<unsigned>(index));
    return 1;
}

}  // extern "C"
