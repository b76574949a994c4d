#pragma once
// The library's state: the channel table and the library-wide settings. All of
// it lives for the whole process (there is no shutdown call); worker threads
// block on it until the process ends, so it is never destroyed.
#include "corvel/core/events.h"
#include "corvel/core/little_endian.h"
#include "corvel/include/corvel.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace corvel {

inline bool IsValidHandle(KW_HANDLE h) { return h != KW_INVALID_HANDLE && h != nullptr; }

// Channel states.
enum : unsigned { kIdle = 0, kAttached = 1, kBurning = 2, kUsbSpeedSwitch = 3, kDeviceLeft = 4 };

// Download phase: whether producer downloads are serialised across channels.
enum : unsigned { kNoBurn = 0, kSerialised = 1, kSerialisationOver = 2 };

constexpr unsigned kNoReply = 2;  // g_ret_flag value while no status frame has arrived

// How the device bound to a channel is closed.
enum class Transport : unsigned { None, Serial, Usb };

// Where a channel's worker is with its burn: none, inside the burn entry, or
// letting go of the burn's device after the entry returned.
enum class BurnPhase : unsigned { None, Running, Releasing };

struct BurnObject {
    std::atomic<KW_HANDLE> hDevice{KW_INVALID_HANDLE};
    Event startEvent{true};
    Event attachEvent{true};
    Event replyEvent{false};
    Event workerReady{false};  // set once the worker waits for its first start
    std::atomic<unsigned> nID{0};
    std::atomic<unsigned> state{kIdle};
    std::atomic<unsigned> dl_length{0};
    std::atomic<unsigned> flash_chip_count{0};
    std::atomic<unsigned> bConnected{0};
    std::atomic<int> retFlag{kNoReply};     // status of the last reply frame
    std::atomic<unsigned> lastCommand{0};   // code of the last framed command sent

    // Binding a device, claiming the channel for a burn, detaching and the
    // worker letting go after a burn change hDevice, state, bConnected and the
    // two members below under this lock, so that none of them undoes another.
    std::mutex bindMutex;
    Transport transport = Transport::None;  // how hDevice is closed
    std::atomic<BurnPhase> burnPhase{BurnPhase::None};

    // What the producer of this channel was last told (written and read by
    // the channel's worker): the medium mode of the last mode command (1 SPI
    // NOR, 3 NAND), the flash parameters, the NAND transfer unit they give,
    // and the last extended parameter.
    std::atomic<unsigned> mediumMode{0};
    tag_Nand_Phy_Info NandPhyInfo{};
    T_SFLASH_PHY_INFO SpiPhyInfo{};
    std::atomic<unsigned> nandTransferUnit{0};
    std::atomic<unsigned> lastExParameter{0};

    // Device and hub names are written by the program's threads and read by others.
    std::wstring DevName() const;
    void SetDevName(const std::wstring& name);
    std::wstring HubLocation() const;
    void SetHubLocation(const std::wstring& name);
    // The attached USB device's other name (its port location or device node),
    // so that a removal reported by either name finds it; "" when none.
    std::wstring DevAlias() const;
    void SetDevAlias(const std::wstring& name);

private:
    mutable std::mutex nameMutex_;
    std::wstring devName_;
    std::wstring devAlias_;
    std::wstring hubLocation_;
};

struct Library {
    std::array<BurnObject, KW_MAX_CHANNELS> channels;
    std::atomic<unsigned> count{0};   // active channel count N
    unsigned initialised = 0;         // entries that have their worker thread
    std::mutex initMutex;             // serialises KW_Init calls
    std::atomic<KW_BURN_ENTRY> burnEntry{nullptr};
    std::atomic<KW_PROGRESS> progress{nullptr};

    std::atomic<unsigned> downloadPhase{kNoBurn};
    std::atomic<unsigned> chipType{SOC_FA_V8};
    std::atomic<unsigned> platformType{2};
    std::atomic<unsigned> attachWaitSeconds{30};
    std::atomic<int> bindChannels{1};
    std::atomic<unsigned> secureBoot{0};
    std::atomic<int> jiggleMode{0};
    std::atomic<bool> ramTableRecorded{false};
    TimedLock producerMutex;                // serialises producer downloads

    // The RAM table as recorded by the first RAM-table call after KW_Start.
    static constexpr unsigned kMaxRamEntries = 100;
    std::mutex ramTableMutex;
    std::array<T_RAM_REG, kMaxRamEntries> ramTable{};
    unsigned ramTableCount = 0;
};

Library& Lib();

// The channel object for `nID` (1..N), or nullptr when out of range.
BurnObject* ChannelByID(unsigned nID);
// The channel object for `nID` when it is in range and has a device, else nullptr.
BurnObject* AttachedChannel(unsigned nID);
// Adds `bytes` to the channel's transfer count and reports the new total.
void AddProgress(unsigned nID, unsigned bytes);

// Binds `device` to the channel as attached and connected. While the channel's
// burn entry runs the channel stays burning: the board came back during its
// own burn (a USB speed switch, a serial rate change). A serial port is only
// bound outside a burn (`duringBurn` false): then the result is false while
// the worker still holds the channel. `replaced` receives the device that was
// bound before (its handle is KW_INVALID_HANDLE when there was none).
struct BoundDevice {
    KW_HANDLE handle = KW_INVALID_HANDLE;
    Transport transport = Transport::None;
};
bool BindDevice(BurnObject& ch, KW_HANDLE device, Transport transport, const std::wstring& name, bool duringBurn,
                BoundDevice* replaced = nullptr);
// Unbinds the channel's device if it is still `device`; true when it was, with
// the transport it was bound with in `transport`.
bool UnbindDevice(BurnObject& ch, KW_HANDLE device, Transport* transport = nullptr);
// Closes a device of channel `index` with its own transport.
void CloseDevice(unsigned index, KW_HANDLE device, Transport transport);
// True when no burn holds the channel and no device is bound to it (it may
// still remember a port name).
bool IsFree(const BurnObject& ch);

// Frees the channel a removed device or port belonged to: the first channel
// with a device whose name `matches` has it closed with its transport;
// otherwise the first channel that only remembers such a name forgets it.
// Returns the channel number, or 0 when none matched or a burn still counts
// on that channel (it is then marked as left).
unsigned DetachChannel(const std::function<bool(const BurnObject&)>& matches);

}  // namespace corvel
