#pragma once
// The serial link of each channel: its port, the reader thread that recognises
// echoes, boot prompts, the RAM-test marker and reply frames, the handshake
// watcher, and the echoed text commands of the boot ROM.
//
// Every channel index owns one port slot. The reader, the watcher and the
// channel's caller meet only through the flags below; a waiter sleeps on the
// channel's condition variable instead of polling, with the same time-outs.
#include "corvel/include/corvel.h"
#include "corvel/platform/serial_port.h"
#include "corvel/uart/byte_buffers.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace corvel::uart {

using namespace std::chrono_literals;

// Protocol timing.
constexpr auto kEchoTimeout = 5000ms;        // wait for the echo of one character
constexpr auto kBeforeEchoedChar = 10ms;     // pause before each character of a text command
constexpr auto kAfterEchoedChar = 1ms;       // pause after each echoed character
constexpr auto kAfterEchoedCharPart2 = 2ms;  // the same in the second part of a two-part command
constexpr auto kBetweenCommandParts = 5ms;
constexpr auto kWriteTimeout = 10000ms;      // a block or chunk write must complete within this
constexpr auto kByteWriteTimeout = 1000ms;
constexpr auto kAfterClose = 20ms;
constexpr size_t kMaxCommandText = 19;
constexpr size_t kReadChunk = 8192;
constexpr size_t kPromptBufferSize = 8192;
constexpr unsigned kBootBaud = 115200;

// Printed by the RAM test program of a chip that checks its RAM when the RAM works.
constexpr std::string_view kRamTestMarker = "REG32(80000000)=12345678";
// The boot ROM's reply to a command it did not understand.
constexpr std::string_view kBootError = "Err Comm";

// The outcome of one port open: why it failed (None after a success), the
// device path and the system's words.
struct PortOpen {
    platform::OpenError error = platform::OpenError::None;
    std::string path, detail;
    bool operator==(const PortOpen&) const = default;
};

struct UartChannel {
    // Port and reader thread. `portMutex` guards open, close and writes.
    std::mutex portMutex;
    platform::SerialPort port;
    PortOpen lastOpen;  // the channel's last open, under portMutex
    std::atomic<uintptr_t> opening{0};  // counts the openings of the port; part of its handle
    std::thread reader;
    int readerWakeFd = -1;  // written to stop the reader
    std::atomic<unsigned> readerRun{0};
    // The prompt watcher is started and stopped from the attach thread and from
    // burn workers (closing the port); `watcherMutex` keeps them from joining
    // the same thread twice.
    std::mutex watcherMutex;
    std::thread watcher;
    std::atomic<bool> watcherStop{false};

    std::atomic<unsigned> promptWait{0}, promptSeen{0}, handshake{0}, capture{0};
    std::atomic<unsigned> ramTestWait{0}, ramTestFound{0};
    std::atomic<unsigned> echoWait{0}, echoAck{0}, echoTimeout{0};
    std::atomic<uint8_t> expectedEcho{0};
    std::atomic<unsigned> frameReception{0};
    // The rate the boot ROM was switched to for this channel's board, at
    // which KW_Attach_Uart opens the port; the boot rate until one is chosen.
    std::atomic<unsigned> portBaud{kBootBaud};

    // Reader-thread-only receive state.
    TailBuffer promptText{kPromptBufferSize};
    FrameParser frames;

    // Wakes whoever waits on one of the flags above.
    void Notify();
    template <typename Pred>
    bool WaitUntil(std::chrono::milliseconds timeout, Pred pred) {
        std::unique_lock lock(signalMutex);
        return signal.wait_for(lock, timeout, pred);
    }
    std::mutex signalMutex;
    std::condition_variable signal;
};

UartChannel& Uart(unsigned index);
// The handle the interface uses for the port of channel `index`.
KW_HANDLE PortHandle(unsigned index);
// The channel index whose port `handle` is, or -1.
int IndexOfHandle(KW_HANDLE handle);

// Library-wide link settings.
struct LinkSettings {
    std::atomic<unsigned> linkBaud{kBootBaud};  // given to KW_Attach_Uart; selects chunk sizes
    std::atomic<unsigned> linkAttached{0};
};
LinkSettings& Link();

// Opens `name` at `baud` for channel `index` and starts its reader. While the
// channel waits for its prompt, a port it already holds is reused. Returns the
// port handle or KW_INVALID_HANDLE.
KW_HANDLE OpenUart(const std::wstring& name, unsigned baud, unsigned index);
// The outcome of the last OpenUart of channel `index`.
PortOpen LastPortOpen(unsigned index);
// Closes the channel's port, its reader and its watcher (KW_CloseUart's work).
void ClosePort(unsigned index);
// Unbinds the device of channel `index` and closes it.
void DropChannelPort(unsigned index);

// Restarts the channel's handshake watcher; false when no thread can be had.
bool StartWatcher(unsigned index);
void StopWatcher(unsigned index);

// One byte, without waiting for the board.
bool SendByte(unsigned index, uint8_t byte);
// Bytes, waiting until the port has taken them all (kWriteTimeout).
bool SendBytes(unsigned index, const void* data, size_t size);
// A boot-ROM text command and its carriage return, each character echoed.
bool SendTextCommand(unsigned index, std::string_view text);
// The two-part form: `first` and its carriage return, then `second` and its.
bool SendTwoPartCommand(unsigned index, std::string_view first, std::string_view second);

// What the reader does with each chunk it reads (also used by tests).
void ProcessChunk(unsigned index, const uint8_t* data, size_t size);
void ClearConsoleCapture(unsigned index);

// Hands a reply frame's payload to the command layer.
void DispatchReply(unsigned index, const uint8_t* payload, size_t size);

}  // namespace corvel::uart
