// Finding USB boards and binding them to channels: counting, matching a disk
// to its USB device, attach and detach.
#include "corvel/core/chip_types.h"
#include "corvel/core/export_guard.h"
#include "corvel/core/library.h"
#include "corvel/core/transfer_log.h"
#include "corvel/platform/os.h"
#include "corvel/usb/usb_enumeration.h"
#include "corvel/usb/usb_library.h"
#include "corvel/usb/usb_commands.h"
#include "usbcorvel/device_path.h"

#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace corvel;
using namespace corvel::usb;

namespace {

constexpr unsigned kProducerProductIds[] = {909, 910};  // boards running the producer
constexpr unsigned kBootEnableRegister = 0x080000E8, kBootEnableValue = 0xAA000000;
constexpr unsigned kClockRegister = 0x08000034, kClockValue = 0xC20003E0;

// Attach and detach choose channels from one table; they never run at once.
std::mutex g_attachMutex;

// The register writes a freshly attached board of `chipType` needs.
bool WriteAttachRegisters(KW_HANDLE device, unsigned chipType) {
    const ChipType* chip = FindChipType(chipType);
    AttachWrites writes = chip != nullptr ? chip->usbAttach : AttachWrites::None;
    if (writes == AttachWrites::ClockThenBootEnable &&
        !WriteRegister(device, kClockRegister, kClockValue, "KW_AttachUSB")) {
        TransferLog("KW_AttachUSB: KW_SetReg 0x08000034 fail\r\n");
        return false;
    }
    bool bootEnable = writes == AttachWrites::BootEnable || writes == AttachWrites::ClockThenBootEnable ||
                      (writes == AttachWrites::BootEnableUnlessSecure && Lib().secureBoot.load() != kSecureBoot);
    if (bootEnable && !WriteRegister(device, kBootEnableRegister, kBootEnableValue, "KW_AttachUSB")) {
        TransferLog("KW_AttachUSB: KW_SetReg regAddr fail\r\n");
        return false;
    }
    return true;
}

// The device `path` names in the device list; nullopt with the log line of
// the failing step when `logFailures`.
std::optional<UsbDeviceRecord> FindListedDevice(const std::wstring& path, bool logFailures) {
    std::optional<usbcorvel::DevicePath> parsed = usbcorvel::ParseDevicePath(path);
    if (!parsed) {
        if (logFailures) TransferLog("KW_AttachUSB: GetPNPDriverIDByDriverName KW_FAIL\r\n");
        return std::nullopt;
    }
    std::string why;
    auto devices = ListUsbDevices(why);
    if (!devices) {
        if (logFailures) TransferLogf("KW_AttachUSB: Init_Com\r\n%s\r\n", why.c_str());
        return std::nullopt;
    }
    for (const UsbDeviceRecord& device : *devices)
        if (!device.ports.empty() && usbcorvel::PathNames(*parsed, device.bus, device.ports, device.address))
            return device;
    if (logFailures) TransferLog("KW_AttachUSB: EnumerateHostControllers hostRet <= 0\r\n");
    return std::nullopt;
}

// The other name of the device `path` names: its device node when `path` is
// its port location, its port location when `path` is its device node; ""
// when it is not listed. A removal is reported by location, whichever name
// the board was attached by.
std::wstring OtherName(const std::wstring& path, const std::optional<UsbDeviceRecord>& device) {
    if (!device) return {};
    std::wstring location = device->Location();
    return path == location ? usbcorvel::FormatDeviceNode(device->bus, device->address) : location;
}

// The channel that takes a device at `location`: in bind mode the channel
// bound to that port, else the first free channel with no port of its own;
// without binding the first free channel. A channel is free when no burn
// holds it and no device is bound to it: a channel whose board left during
// its burn is not, or the end of that burn would close the new board.
// nullptr when none.
BurnObject* ChooseChannel(const std::wstring& location, bool bind) {
    Library& lib = Lib();
    unsigned n = lib.count.load();
    if (bind) {
        for (unsigned i = 0; i < n; ++i)
            if (lib.channels[i].HubLocation() == location) return &lib.channels[i];
        for (unsigned i = 0; i < n; ++i) {
            BurnObject& ch = lib.channels[i];
            if (IsFree(ch) && ch.HubLocation().empty()) {
                ch.SetHubLocation(location);
                return &ch;
            }
        }
        return nullptr;
    }
    for (unsigned i = 0; i < n; ++i)
        if (IsFree(lib.channels[i])) return &lib.channels[i];
    return nullptr;
}

// Device names compare with every character but the first in lower case.
std::wstring DetachKey(std::wstring name) {
    for (size_t i = 1; i < name.size(); ++i)
        if (name[i] >= L'A' && name[i] <= L'Z') name[i] = static_cast<wchar_t>(name[i] - L'A' + L'a');
    return name;
}

}  // namespace

