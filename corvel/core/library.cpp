#include "corvel/core/chip_types.h"
#include "corvel/core/export_guard.h"
#include "corvel/core/library.h"

#include "corvel/core/transfer_log.h"
#include "corvel/uart/uart_link.h"
#include "corvel/usb/usb_library.h"

#include <new>
#include <thread>

namespace corvel {

std::wstring BurnObject::DevName() const {
    std::lock_guard lock(nameMutex_);
    return devName_;
}
void BurnObject::SetDevName(const std::wstring& name) {
    std::lock_guard lock(nameMutex_);
    devName_ = name;
    devAlias_.clear();
}
std::wstring BurnObject::DevAlias() const {
    std::lock_guard lock(nameMutex_);
    return devAlias_;
}
void BurnObject::SetDevAlias(const std::wstring& name) {
    std::lock_guard lock(nameMutex_);
    devAlias_ = name;
}
std::wstring BurnObject::HubLocation() const {
    std::lock_guard lock(nameMutex_);
    return hubLocation_;
}
void BurnObject::SetHubLocation(const std::wstring& name) {
    std::lock_guard lock(nameMutex_);
    hubLocation_ = name;
}

Library& Lib() {
    // Never destroyed: worker threads wait on it until the process ends.
    static Library* library = new Library;
    return *library;
}

BurnObject* ChannelByID(unsigned nID) {
    Library& lib = Lib();
    if (nID == 0 || nID > lib.count.load()) return nullptr;
    return &lib.channels[nID - 1];
}

BurnObject* AttachedChannel(unsigned nID) {
    BurnObject* ch = ChannelByID(nID);
    return (ch != nullptr && IsValidHandle(ch->hDevice.load())) ? ch : nullptr;
}

bool BindDevice(BurnObject& ch, KW_HANDLE device, Transport transport, const std::wstring& name, bool duringBurn,
                BoundDevice* replaced) {
    std::lock_guard lock(ch.bindMutex);
    BurnPhase phase = ch.burnPhase.load();
    if (!duringBurn && phase != BurnPhase::None) return false;
    KW_HANDLE before = ch.hDevice.exchange(device);
    if (replaced != nullptr) *replaced = {before, ch.transport};
    ch.transport = transport;
    ch.SetDevName(name);
    ch.state = phase == BurnPhase::Running ? kBurning : kAttached;
    ch.bConnected = 1;
    return true;
}

bool UnbindDevice(BurnObject& ch, KW_HANDLE device, Transport* transport) {
    std::lock_guard lock(ch.bindMutex);
    if (ch.hDevice.load() != device) return false;
    ch.hDevice = KW_INVALID_HANDLE;
    if (transport != nullptr) *transport = ch.transport;
    ch.transport = Transport::None;
    return true;
}

void CloseDevice(unsigned index, KW_HANDLE device, Transport transport) {
    if (!IsValidHandle(device)) return;
    switch (transport) {
        case Transport::Serial:
            KW_CloseUart(device, index);
            break;
        case Transport::Usb:
            usb::CloseDevice(device);
            break;
        case Transport::None:
            break;
    }
}

bool IsFree(const BurnObject& ch) {
    // The state alone does not tell: a detach while any channel burns leaves
    // "device left" on a channel that has no burn of its own.
    return ch.burnPhase.load() == BurnPhase::None && !IsValidHandle(ch.hDevice.load());
}

unsigned DetachChannel(const std::function<bool(const BurnObject&)>& matches) {
    Library& lib = Lib();
    unsigned n = lib.count.load();
    bool burnRunning = lib.downloadPhase.load() != kNoBurn;
    for (unsigned i = 0; i < n; ++i) {
        BurnObject& ch = lib.channels[i];
        KW_HANDLE device = ch.hDevice.load();
        Transport transport;
        if (!IsValidHandle(device) || !matches(ch) || !UnbindDevice(ch, device, &transport)) continue;
        CloseDevice(i, device, transport);
        ch.SetDevName(L"");
        std::lock_guard lock(ch.bindMutex);
        if (burnRunning && (ch.state.load() == kUsbSpeedSwitch || ch.bConnected.load() != 0)) {
            ch.state = kDeviceLeft;
            return 0;
        }
        // A device bound while this one was closing keeps its state.
        if (!IsValidHandle(ch.hDevice.load())) ch.state = kIdle;
        return i + 1;
    }
    for (unsigned i = 0; i < n; ++i) {
        BurnObject& ch = lib.channels[i];
        if (!matches(ch)) continue;
        ch.SetDevName(L"");
        if (burnRunning) return 0;
        ch.state = kIdle;
        return i + 1;
    }
    return 0;
}

void AddProgress(unsigned nID, unsigned bytes) {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr) return;
    unsigned total = ch->dl_length.fetch_add(bytes) + bytes;
    if (KW_PROGRESS progress = Lib().progress.load()) progress(nID, total);
}

