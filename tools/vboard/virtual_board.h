#pragma once
// A target board on a pseudo-terminal. The host opens PortPath() like any
// serial port; the board keeps the terminal (and its own state) alive while the
// host closes and reopens the port, as a real board stays powered across a
// baud change.
#include "tools/vboard/boot_rom.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vboard {

class VirtualBoard {
public:
    explicit VirtualBoard(const BoardOptions& options);
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
    std::vector<std::pair<uint32_t, uint32_t>> RamPairs() const;
    std::vector<Upload> Uploads() const;
    // Producer commands received so far, and the flash behind the producer
    // (empty before the producer runs).
    std::vector<ReceivedCommand> ProducerCommands() const;
    std::vector<uint8_t> Flash() const;
    bool SaveFlash(const std::string& path) const;

private:
    void Run();
    void Flush(std::chrono::steady_clock::time_point now);
    void Unplug();

    BoardOptions options_;
    int master_ = -1;
    int slave_ = -1;  // held open so the terminal survives the host closing it
    int wake_ = -1;   // eventfd that stops the thread
    std::string portPath_;
    std::string pending_;  // answer bytes not yet taken by the terminal
    size_t received_ = 0;
    // With pacing: when the wire is free again in each direction.
    std::chrono::steady_clock::time_point inFreeAt_{}, outFreeAt_{};

    mutable std::mutex mutex_;  // guards rom_ and garbled_
    BootRom rom_;
    size_t garbled_ = 0;
    std::thread thread_;
};

// The baud rate the host has set on the terminal behind `fd`, 0 when unknown.
unsigned TerminalBaud(int fd);

}  // namespace vboard
