#pragma once
// A target board on a pseudo-terminal. The host opens PortPath() like any
// serial port; the board keeps the terminal (and its own state) alive while the
// host closes and reopens the port, as a real board stays powered across a
// baud change.
//
// With BoardOptions::boards above 1 the port stands for a line position: when
// a burn ends the next board appears on the same path after a short pause. A
// board the host gave up (a failed one) first stays silent until the host has
// looked at the port twice more, as an operator swaps a failed board once the
// station has seen it go.
#include "tools/vboard/boot_rom.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vboard {

class VirtualBoard {
public:
    // Told, on the board's own thread, each time a board's burn ends: its
    // number (from 1) and its flash (empty when the producer never ran).
    using BoardEnded = std::function<void(unsigned board, const std::vector<uint8_t>& flash)>;

    explicit VirtualBoard(const BoardOptions& options, BoardEnded onEnded = {});
    ~VirtualBoard();
    VirtualBoard(const VirtualBoard&) = delete;
    VirtualBoard& operator=(const VirtualBoard&) = delete;

    // The device path the host opens, for example /dev/pts/5.
    const std::string& PortPath() const { return portPath_; }

    // Snapshots of what the board has seen so far (safe from any thread).
    std::vector<std::string> Lines() const;
    std::map<std::string, std::string> Registers() const;
    unsigned Baud() const;
    bool Awake() const;
    // Bytes the host wrote while its port ran at another rate than the board.
    size_t GarbledBytes() const;
    // Bytes that crossed the wire so far each way (for the board on the port),
    // by the rate they crossed at: the board's, or the host's for bytes sent
    // at another rate.
    struct WireBytes {
        uint64_t in = 0, out = 0;
    };
    std::map<unsigned, WireBytes> Wire() const;
    std::vector<std::pair<uint32_t, uint32_t>> RamPairs() const;
    std::vector<Upload> Uploads() const;
    // Producer commands received so far, and the flash behind the producer
    // (empty before the producer runs).
    std::vector<ReceivedCommand> ProducerCommands() const;
    std::vector<uint8_t> Flash() const;
    bool SaveFlash(const std::string& path) const;

    // The host's looks at the port so far: the wake sequences it has sent, to
    // any board on the port.
    unsigned HostLooks() const { return hostLooks_; }

    // The board on the port now, from 1; the last one stays once it has ended.
    unsigned BoardNumber() const { return boardNumber_; }
    // True once the last board's burn has ended (or the board was unplugged).
    bool Done() const { return done_; }
    // Whether the host has read every byte the board sent, through a
    // descriptor of its own (the board's thread may have let go of its own).
    bool HostHasReadAll() const;

private:
    using Clock = std::chrono::steady_clock;
    void Run();
    bool Receive(Clock::time_point now, std::vector<uint8_t>& buffer);  // false once unplugged
    void Flush(Clock::time_point now);
    void Unplug();
    void CountLooks(const uint8_t* data, size_t size);
    unsigned HostBaud();
    // Whether the burn of the board on the port is over.
    bool BurnEnded(Clock::time_point now) const;
    // Ends the board on the port; false when the board was stopped during the pause.
    bool EndBoard();
    void NextBoard();

    BoardOptions options_;
    int master_ = -1;
    // Held open so the terminal survives the host closing it. With several
    // boards it is let go once the host speaks, so that the host closing the
    // port shows as a hang-up on the master side.
    int slave_ = -1;
    int wake_ = -1;   // eventfd that stops the thread
    std::string portPath_;
    std::string pending_;  // answer bytes not yet taken by the terminal
    size_t received_ = 0;
    // With pacing: when the last byte of each direction lands, and whether the
    // direction fell silent since.
    std::chrono::steady_clock::time_point inFreeAt_{}, outFreeAt_{};
    bool inIdle_ = true, outIdle_ = true;
    bool outBlocked_ = false;  // the terminal had no room for the last write
    BoardEnded onEnded_;
    bool hostSpoke_ = false;  // the host has sent this board something
    bool unplugArmed_ = false;  // the line after which the board unplugs has come
    // The host's rate when the board last found nothing more to read: bytes
    // that arrive after it were sent at that rate or at the host's present one.
    unsigned idleHostBaud_ = 0;
    std::optional<Clock::time_point> hungUpSince_;  // no host holds the port since then
    std::string wakeTail_;  // the last bytes received, as long as the wake sequence
    std::atomic<unsigned> hostLooks_{0};
    std::optional<unsigned> looksWhenGivenUp_;  // HostLooks() when the host gave the board up
    std::atomic<unsigned> boardNumber_{1};
    std::atomic<bool> done_{false};

    mutable std::mutex mutex_;  // guards rom_, garbled_ and wire_
    BootRom rom_;
    size_t garbled_ = 0;
    std::map<unsigned, WireBytes> wire_;
    std::thread thread_;
};

// Writes `bytes` to the file at `path`, replacing it; false when that fails.
bool SaveBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// The baud rate the host has set on the terminal behind `fd`, 0 when unknown.
unsigned TerminalBaud(int fd);

}  // namespace vboard