namespace {

bool AllChannelsIdle() {
    Library& lib = Lib();
    unsigned n = lib.count.load();
    for (unsigned i = 0; i < n; ++i)
        if (lib.channels[i].state.load() != kIdle) return false;
    return true;
}

// After the burn entry returned: closes what the burn held, with the transport
// it was bound with, and makes the channel idle, unless a device was bound
// since (a USB board plugged in again at once), which keeps its channel.
void ReleaseAfterBurn(BurnObject& ch, unsigned index) {
    KW_HANDLE device;
    Transport transport;
    {
        std::lock_guard lock(ch.bindMutex);
        ch.burnPhase = BurnPhase::Releasing;
        device = ch.hDevice.exchange(KW_INVALID_HANDLE);
        transport = ch.transport;
        ch.transport = Transport::None;
    }
    CloseDevice(index, device, transport);
    uart::ClearConsoleCapture(index);
    ch.dl_length = 0;
    std::lock_guard lock(ch.bindMutex);
    if (!IsValidHandle(ch.hDevice.load())) {
        ch.state = kIdle;
        ch.bConnected = 0;
    }
    ch.burnPhase = BurnPhase::None;
}

void WorkerLoop(unsigned index) {
    Library& lib = Lib();
    BurnObject& ch = lib.channels[index];
    for (;;) {
        if (AllChannelsIdle()) CloseTransferLog();
        lib.downloadPhase = kNoBurn;
        ch.workerReady.Set();

        ch.startEvent.Wait();  // KW_Start has claimed the channel
        // The attach that made the channel ready must not count as the board
        // coming back during this burn.
        ch.attachEvent.Reset();
        try {
            if (KW_BURN_ENTRY entry = lib.burnEntry.load()) entry(ch.nID.load());
        } catch (...) {
            ExportFailed("the burn entry");  // the worker lives on for the next board
        }
        try {
            ReleaseAfterBurn(ch, index);
        } catch (...) {
            ExportFailed("releasing a channel after its burn");
            ch.burnPhase = BurnPhase::None;
        }
    }
}

}  // namespace
}  // namespace corvel

using namespace corvel;

