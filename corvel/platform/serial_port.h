#pragma once
// A serial port on a POSIX system: exclusive open, raw 8N1 at any baud rate,
// readiness waits and writes with a deadline. Works on real UARTs, USB-serial
// adapters and pseudo-terminals.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace corvel::platform {

// Why a port could not be opened. InUse: another opener holds it exclusively,
// it is locked, or a UUCP lock file names a live process.
enum class OpenError { None, InUse, NotFound, NoPermission, NotATty, Other };

class SerialPort {
public:
    SerialPort() = default;
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens `path` for exclusive use at `baud`, 8N1, raw, DTR on, RTS off, both
    // directions purged. A port that another opener holds gives OpenError::InUse.
    OpenError Open(const std::string& path, unsigned baud);
    // Details of the last failed Open in a few words (the system's error text,
    // or the lock file of the holder); empty after a success.
    const std::string& OpenDetail() const { return open_detail_; }
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
    OpenError Fail(OpenError error, std::string detail);

    int fd_ = -1;
    std::string path_;
    std::string open_detail_;
};

// What can be told about `path` without opening it (so without touching its
// modem lines): missing, no permission, not a terminal, or a UUCP lock of a
// live process; `detail` gets the system's words or the lock file.
OpenError LookAtPort(const std::string& path, std::string& detail);

// The UUCP lock file that another live process holds for the device `path`
// leads to ("/run/lock/LCK..ttyUSB0 of process 4242"), or "" when none does.
// The lock folders are $KESTROW_LOCK_DIR when set, else /run/lock and /var/lock.
std::string UucpLockHolder(const std::string& path);

// Applies raw 8N1 at an arbitrary baud rate (termios2). False when refused.
bool SetRawLine(int fd, unsigned baud);
// The input/output baud rate currently set on a terminal, 0 when unknown.
unsigned ReadLineBaud(int fd);

}  // namespace corvel::platform
