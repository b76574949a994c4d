#pragma once
// A serial port on a POSIX system: exclusive open, raw 8N1 at any baud rate,
// readiness waits and writes with a deadline. Works on real UARTs, USB-serial
// adapters and pseudo-terminals.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace corvel::platform {

enum class OpenError { None, InUse, NotFound, Other };

class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `path` for exclusive use at `baud`, 8N1, raw, DTR on, RTS off, both
    // directions purged. A port that another opener holds gives OpenError::InUse.
    OpenError Open(const std::string& path, unsigned baud);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    const std::string& Path() const { return path_; }

    // Drops DTR, clears what came in (before a close); what was written still goes out.
    void DropDtrAndPurge();

    // Writes all bytes, waiting for room up to `timeout` in total.
    bool WriteAll(const void* data, size_t size, std::chrono::milliseconds timeout);
    // Reads what is queued now (never blocks): bytes read, 0 when nothing is
    // queued, -1 when the port is gone.
    long ReadAvailable(void* buffer, size_t capacity);

private:
    int fd_ = -1;
    std::string path_;
};

// Applies raw 8N1 at an arbitrary baud rate (termios2). False when refused.
bool SetRawLine(int fd, unsigned baud);
// The input/output baud rate currently set on a terminal, 0 when unknown.
unsigned ReadLineBaud(int fd);

}  // namespace corvel::platform