extern "C" {

KW_API unsigned KW_Init(unsigned count, KW_BURN_ENTRY burnEntry, KW_PROGRESS progress) try {
    if (count == 0 || count > KW_MAX_CHANNELS || burnEntry == nullptr || progress == nullptr) return 0;
    Library& lib = Lib();
    std::lock_guard lock(lib.initMutex);
    for (auto& ch : lib.channels) ch.retFlag = kNoReply;
    // Every successful call takes the callbacks it is given: a caller may have
    // freed the ones of an earlier call.
    lib.burnEntry = burnEntry;
    lib.progress = progress;
    lib.count = count;
    if (count <= lib.initialised) return 1;  // existing channels and threads are reused

    for (unsigned i = lib.initialised; i < count; ++i) {
        BurnObject& ch = lib.channels[i];
        ch.nID = i + 1;
        ch.startEvent.Reset();
        ch.hDevice = KW_INVALID_HANDLE;
        ch.state = kIdle;
        ch.dl_length = 0;
        ch.SetDevName(L"");
        ch.flash_chip_count = 0;
        ch.bConnected = 0;
        ch.SetHubLocation(L"");
        ch.transport = Transport::None;
        try {
            std::thread(WorkerLoop, i).detach();
        } catch (const std::system_error&) {
            // Threads already started keep waiting on their start events, which
            // nobody signals any more; the count tells the program nothing runs.
            lib.count = 0;
            lib.burnEntry = nullptr;
            lib.progress = nullptr;
            lib.initialised = i;
            TransferLog("KW_Init: worker thread cannot be created\r\n");
            return 0;
        }
        lib.initialised = i + 1;
    }
    // Each worker's first pass resets the download phase: it must be over
    // before the program sets the phase for its first burn.
    for (unsigned i = 0; i < count; ++i) lib.channels[i].workerReady.Wait();
    return 1;
} catch (...) {
    return ExportFailed("KW_Init", 0u);
}

KW_API unsigned KW_Start(void) try {
    Library& lib = Lib();
    unsigned started = 0;
    unsigned n = lib.count.load();
    for (unsigned i = 0; i < n; ++i) {
        BurnObject& ch = lib.channels[i];
        // Claimed here, so a second KW_Start before the worker wakes cannot
        // start a second burn.
        std::lock_guard lock(ch.bindMutex);
        if (ch.state.load() == kAttached && IsValidHandle(ch.hDevice.load())) {
            ch.state = kBurning;
            ch.burnPhase = BurnPhase::Running;
            ch.startEvent.Set();
            ++started;
        }
    }
    lib.ramTableRecorded = false;
    return started;
} catch (...) {
    return ExportFailed("KW_Start", 0u);
}

KW_API unsigned KW_Start_Channel(unsigned nID) try {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr) return 0;
    // Claimed here as KW_Start does, so a second start before the worker
    // wakes cannot burn a second time with no board.
    std::lock_guard lock(ch->bindMutex);
    if (ch->state.load() != kAttached || !IsValidHandle(ch->hDevice.load())) return 0;
    ch->state = kBurning;
    ch->burnPhase = BurnPhase::Running;
    ch->startEvent.Set();
    Lib().ramTableRecorded = false;
    return 1;
} catch (...) {
    return ExportFailed("KW_Start_Channel", 0u);
}

KW_API void KW_GetVersion(unsigned* major, unsigned* minor, unsigned* build) try {
    if (major == nullptr || minor == nullptr || build == nullptr) return;
    *major = 5;
    *minor = 1;
    *build = 20;
} catch (...) {
    ExportFailed("KW_GetVersion");
}

KW_API void KW_SetEventParam(unsigned seconds) try {
    if (seconds != 0) Lib().attachWaitSeconds = seconds;
} catch (...) {
    ExportFailed("KW_SetEventParam");
}

KW_API unsigned KW_SetCorvelParam(unsigned, T_CORVEL_PARA* para) try {
    if (para == nullptr) return 0;
    Library& lib = Lib();
    if (para->event_time != 0) KW_SetEventParam(para->event_time);
    lib.platformType = para->platform_type;
    lib.chipType = para->chip_type;
    const ChipType* chip = FindChipType(para->chip_type);
    lib.downloadPhase = chip != nullptr && !chip->serialisedDownloads ? kSerialisationOver : kSerialised;
    return 1;
} catch (...) {
    return ExportFailed("KW_SetCorvelParam", 0u);
}

KW_API unsigned KW_WaitUSBAttach(unsigned nID) try {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr) return 0;
    auto wait = std::chrono::seconds(Lib().attachWaitSeconds.load());
    return ch->attachEvent.WaitFor(std::chrono::duration_cast<std::chrono::milliseconds>(wait)) ? 1 : 0;
} catch (...) {
    return ExportFailed("KW_WaitUSBAttach", 0u);
}

KW_API unsigned KW_Is_Bind_channels_flag(int value) try {
    Lib().bindChannels = value;
    return 1;
} catch (...) {
    return ExportFailed("KW_Is_Bind_channels_flag", 0u);
}

KW_API unsigned KW_Secuse_boot_flag(unsigned flag) try {
    Lib().secureBoot = flag;
    return 0;  // the program relies on this call returning 0
} catch (...) {
    return ExportFailed("KW_Secuse_boot_flag", 0u);
}

KW_API unsigned KW_DownloadImg_length(unsigned nID, unsigned bytes) try {
    AddProgress(nID, bytes);
    return 1;
} catch (...) {
    return ExportFailed("KW_DownloadImg_length", 0u);
}

KW_API unsigned KW_set_jiggle_mode_no_vin_chg(int value) try {
    Lib().jiggleMode = value;
    return 1;
} catch (...) {
    return ExportFailed("KW_set_jiggle_mode_no_vin_chg", 0u);
}

}  // extern "C"
