#include "corvel/platform/serial_port.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string_view>
#include <system_error>
#include <vector>

namespace corvel::platform {

namespace {

std::string ErrorText(int error) { return std::error_code(error, std::generic_category()).message(); }

// Lock files name the device without "/dev/"; a device in a subfolder
// ("/dev/pts/4") has its slashes replaced ("LCK..pts_4").
std::string LockName(const std::string& device) {
    std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : device.substr(device.rfind('/') + 1);
    std::replace(name.begin(), name.end(), '/', '_');
    return "LCK.." + name;
}

// The process a lock file names: ten ASCII digits (HDB style) or a binary int.
pid_t LockOwner(const std::string& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return 0;
    char text[32] = {};
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return 0;
    bool ascii = std::all_of(text, text + n, [](unsigned char c) { return std::isdigit(c) || std::isspace(c); });
    if (ascii) return static_cast<pid_t>(std::strtol(text, nullptr, 10));
    int binary = 0;
    if (n == static_cast<ssize_t>(sizeof binary)) std::memcpy(&binary, text, sizeof binary);
    return binary;
}

// Pseudo-terminal slaves have majors 136..143; every other terminal is a
// character device of the tty class in sysfs. Without sysfs, any character
// device may be one.
bool IsTerminalDevice(dev_t device) {
    constexpr unsigned kFirstPtyMajor = 136, kLastPtyMajor = 143;
    if (major(device) >= kFirstPtyMajor && major(device) <= kLastPtyMajor) return true;
    std::string node = "/sys/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    char subsystem[PATH_MAX];
    ssize_t n = ::readlink((node + "/subsystem").c_str(), subsystem, sizeof subsystem - 1);
    if (n < 0) return ::access("/sys/dev/char", F_OK) != 0;
    subsystem[n] = '\0';
    return std::string_view(subsystem).ends_with("/tty");
}

bool ProcessAlive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

}  // namespace

std::string UucpLockHolder(const std::string& path) {
    char real[PATH_MAX];
    if (::realpath(path.c_str(), real) == nullptr) return "";
    std::vector<std::string> folders;
    if (const char* dir = std::getenv("KESTROW_LOCK_DIR"); dir != nullptr && *dir != '\0') folders = {dir};
    else folders = {"/run/lock", "/var/lock"};
    for (const std::string& folder : folders) {
        std::string file = folder + "/" + LockName(real);
        pid_t owner = LockOwner(file);
        // A lock of a process that has ended is stale, and our own is ours.
        if (owner != ::getpid() && ProcessAlive(owner)) return file + " of process " + std::to_string(owner);
    }
    return "";
}

OpenError LookAtPort(const std::string& path, std::string& detail) {
    detail.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        int error = errno;
        detail = ErrorText(error);
        return error == EACCES ? OpenError::NoPermission : error == ENOENT ? OpenError::NotFound : OpenError::Other;
    }
    if (!S_ISCHR(st.st_mode) || !IsTerminalDevice(st.st_rdev)) {
        detail = "not a terminal device";
        return OpenError::NotATty;
    }
    if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
        detail = ErrorText(errno);
        return OpenError::NoPermission;
    }
    if (std::string holder = UucpLockHolder(path); !holder.empty()) {
        detail = "lock file " + holder;
        return OpenError::InUse;
    }
    return OpenError::None;
}

SerialPort::~SerialPort() { Close(); }

OpenError SerialPort::Fail(OpenError error, std::string detail) {
    open_detail_ = std::move(detail);
    return error;
}

OpenError SerialPort::Open(const std::string& path, unsigned baud) {
    Close();
    open_detail_.clear();
    // Terminal programs announce the ports they use with a lock file.
    if (std::string holder = UucpLockHolder(path); !holder.empty())
        return Fail(OpenError::InUse, "lock file " + holder);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        switch (error) {
            case EBUSY: return Fail(OpenError::InUse, "held for exclusive use by another program");
            case EACCES:
            case EPERM: return Fail(OpenError::NoPermission, ErrorText(error));
            case ENOENT:
            case ENXIO:
            case ENODEV: return Fail(OpenError::NotFound, ErrorText(error));
            default: return Fail(OpenError::Other, ErrorText(error));
        }
    }
    if (!::isatty(fd)) {
        ::close(fd);
        return Fail(OpenError::NotATty, "not a terminal device");
    }
    // TIOCEXCL keeps other (unprivileged) openers out; flock also covers root
    // and openers in this very process.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? Fail(OpenError::InUse, "locked by another opener")
                                    : Fail(OpenError::Other, ErrorText(error));
    }
    ::ioctl(fd, TIOCEXCL);
    if (!SetRawLine(fd, baud)) {
        int error = errno;
        ::close(fd);
        return Fail(OpenError::Other, "line settings refused: " + ErrorText(error));
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