extern "C" {

KW_API unsigned KW_GetUSB_Num(unsigned productId, unsigned vendorId) try {
    std::string why;
    auto devices = ListUsbDevices(why);
    if (!devices) {
        TransferLogf("KW_GetUSB_Num: %s\r\n", why.c_str());
        return 0;
    }
    unsigned count = 0;
    for (const UsbDeviceRecord& device : *devices) {
        bool productMatches = device.productId == productId || device.productId == kProducerProductIds[0] ||
                              device.productId == kProducerProductIds[1];
        if (device.configured && !device.IsHub() && device.vendorId == vendorId && productMatches) ++count;
    }
    return count;
} catch (...) {
    return ExportFailed("KW_GetUSB_Num", 0u);
}

KW_API unsigned KW_DriverName_IsCurrentFlag(const wchar_t* drive, unsigned productId, unsigned vendorId) try {
    if (drive == nullptr || *drive == L'\0') return 0;
    struct stat info {};
    if (::stat(platform::ToUtf8(drive).c_str(), &info) != 0) {
        TransferLog("KW_DriverName_IsCurrentFlag: GetPNPDriverIDByDriverName fail\r\n");
        return 0;
    }
    // A block device names itself; any other path names the volume it is on.
    dev_t volume = S_ISBLK(info.st_mode) ? info.st_rdev : info.st_dev;
    std::string usbDevice = UsbDeviceOfBlock("/sys", major(volume), minor(volume));
    if (usbDevice.empty()) return 0;
    auto vid = ReadSysfsId(usbDevice, "idVendor");
    auto pid = ReadSysfsId(usbDevice, "idProduct");
    if (!vid || !pid || *vid == vendorId || *pid == productId) return 0;
    TransferLog("KW_DriverName_IsCurrentFlag: The driver name is no current pid and  vid\r\n");
    return 1;
} catch (...) {
    return ExportFailed("KW_DriverName_IsCurrentFlag", 0u);
}

KW_API unsigned KW_AttachUSB(const wchar_t* path, E_USB_TYPE usbType, E_CHIP_TYPE chipType) try {
    if (path == nullptr || usbType == KW_USB_TYPE_NONE) {
        TransferLog("KW_AttachUSB: input para is null\r\n");
        return 0;
    }
    Library& lib = Lib();
    std::string why;
    const UsbAccess* access = AccessLibrary(why);
    if (access == nullptr) {
        TransferLogf("KW_AttachUSB: %s\r\n", why.c_str());
        return 0;
    }
    KW_HANDLE device = access->OpenUSB(path, usbType);
    if (device == KW_INVALID_HANDLE) {
        TransferLogf("KW_AttachUSB: KW_OpenUSB fail: %s\r\n", access->Reason().c_str());
        return 0;
    }
    if (device == nullptr) {
        TransferLog("KW_AttachUSB: hHandle  0\r\n");
        return 0;
    }
    // Every failure from here on closes the device again, so the board can be
    // attached once more without unplugging it.
    if (!WriteAttachRegisters(device, chipType)) {
        access->CloseUSB(device);
        return 0;
    }
    bool bind = lib.bindChannels.load() != 0;
    std::optional<UsbDeviceRecord> listed = FindListedDevice(path, bind);
    if (bind && !listed) {
        access->CloseUSB(device);
        return 0;
    }
    std::wstring location = listed ? listed->Location() : std::wstring();

    std::lock_guard lock(g_attachMutex);
    BurnObject* ch = ChooseChannel(location, bind);
    if (ch == nullptr) {
        access->CloseUSB(device);
        TransferLog("KW_AttachUSB: g_bBurnAttachUSBMode\r\n");
        return 0;
    }
    // A board that comes back on its port without having been detached (it
    // re-enumerates after a speed switch) leaves a dead handle behind.
    BoundDevice stale;
    BindDevice(*ch, device, Transport::Usb, path, true, &stale);
    ch->SetDevAlias(OtherName(path, listed));
    if (stale.handle != device) CloseDevice(ch->nID.load() - 1, stale.handle, stale.transport);
    ch->attachEvent.Set();
    return ch->nID.load();
} catch (...) {
    return ExportFailed("KW_AttachUSB", 0u);
}

KW_API unsigned KW_DetachUSB(const wchar_t* path, E_USB_TYPE usbType) try {
    if (path == nullptr || *path == L'\0' || usbType == KW_USB_TYPE_NONE) return 0;
    std::lock_guard lock(g_attachMutex);
    std::wstring key = DetachKey(path);
    return DetachChannel([&](const BurnObject& ch) {
        std::wstring alias = ch.DevAlias();
        return DetachKey(ch.DevName()) == key || (!alias.empty() && DetachKey(alias) == key);
    });
} catch (...) {
    return ExportFailed("KW_DetachUSB", 0u);
}

}  // extern "C"
