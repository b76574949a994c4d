#include "corvel/uart/uart_link.h"

#include "corvel/core/chip_types.h"
#include "corvel/core/export_guard.h"
#include "corvel/core/library.h"
#include "corvel/platform/os.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvel::uart {
namespace {

std::array<UartChannel, KW_MAX_CHANNELS>& Channels() {
    // Never destroyed: readers and watchers may outlive static destruction.
    static auto* channels = new std::array<UartChannel, KW_MAX_CHANNELS>;
    return *channels;
}

// "log_file.txt": the raw console of every board after its prompt, one file for
// all channels. It is (re)opened when a port opens, so it follows the station
// folder and comes back if it was removed; writes and reopening share a lock.
std::mutex g_consoleMutex;
int g_consoleFd = -1;
ino_t g_consoleInode = 0;

void OpenConsoleCapture() {
    std::string path = platform::StationFolder() + "/log_file.txt";
    std::lock_guard lock(g_consoleMutex);
    struct stat st {};
    if (g_consoleFd >= 0 && ::stat(path.c_str(), &st) == 0 && st.st_ino == g_consoleInode) return;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (g_consoleFd >= 0) ::close(g_consoleFd);
    g_consoleFd = fd;
    g_consoleInode = ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

void CaptureConsole(const uint8_t* data, size_t size) {
    std::lock_guard lock(g_consoleMutex);
    if (g_consoleFd >= 0) (void)!::write(g_consoleFd, data, size);
}

bool ContainsText(const uint8_t* data, size_t size, std::string_view text) {
    return std::search(data, data + size, text.begin(), text.end()) != data + size;
}

// Ends the reader thread of `ch` and waits for it.
void StopReader(UartChannel& ch) {
    ch.readerRun = 0;
    if (ch.readerWakeFd >= 0) {
        uint64_t one = 1;
        (void)!::write(ch.readerWakeFd, &one, sizeof one);
    }
    if (ch.reader.joinable()) ch.reader.join();
    if (ch.readerWakeFd >= 0) ::close(ch.readerWakeFd);
    ch.readerWakeFd = -1;
}

void ReadUntilStopped(UartChannel& ch, unsigned index, int portFd, int wakeFd) {
    std::array<uint8_t, kReadChunk> chunk;
    while (ch.readerRun.load()) {
        pollfd fds[2] = {{portFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0 || !ch.readerRun.load()) break;
        if (fds[0].revents & POLLNVAL) break;
        long n = ch.port.ReadAvailable(chunk.data(), chunk.size());
        if (n < 0 || (n == 0 && (fds[0].revents & (POLLHUP | POLLERR)))) break;  // the device went away
        if (n == 0) continue;
        if (ch.capture.load()) CaptureConsole(chunk.data(), static_cast<size_t>(n));
        ProcessChunk(index, chunk.data(), static_cast<size_t>(n));
    }
}

void ReaderLoop(unsigned index, int portFd, int wakeFd) {
    UartChannel& ch = Uart(index);
    try {
        ReadUntilStopped(ch, index, portFd, wakeFd);
    } catch (...) {
        ExportFailed("the serial reader");  // the port counts as gone; the next open starts afresh
    }
    ch.readerRun = 0;  // also when the device went away: the port is dead
    ch.Notify();       // nobody waits for an echo that cannot come
}

void WatcherLoop(unsigned index) {
    UartChannel& ch = Uart(index);
    try {
        ch.WaitUntil(std::chrono::hours(24 * 365), [&] {
            return ch.watcherStop.load() || ch.ramTestFound.load() || ch.promptSeen.load();
        });
    } catch (...) {
        return;
    }
    if (ch.watcherStop.load() || ch.ramTestFound.load()) return;
    ch.handshake = 1;
    ch.Notify();
}

void JoinWatcher(UartChannel& ch) {
    ch.watcherStop = true;
    ch.Notify();
    if (ch.watcher.joinable()) ch.watcher.join();
}

bool SendEchoedChar(UartChannel& ch, unsigned index, uint8_t c, std::chrono::milliseconds after) {
    ch.echoAck = 0;
    ch.expectedEcho = c;
    ch.echoWait = 1;
    std::this_thread::sleep_for(kBeforeEchoedChar);
    if (!SendByte(index, c)) {
        ch.echoWait = 0;
        return false;
    }
    // A port whose device went away fails at once, not after the echo time-out.
    ch.WaitUntil(kEchoTimeout, [&] { return ch.echoAck.load() != 0 || ch.readerRun.load() == 0; });
    bool acknowledged = ch.echoAck.load() != 0;
    if (!acknowledged) {
        if (ch.readerRun.load() != 0) ch.echoTimeout = 1;
        ch.echoWait = 0;
        return false;
    }
    ch.echoAck = 0;
    std::this_thread::sleep_for(after);
    return true;
}

bool SendEchoedLine(unsigned index, std::string_view text, std::chrono::milliseconds after) {
    if (text.size() > kMaxCommandText) return false;
    UartChannel& ch = Uart(index);
    for (char c : text)
        if (!SendEchoedChar(ch, index, static_cast<uint8_t>(c), after)) return false;
    return SendEchoedChar(ch, index, '\r', after);
}

}  // namespace

void UartChannel::Notify() {
    { std::lock_guard lock(signalMutex); }
    signal.notify_all();
}

UartChannel& Uart(unsigned index) { return Channels()[index]; }

static_assert(sizeof(uintptr_t) == 8, "port handles carry their opening in the upper bits");

// A port handle names the channel and the opening of its port: a handle kept
// from an earlier opening never reaches the port opened after it.
constexpr uintptr_t kPortHandleTag = uintptr_t{0x5E71} << 48;
constexpr unsigned kIndexBits = 8;

KW_HANDLE PortHandle(unsigned index) {
    uintptr_t opening = Channels()[index].opening.load();
    return reinterpret_cast<KW_HANDLE>(kPortHandleTag | (opening << kIndexBits) | index);
}

int IndexOfHandle(KW_HANDLE handle) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    if ((value & (uintptr_t{0xFFFF} << 48)) != kPortHandleTag) return -1;
    unsigned index = static_cast<unsigned>(value & ((1u << kIndexBits) - 1));
    if (index >= KW_MAX_CHANNELS || PortHandle(index) != handle) return -1;
    return static_cast<int>(index);
}

LinkSettings& Link() {
    static LinkSettings settings;
    return settings;
}

KW_HANDLE OpenUart(const std::wstring& name, unsigned baud, unsigned index) {
    UartChannel& ch = Uart(index);
    std::string path = platform::PortPath(platform::ToUtf8(name.c_str()));
    std::lock_guard lock(ch.portMutex);
    if (ch.port.IsOpen()) {
        // The program repeats KW_Start_Read while it waits for the prompt.
        // A port whose device went away (a board unplugged while it was
        // awaited) is opened afresh, or the next board there is never seen.
        if (ch.promptWait.load() && ch.port.Path() == path && ch.readerRun.load()) return PortHandle(index);
        StopReader(ch);
        ch.port.Close();
    }
    StopReader(ch);  // a reader that ended by itself (its device went away)
    platform::OpenError error = ch.port.Open(path, baud);
    ch.lastOpen = {error, path, ch.port.OpenDetail()};
    if (error != platform::OpenError::None) return KW_INVALID_HANDLE;
    ch.opening = (ch.opening.load() + 1) & 0xFFFFFFFF;

    ch.frames.Clear();
    ch.promptText.Clear();
    ch.readerWakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (ch.readerWakeFd < 0) {
        ch.port.Close();
        ch.lastOpen = {platform::OpenError::Other, path, "no descriptor for the port's reader"};
        return KW_INVALID_HANDLE;
    }
    ch.readerRun = 1;
    try {
        ch.reader = std::thread(ReaderLoop, index, ch.port.Fd(), ch.readerWakeFd);
    } catch (const std::system_error&) {
        ch.readerRun = 0;
        ::close(ch.readerWakeFd);
        ch.readerWakeFd = -1;
        ch.port.Close();
        ch.lastOpen = {platform::OpenError::Other, path, "no thread for the port's reader"};
        return KW_INVALID_HANDLE;
    }
    OpenConsoleCapture();
    return PortHandle(index);
}

PortOpen LastPortOpen(unsigned index) {
    UartChannel& ch = Uart(index);
    std::lock_guard lock(ch.portMutex);
    return ch.lastOpen;
}

void ClosePort(unsigned index) {
    UartChannel& ch = Uart(index);
    {
        std::lock_guard lock(ch.portMutex);
        StopReader(ch);
        ch.port.DropDtrAndPurge();
        ch.port.Close();
    }
    StopWatcher(index);
    std::this_thread::sleep_for(kAfterClose);
}

void DropChannelPort(unsigned index) {
    BurnObject& ch = Lib().channels[index];
    KW_HANDLE device = ch.hDevice.load();
    Transport transport;
    if (UnbindDevice(ch, device, &transport)) CloseDevice(index, device, transport);
}

bool StartWatcher(unsigned index) {
    UartChannel& ch = Uart(index);
    std::lock_guard lock(ch.watcherMutex);
    JoinWatcher(ch);
    ch.watcherStop = false;
    try {
        ch.watcher = std::thread(WatcherLoop, index);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void StopWatcher(unsigned index) {
    UartChannel& ch = Uart(index);
    std::lock_guard lock(ch.watcherMutex);
    JoinWatcher(ch);
}

bool SendByte(unsigned index, uint8_t byte) {
    UartChannel& ch = Uart(index);
    std::lock_guard lock(ch.portMutex);
    return ch.port.WriteAll(&byte, 1, kByteWriteTimeout);
}

bool SendBytes(unsigned index, const void* data, size_t size) {
    UartChannel& ch = Uart(index);
    std::lock_guard lock(ch.portMutex);
    return ch.port.WriteAll(data, size, kWriteTimeout);
}

bool SendTextCommand(unsigned index, std::string_view text) {
    return SendEchoedLine(index, text, kAfterEchoedChar);
}

bool SendTwoPartCommand(unsigned index, std::string_view first, std::string_view second) {
    if (!SendEchoedLine(index, first, kAfterEchoedChar)) return false;
    std::this_thread::sleep_for(kBetweenCommandParts);
    return SendEchoedLine(index, second, kAfterEchoedCharPart2);
}

void ProcessChunk(unsigned index, const uint8_t* data, size_t size) {
    UartChannel& ch = Uart(index);
    bool changed = false;

    if (ch.echoWait.load()) {
        uint8_t expected = ch.expectedEcho.load();
        if (std::find(data, data + size, expected) != data + size) {
            ch.expectedEcho = 0;
            ch.echoWait = 0;
            // The boot ROM answers a command it rejects with an error instead of
            // the final carriage return's echo; that command must not pass.
            if (!(expected == '\r' && ContainsText(data, size, kBootError))) ch.echoAck = 1;
            changed = true;
        }
    }

    const ChipType* chip = FindChipType(Lib().chipType.load());
    bool skipRest = false;
    if (ch.ramTestWait.load() && chip != nullptr && chip->ramTest) {
        ch.promptText.Append(data, size);
        if (ch.promptText.Contains(kRamTestMarker)) {
            ch.promptText.Clear();
            ch.ramTestWait = 0;
            ch.ramTestFound = 1;
            changed = true;
        } else {
            skipRest = true;
        }
    }

    if (!skipRest && ch.promptWait.load()) {
        ch.promptText.Append(data, size);
        bool seen = chip != nullptr && chip->SerialBoot() &&
                    (ch.promptText.EndsWith(chip->prompt) ||
                     (!chip->securePrompt.empty() && ch.promptText.EndsWith(chip->securePrompt)));
        if (seen) {
            ch.promptText.Clear();
            ch.promptWait = 0;
            ch.promptSeen = 1;
            ch.capture = 1;
            changed = true;
        }
    } else if (!skipRest && ch.frameReception.load()) {
        ch.frames.Feed(data, size, [&](const uint8_t* payload, size_t n) { DispatchReply(index, payload, n); });
    }
    if (changed) ch.Notify();
}

void ClearConsoleCapture(unsigned index) { Uart(index).capture = 0; }

}  // namespace corvel::uart
