#include "tools/vboard/virtual_board.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
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
    if (slave_ >= 0) ::close(slave_);
    if (master_ >= 0) ::close(master_);
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
std::vector<std::pair<uint32_t, uint32_t>> VirtualBoard::RamPairs() const {
    std::lock_guard lock(mutex_);
    return rom_.RamPairs();
}
std::vector<Upload> VirtualBoard::Uploads() const {
    std::lock_guard lock(mutex_);
    return rom_.Uploads();
}
std::vector<ReceivedCommand> VirtualBoard::ProducerCommands() const {
    std::lock_guard lock(mutex_);
    const Producer* p = rom_.RunningProducer();
    return p ? p->Commands() : std::vector<ReceivedCommand>{};
}
std::vector<uint8_t> VirtualBoard::Flash() const {
    std::lock_guard lock(mutex_);
    const Producer* p = rom_.RunningProducer();
    return p ? p->Flash() : std::vector<uint8_t>{};
}
bool VirtualBoard::SaveFlash(const std::string& path) const {
    std::vector<uint8_t> flash = Flash();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    return static_cast<bool>(out);
}

namespace {
using Clock = std::chrono::steady_clock;

// Wire time of `bytes` at `baud`, 10 bits a byte (8N1).
Clock::duration WireTime(size_t bytes, unsigned baud) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(bytes * 10.0 / baud));
}
// How many bytes may go at once: about 2 ms of wire time, at least a few.
size_t WireBurst(unsigned baud) { return std::max<size_t>(16, baud / 10 / 500); }
}  // namespace

void VirtualBoard::Flush(Clock::time_point now) {
    while (!pending_.empty() && master_ >= 0) {
        size_t n = pending_.size();
        if (options_.pace) {
            if (now < outFreeAt_) return;
            n = std::min(n, WireBurst(rom_.Baud()));
        }
        ssize_t written = ::write(master_, pending_.data(), n);
        if (written <= 0) return;  // the terminal is full; poll tells when it has room
        pending_.erase(0, static_cast<size_t>(written));
        if (options_.pace) outFreeAt_ = std::max(outFreeAt_, now) + WireTime(static_cast<size_t>(written), rom_.Baud());
    }
}

void VirtualBoard::Unplug() {
    ::close(master_);
    ::close(slave_);
    master_ = slave_ = -1;
}

void VirtualBoard::Run() {
    std::vector<uint8_t> buffer(4096);
    auto nextTick = Clock::now();
    for (;;) {
        auto now = Clock::now();
        bool mayRead = !options_.pace || now >= inFreeAt_;
        bool mayWrite = !pending_.empty() && (!options_.pace || now >= outFreeAt_);
        pollfd fds[2] = {{master_, static_cast<short>((mayRead ? POLLIN : 0) | (mayWrite ? POLLOUT : 0)), 0},
                         {wake_, POLLIN, 0}};
        auto wakeAt = nextTick;
        if (!mayRead) wakeAt = std::min(wakeAt, inFreeAt_);
        if (!pending_.empty() && !mayWrite) wakeAt = std::min(wakeAt, outFreeAt_);
        auto wait = std::max(Clock::duration::zero(), wakeAt - now);
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        if (::ppoll(fds, 2, &ts, nullptr) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        now = Clock::now();

        if (fds[0].revents & POLLIN) {
            std::lock_guard lock(mutex_);
            size_t want = options_.pace ? std::min(buffer.size(), WireBurst(rom_.Baud())) : buffer.size();
            ssize_t n = ::read(master_, buffer.data(), want);
            if (n > 0) {
                if (options_.pace) inFreeAt_ = std::max(inFreeAt_, now) + WireTime(static_cast<size_t>(n), rom_.Baud());
                received_ += static_cast<size_t>(n);
                // Bytes sent at another rate than the board's arrive as noise.
                unsigned hostBaud = TerminalBaud(slave_);
                if (hostBaud != 0 && hostBaud != rom_.Baud()) {
                    garbled_ += static_cast<size_t>(n);
                } else {
                    rom_.Feed(buffer.data(), static_cast<size_t>(n), pending_);
                }
                if (options_.disconnectAfter != 0 && received_ >= options_.disconnectAfter) {
                    Unplug();  // the board is gone: the host sees the port hang up
                    return;
                }
            }
        }
        if (now >= nextTick) {
            nextTick = now + std::chrono::milliseconds(kTickMs);
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
        std::lock_guard lock(mutex_);
        Flush(now);
    }
}

}  // namespace vboard
