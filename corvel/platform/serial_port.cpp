#include "corvel/platform/serial_port.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace corvel::platform {

SerialPort::~SerialPort() { Close(); }

OpenError SerialPort::Open(const std::string& path, unsigned baud) {
    Close();
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EBUSY || errno == EACCES) return OpenError::InUse;
        if (errno == ENOENT || errno == ENXIO || errno == ENODEV) return OpenError::NotFound;
        return OpenError::Other;
    }
    // TIOCEXCL keeps other (unprivileged) openers out; flock also covers root
    // and openers in this very process.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return errno == EWOULDBLOCK ? OpenError::InUse : OpenError::Other;
    }
    ::ioctl(fd, TIOCEXCL);
    if (!SetRawLine(fd, baud)) {
        ::close(fd);
        return OpenError::Other;
    }
    // Modem lines: pseudo-terminals refuse these, which is harmless.
    int dtr = TIOCM_DTR, rts = TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &dtr);
    ::ioctl(fd, TIOCMBIC, &rts);
    ::ioctl(fd, TCFLSH, 0 /* TCIFLUSH: see DropDtrAndPurge */);
    fd_ = fd;
    path_ = path;
    return OpenError::None;
}

void SerialPort::Close() {
    if (fd_ < 0) return;
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // also releases the flock
    fd_ = -1;
    path_.clear();
}

void SerialPort::DropDtrAndPurge() {
    if (fd_ < 0) return;
    int dtr = TIOCM_DTR;
    ::ioctl(fd_, TIOCMBIC, &dtr);
    // Only what came in is cleared. Bytes already written must still reach the
    // board: the kernel hands them on after the write returns (a UART's
    // transmit queue, a pseudo-terminal's buffer that a busy machine empties
    // late), and the last byte before a rate change (the return after "go" or
    // after the baud selector) would otherwise be lost when the port is
    // closed or opened again right after it.
    ::ioctl(fd_, TCFLSH, 0 /* TCIFLUSH */);
}

bool SerialPort::WriteAll(const void* data, size_t size, std::chrono::milliseconds timeout) {
    if (fd_ < 0) return false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::write(fd_, p, size);
        if (n > 0) {
            p += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{fd_, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
        if (pfd.revents & (POLLERR | POLLNVAL)) return false;
    }
    return true;
}

long SerialPort::ReadAvailable(void* buffer, size_t capacity) {
    if (fd_ < 0) return -1;
    for (;;) {
        ssize_t n = ::read(fd_, buffer, capacity);
        if (n > 0) return n;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return 0;
        return -1;  // end of file or an error: the device is gone
    }
}

}  // namespace corvel::platform
