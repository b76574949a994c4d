#include "tools/vboard/virtual_board.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace vboard {
namespace {

constexpr int kTickMs = 100;  // how often an unasked ROM announces itself
// A host that closes the port and opens it again within this time is changing
// its rate, not letting go of the board.
constexpr auto kReopenGrace = std::chrono::milliseconds(1000);
constexpr auto kHangUpCheck = std::chrono::milliseconds(20);
// Between one board's end and the next one's boot ROM, as an operator swaps boards.
constexpr auto kBoardSwapPause = std::chrono::milliseconds(300);
// Looks at the silent port after a board was given up before it is swapped:
// the station takes a failed board for gone after two silent looks.
constexpr unsigned kSilentLooksBeforeSwap = 2;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("vboard: ") + what + " failed");
}

int OpenTerminal(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

// Raw at 115200: the terminal must not echo or translate what the host writes.
bool MakeRaw(int fd) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

VirtualBoard::VirtualBoard(const BoardOptions& options, BoardEnded onEnded)
    : options_(options), onEnded_(std::move(onEnded)), rom_(options) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    Check(master_ >= 0, "posix_openpt");
    Check(::grantpt(master_) == 0 && ::unlockpt(master_) == 0, "unlockpt");
    char name[128];
    Check(::ptsname_r(master_, name, sizeof name) == 0, "ptsname");
    portPath_ = name;
    slave_ = OpenTerminal(portPath_);
    Check(slave_ >= 0, "opening the terminal");
    Check(MakeRaw(slave_), "setting the terminal raw");
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
std::map<unsigned, VirtualBoard::WireBytes> VirtualBoard::Wire() const {
    std::lock_guard lock(mutex_);
    return wire_;
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
bool VirtualBoard::SaveFlash(const std::string& path) const { return SaveBytes(path, Flash()); }

bool SaveBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
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

// Sends what the board has to say. With pacing, a burst is handed to the
// terminal when its last byte would have landed on a real wire.
void VirtualBoard::Flush(Clock::time_point now) {
    outBlocked_ = false;
    while (!pending_.empty() && master_ >= 0) {
        size_t n = pending_.size();
        Clock::time_point landAt = now;
        if (options_.pace) {
            if (outIdle_) {
                outFreeAt_ = now;
                outIdle_ = false;
            }
            n = std::min(n, WireBurst(rom_.Baud()));
            landAt = outFreeAt_ + WireTime(n, rom_.Baud());
            if (now < landAt) return;
        }
        ssize_t written = ::write(master_, pending_.data(), n);
        if (written <= 0) {
            outBlocked_ = true;  // the terminal is full; poll tells when it has room
            return;
        }
        pending_.erase(0, static_cast<size_t>(written));
        wire_[rom_.Baud()].out += static_cast<uint64_t>(written);
        if (options_.pace) outFreeAt_ += WireTime(static_cast<size_t>(written), rom_.Baud());
    }
    outIdle_ = true;
}

// Reads what the host sent and hands it to the board. With pacing, bytes are
// taken no faster than the wire carries them and handed over when their last
// byte would have landed; a board that woke late catches up on bytes that were
// already waiting, but a wire that fell silent starts afresh.
bool VirtualBoard::Receive(Clock::time_point now, std::vector<uint8_t>& buffer) {
    size_t want = buffer.size();
    Clock::time_point start = now;
    if (options_.pace) {
        unsigned baud = rom_.Baud();
        want = WireBurst(baud);
        if (!inIdle_) {
            start = inFreeAt_;
            want += static_cast<size_t>(std::chrono::duration<double>(now - inFreeAt_).count() * baud / 10);
        }
        want = std::min(want, buffer.size());
    }
    ssize_t n = ::read(master_, buffer.data(), want);
    if (n <= 0) {
        inIdle_ = true;
        return true;
    }
    if (options_.pace) {
        inIdle_ = false;
        inFreeAt_ = start + WireTime(static_cast<size_t>(n), rom_.Baud());
        std::this_thread::sleep_until(inFreeAt_);
    }
    hostSpoke_ = true;
    std::lock_guard lock(mutex_);
    if (unplugArmed_) {
        Unplug();  // the bytes after the chosen line never reach the board
        return false;
    }
    received_ += static_cast<size_t>(n);
    CountLooks(buffer.data(), static_cast<size_t>(n));
    unsigned hostBaud = HostBaud();
    if (options_.followHostBaud && rom_.RunningProducer() != nullptr && hostBaud != 0) rom_.SetBaud(hostBaud);
    // Bytes sent at another rate than the board's arrive as noise. A board
    // that reads late (a loaded machine) may find the host's rate changed
    // since they were sent, as when the host reopens its port right after the
    // baud selector: they count at the rate the host had when the wire was
    // last idle as well.
    const bool boardRate = hostBaud == 0 || hostBaud == rom_.Baud() || idleHostBaud_ == rom_.Baud();
    wire_[boardRate ? rom_.Baud() : hostBaud].in += static_cast<uint64_t>(n);
    if (!boardRate) {
        garbled_ += static_cast<size_t>(n);
        rom_.TakeBytesAtAnotherRate(buffer.data(), static_cast<size_t>(n));
    } else {
        rom_.Feed(buffer.data(), static_cast<size_t>(n), pending_);
    }
    // A board the host gave up leaves the line for the next one: it says
    // nothing more, so the host's watch finds the port silent until then.
    if (rom_.GivenUp() && boardNumber_ < options_.boards) pending_.clear();
    if (rom_.GivenUp() && !looksWhenGivenUp_) looksWhenGivenUp_ = hostLooks_.load();
    if (!options_.unplugAfterLine.empty()) {
        const auto& lines = rom_.Lines();
        unplugArmed_ = std::find(lines.begin(), lines.end(), options_.unplugAfterLine) != lines.end();
    }
    int waiting = 0;
    if (::ioctl(master_, FIONREAD, &waiting) == 0 && waiting == 0) idleHostBaud_ = hostBaud;
    if (options_.disconnectAfter != 0 && received_ >= options_.disconnectAfter) {
        Unplug();  // the board is gone: the host sees the port hang up
        return false;
    }
    return true;
}

// Counts the wake sequences among the bytes the host sent, split over reads or not.
void VirtualBoard::CountLooks(const uint8_t* data, size_t size) {
    const std::string& wake = rom_.Wake();
    if (wake.empty()) return;
    for (size_t i = 0; i < size; ++i) {
        wakeTail_ += static_cast<char>(data[i]);
        if (wakeTail_.size() > wake.size()) wakeTail_.erase(0, 1);
        if (wakeTail_ == wake) {
            ++hostLooks_;
            wakeTail_.clear();
        }
    }
}

void VirtualBoard::Unplug() {
    // The host sees the hang-up and the port's path disappears. The board's
    // own end stays open until the board is destroyed: a pseudo-terminal's
    // number is free for the next one made anywhere on the machine once both
    // ends are closed, and a station still watching this path (a link to it)
    // would then open another test's board.
    if (slave_ < 0) slave_ = OpenTerminal(portPath_);  // let go of once the host spoke (several boards)
    ::close(master_);
    master_ = -1;
    done_ = true;
}

// The rate the host set on its end; read through a descriptor of our own
// when the board no longer holds the terminal.
unsigned VirtualBoard::HostBaud() {
    if (slave_ >= 0) return TerminalBaud(slave_);
    int fd = OpenTerminal(portPath_);
    if (fd < 0) return 0;
    unsigned baud = TerminalBaud(fd);
    ::close(fd);
    return baud;
}

bool VirtualBoard::HostHasReadAll() const {
    int fd = OpenTerminal(portPath_);
    if (fd < 0) return true;  // unplugged: nothing is left to read
    int waiting = 0;
    const bool read = ::ioctl(fd, FIONREAD, &waiting) != 0 || waiting == 0;
    ::close(fd);
    return read;
}

bool VirtualBoard::BurnEnded(Clock::time_point now) const {
    if (done_) return false;
    if (hungUpSince_ && now - *hungUpSince_ >= kReopenGrace) return true;
    std::lock_guard lock(mutex_);
    if (rom_.GivenUp())
        return boardNumber_ >= options_.boards || rom_.Wake().empty() ||
               hostLooks_ >= looksWhenGivenUp_.value_or(0) + kSilentLooksBeforeSwap;
    const Producer* producer = rom_.RunningProducer();
    return producer != nullptr && producer->Closed() && pending_.empty();
}

bool VirtualBoard::EndBoard() {
    if (onEnded_) onEnded_(boardNumber_, Flash());
    if (boardNumber_ >= options_.boards) {
        done_ = true;  // the last board keeps its state for whoever inspects it
        return true;
    }
    pollfd wake{wake_, POLLIN, 0};
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(kBoardSwapPause).count();
    if (::poll(&wake, 1, static_cast<int>(ms)) > 0) return false;
    NextBoard();
    return true;
}

// A fresh board on the same terminal: boot ROM, blank flash, faults as configured.
void VirtualBoard::NextBoard() {
    if (slave_ < 0) {
        slave_ = OpenTerminal(portPath_);
        // Only a port no host holds is set back to the boot rate; a host that
        // still has it open keeps its own settings.
        if (slave_ >= 0 && hungUpSince_) MakeRaw(slave_);
    }
    ::tcflush(master_, TCIOFLUSH);  // nothing of the last board's talk reaches the next one
    std::lock_guard lock(mutex_);
    rom_ = BootRom(options_);
    garbled_ = 0;
    wire_.clear();
    received_ = 0;
    pending_.clear();
    inIdle_ = outIdle_ = true;
    outBlocked_ = false;
    hostSpoke_ = false;
    unplugArmed_ = false;
    idleHostBaud_ = 0;
    hungUpSince_.reset();
    wakeTail_.clear();
    looksWhenGivenUp_.reset();
    ++boardNumber_;
}

void VirtualBoard::Run() {
    std::vector<uint8_t> buffer(4096);
    auto nextTick = Clock::now();
    bool severalBoards = options_.boards > 1;
    for (;;) {
        auto now = Clock::now();
        if (BurnEnded(now) && !EndBoard()) return;
        // Several boards: once the host speaks, let go of the terminal so that
        // its closing the port shows as a hang-up.
        if (severalBoards && hostSpoke_ && slave_ >= 0 && !done_) {
            ::close(slave_);
            slave_ = -1;
        }
        // Paced and busy receiving: the next bytes are due when the last ones landed.
        bool receiveDue = options_.pace && !inIdle_;
        short events = static_cast<short>((receiveDue ? 0 : POLLIN) | (outBlocked_ ? POLLOUT : 0));
        // A hung-up master reports so on every poll: look again now and then instead.
        pollfd fds[2] = {{hungUpSince_ ? -1 : master_, events, 0}, {wake_, POLLIN, 0}};
        auto wakeAt = nextTick;
        if (hungUpSince_) wakeAt = std::min(wakeAt, now + kHangUpCheck);
        if (receiveDue) wakeAt = std::min(wakeAt, inFreeAt_);
        if (options_.pace && !pending_.empty() && !outBlocked_) {
            std::lock_guard lock(mutex_);
            auto landAt = (outIdle_ ? now : outFreeAt_) + WireTime(std::min(pending_.size(), WireBurst(rom_.Baud())), rom_.Baud());
            wakeAt = std::min(wakeAt, landAt);
        }
        auto wait = std::max(Clock::duration::zero(), wakeAt - now);
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        if (::ppoll(fds, 2, &ts, nullptr) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
        now = Clock::now();
        if (hungUpSince_) {
            pollfd master{master_, 0, 0};
            if (::poll(&master, 1, 0) >= 0 && (master.revents & POLLHUP) == 0) hungUpSince_.reset();  // the host is back
            continue;
        }
        // Bytes the host wrote before it closed are still taken first.
        int waiting = 0;
        if ((fds[0].revents & POLLHUP) != 0 && slave_ < 0 && (::ioctl(master_, FIONREAD, &waiting) != 0 || waiting == 0)) {
            hungUpSince_ = now;
            continue;
        }

        bool receive = options_.pace ? (receiveDue ? now >= inFreeAt_ : (fds[0].revents & POLLIN) != 0)
                                     : (fds[0].revents & POLLIN) != 0;
        if (receive && !Receive(now, buffer)) return;
        if (now >= nextTick) {
            nextTick = now + std::chrono::milliseconds(kTickMs);
            std::string announce;
            {
                std::lock_guard lock(mutex_);
                rom_.Tick(announce);
            }
            // Nobody may be listening yet: keep only the newest announcement.
            if (!announce.empty() && pending_.empty()) {
                if (slave_ >= 0) ::tcflush(slave_, TCIFLUSH);
                pending_ = announce;
            }
        }
        std::lock_guard lock(mutex_);
        Flush(Clock::now());
    }
}

}  // namespace vboard
