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

unsigned DetachChannel(const std::function<bool(const std::wstring&)>& matches,
                       const std::function<void(unsigned, KW_HANDLE)>& close) {
    Library& lib = Lib();
    unsigned n = lib.count.load();
    bool burnRunning = lib.downloadPhase.load() != kNoBurn;
    for (unsigned i = 0; i < n; ++i) {
        BurnObject& ch = lib.channels[i];
        KW_HANDLE device = ch.hDevice.load();
        if (!IsValidHandle(device) || !matches(ch.DevName())) continue;
        close(i, device);
        ch.hDevice = KW_INVALID_HANDLE;
        ch.SetDevName(L"");
        if (burnRunning && (ch.state.load() == kUsbSpeedSwitch || ch.bConnected.load() != 0)) {
            ch.state = kDeviceLeft;
            return 0;
        }
        ch.state = kIdle;
        return i + 1;
    }
    for (unsigned i = 0; i < n; ++i) {
        BurnObject& ch = lib.channels[i];
        if (!matches(ch.DevName())) continue;
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

void WorkerLoop(unsigned index) {
    Library& lib = Lib();
    BurnObject& ch = lib.channels[index];
    for (;;) {
        ch.state = kIdle;
        ch.dl_length = 0;
        ch.bConnected = 0;
        if (AllChannelsIdle()) CloseTransferLog();
        lib.downloadPhase = kNoBurn;
        ch.workerReady.Set();

        ch.startEvent.Wait();
        ch.state = kBurning;
        if (KW_BURN_ENTRY entry = lib.burnEntry.load()) entry(ch.nID.load());

        KW_HANDLE device = ch.hDevice.load();
        if (IsValidHandle(device)) {
            if (lib.usbMode.load() == 0) {
                KW_CloseUart(device, index);
                uart::ClearConsoleCapture(index);
            } else {
                usb::CloseDevice(device);
            }
        }
        ch.hDevice = KW_INVALID_HANDLE;
    }
}

}  // namespace
}  // namespace corvel

using namespace corvel;

extern "C" {

KW_API unsigned KW_Init(unsigned count, KW_BURN_ENTRY burnEntry, KW_PROGRESS progress) {
    if (count == 0 || count > KW_MAX_CHANNELS || burnEntry == nullptr || progress == nullptr) return 0;
    Library& lib = Lib();
    std::lock_guard lock(lib.initMutex);
    for (auto& ch : lib.channels) ch.retFlag = kNoReply;
    lib.count = count;
    if (count <= lib.initialised) return 1;  // existing channels and threads are reused

    lib.burnEntry = burnEntry;
    lib.progress = progress;
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
    // A channel attached right after this call must not be reset by its
    // worker's first pass, or KW_Start would miss it.
    for (unsigned i = 0; i < count; ++i) lib.channels[i].workerReady.Wait();
    return 1;
}

KW_API unsigned KW_Start(void) {
    Library& lib = Lib();
    unsigned started = 0;
    unsigned n = lib.count.load();
    for (unsigned i = 0; i < n; ++i) {
        BurnObject& ch = lib.channels[i];
        if (ch.state.load() == kAttached && IsValidHandle(ch.hDevice.load())) {
            ch.startEvent.Set();
            ++started;
        }
    }
    lib.ramTableRecorded = false;
    return started;
}

KW_API unsigned KW_Start_Channel(unsigned nID) {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr || !IsValidHandle(ch->hDevice.load())) return 0;
    // The channel counts as burning from here on, not only once its worker
    // runs: a second start before then would wake it again, and it would
    // burn a second time with no board.
    unsigned attached = kAttached;
    if (!ch->state.compare_exchange_strong(attached, kBurning)) return 0;
    ch->startEvent.Set();
    Lib().ramTableRecorded = false;
    return 1;
}

KW_API void KW_GetVersion(unsigned* major, unsigned* minor, unsigned* build) {
    if (major == nullptr || minor == nullptr || build == nullptr) return;
    *major = 5;
    *minor = 1;
    *build = 20;
}

KW_API void KW_SetEventParam(unsigned seconds) {
    if (seconds != 0) Lib().attachWaitSeconds = seconds;
}

KW_API unsigned KW_SetCorvelParam(unsigned, T_CORVEL_PARA* para) {
    if (para == nullptr) return 0;
    Library& lib = Lib();
    if (para->event_time != 0) KW_SetEventParam(para->event_time);
    lib.platformType = para->platform_type;
    lib.chipType = para->chip_type;
    lib.downloadPhase = (para->chip_type == SOC_FB_V1 || para->chip_type == SOC_FB_V2) ? kSerialisationOver : kSerialised;
    return 1;
}

KW_API unsigned KW_WaitUSBAttach(unsigned nID) {
    BurnObject* ch = ChannelByID(nID);
    if (ch == nullptr) return 0;
    auto wait = std::chrono::seconds(Lib().attachWaitSeconds.load());
    return ch->attachEvent.WaitFor(std::chrono::duration_cast<std::chrono::milliseconds>(wait)) ? 1 : 0;
}

KW_API unsigned KW_Is_Bind_channels_flag(int value) {
    Lib().bindChannels = value;
    return 1;
}

KW_API unsigned KW_Secuse_boot_flag(unsigned flag) {
    Lib().secureBoot = flag;
    return 0;  // the program relies on this call returning 0
}

KW_API unsigned KW_DownloadImg_length(unsigned nID, unsigned bytes) {
    AddProgress(nID, bytes);
    return 1;
}

KW_API unsigned KW_set_jiggle_mode_no_vin_chg(int value) {
    Lib().jiggleMode = value;
    return 1;
}

}  // extern "C"
