#include "tools/vboard/virtual_board.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace vboard {
namespace {

constexpr int kTickMs = 100;  // how often an unasked ROM announces itself

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("vboard: ") + what + " failed");
}

}  // namespace

VirtualBoard::VirtualBoard(const BoardOptions& options) : options_(options), rom_(options) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    Check(master_ >= 0, "posix_openpt");
    Check(::grantpt(master_) == 0 && ::unlockpt(master_) == 0, "unlockpt");
    char name[128];
    Check(::ptsname_r(master_, name, sizeof name) == 0, "ptsname");
    portPath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    Check(slave_ >= 0, "opening the terminal");
    // Raw from the start: the terminal must not echo or translate what the host writes.
    termios tio{};
    Check(::tcgetattr(slave_, &tio) == 0, "tcgetattr");
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    Check(::tcsetattr(slave_, TCSANOW, &tio) == 0, "tcsetattr");
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    Check(wake_ >= 0, "eventfd");
    thread_ = std::thread(&VirtualBoard::Run, this);
}

VirtualBoard::~VirtualBoard() {
    uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    if (thread_.joinable()) thread_.join();
    ::close(wake_);
    ::close(slave_);
    ::close(master_);
}

std::vector<std::string> VirtualBoard::Lines() const {
    std::lock_guard lock(mutex_);
    return rom_.Lines();
}
std::map<std::string, std::string> VirtualBoard::Registers() const {
    std::lock_guard lock(mutex_);
    return rom_.Registers();
}
unsigned VirtualBoard::Baud() const {
    std::lock_guard lock(mutex_);
    return rom_.Baud();
}
bool VirtualBoard::Awake() const {
    std::lock_guard lock(mutex_);
    return rom_.Awake();
}
size_t VirtualBoard::GarbledBytes() const {
    std::lock_guard lock(mutex_);
    return garbled_;
}

void VirtualBoard::Flush() {
    while (!pending_.empty()) {
        ssize_t n = ::write(master_, pending_.data(), pending_.size());
        if (n <= 0) return;  // the terminal is full; poll tells when it has room
        pending_.erase(0, static_cast<size_t>(n));
    }
}

void VirtualBoard::Run() {
    uint8_t buffer[4096];
    auto nextTick = std::chrono::steady_clock::now();
    for (;;) {
        pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT)), 0},
                         {wake_, POLLIN, 0}};
        auto untilTick = std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - std::chrono::steady_clock::now());
        int timeout = static_cast<int>(std::max<long>(0, untilTick.count()));
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;

        if (fds[0].revents & POLLIN) {
            ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n > 0) {
                std::lock_guard lock(mutex_);
                // Bytes sent at another rate than the board's arrive as noise.
                unsigned hostBaud = TerminalBaud(slave_);
                if (hostBaud != 0 && hostBaud != rom_.Baud()) {
                    garbled_ += static_cast<size_t>(n);
                } else {
                    rom_.Feed(buffer, static_cast<size_t>(n), pending_);
                }
            }
        }
        if (std::chrono::steady_clock::now() >= nextTick) {
            nextTick += std::chrono::milliseconds(kTickMs);
            std::string announce;
            {
                std::lock_guard lock(mutex_);
                rom_.Tick(announce);
            }
            // Nobody may be listening yet: keep only the newest announcement.
            if (!announce.empty() && pending_.empty()) {
                ::tcflush(slave_, TCIFLUSH);
                pending_ = announce;
            }
        }
        Flush();
    }
}

}  // namespace vboard
