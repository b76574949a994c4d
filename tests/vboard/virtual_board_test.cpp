// Several boards played one after another on one pseudo-terminal, as boards
// are swapped at a line position: each new board starts in its boot ROM with
// a blank flash, on the same port path.
#include "tools/vboard/virtual_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <functional>
#include <memory>
#include <mutex>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The host end of the port, raw at 115200 as the station opens it.
class HostPort {
public:
    explicit HostPort(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        termios tio{};
        if (fd_ < 0 || ::tcgetattr(fd_, &tio) != 0) return;
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B115200);
        ::tcsetattr(fd_, TCSANOW, &tio);
    }
    ~HostPort() { Close(); }
    bool Open() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void Send(const std::string& bytes) { ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    void SetSpeed(speed_t speed) {
        termios tio{};
        ::tcgetattr(fd_, &tio);
        ::cfsetspeed(&tio, speed);
        ::tcsetattr(fd_, TCSANOW, &tio);
    }
    // Reads until what arrived contains `text`; everything read, or "" on time-out.
    std::string ReadUntil(const std::string& text, std::chrono::milliseconds timeout = 3s) {
        std::string got;
        for (auto until = Clock::now() + timeout; Clock::now() < until;) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char chunk[512];
            ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n > 0) got.append(chunk, size_t(n));
            if (got.find(text) != std::string::npos) return got;
        }
        return "";
    }

private:
    int fd_;
};

// A 31-byte producer command block, with its data phase appended.
std::string Command(uint8_t code, const std::string& data = "") {
    std::string block(31, '\0');
    uint32_t length = static_cast<uint32_t>(data.size());
    std::memcpy(&block[8], &length, 4);
    block[12] = data.empty() ? 0 : 2;
    block[16] = static_cast<char>(code);
    return block + data;
}

// The boot ROM's upload format: length, bytes, 16-bit byte sum.
std::string UploadOf(const std::string& file) {
    uint32_t length = static_cast<uint32_t>(file.size() + 6), sum = 0;
    for (unsigned char c : file) sum += c;
    std::string out(4, '\0');
    std::memcpy(&out[0], &length, 4);
    return out + file + static_cast<char>(sum) + static_cast<char>(sum >> 8);
}

// Wakes the ROM, uploads a producer that talks at `baud` (115200 keeps the
// link at the boot rate), and starts it.
void StartProducer(HostPort& host, uint32_t baud = 115200) {
    host.Send("kkk");
    ASSERT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
    std::string producer(64, '\0');
    std::memcpy(&producer[52], &baud, 4);
    for (char c : std::string("download\r\r")) {
        host.Send(std::string(1, c));
        std::this_thread::sleep_for(2ms);  // one command character at a time, as the station sends them
    }
    host.Send(UploadOf(producer));
    ASSERT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
    host.Send("go\r\r");
    ASSERT_NE(host.ReadUntil("go"), "");
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
    for (auto until = Clock::now() + timeout; Clock::now() < until; std::this_thread::sleep_for(10ms))
        if (condition()) return true;
    return condition();
}

// What the board sent and the host has not read yet is seen from outside the
// board: vboard waits for it before it ends, or the hang-up would lose it.
TEST(HostPortReading, BytesTheHostHasNotReadAreSeen) {
    vboard::VirtualBoard board(vboard::BoardOptions{});
    HostPort host(board.PortPath());
    ASSERT_TRUE(host.Open());
    EXPECT_TRUE(board.HostHasReadAll());
    host.Send("kkk");
    ASSERT_TRUE(WaitFor([&] { return !board.HostHasReadAll(); })) << "the prompt never waited for the host";
    ASSERT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
    EXPECT_TRUE(WaitFor([&] { return board.HostHasReadAll(); }));
}

// A board that unplugs itself is gone for the host, but its terminal's number
// is not handed to the next pseudo-terminal made while the board lives: a
// station watching that path would open somebody else's board.
TEST(UnpluggedBoard, KeepsItsPortPathFromOtherTerminals) {
    vboard::BoardOptions options;
    options.disconnectAfter = 1;
    vboard::VirtualBoard board(options);
    HostPort host(board.PortPath());
    ASSERT_TRUE(host.Open());
    host.Send("k");
    ASSERT_TRUE(WaitFor([&] { return board.Done(); }));
    host.Close();
    int reopened = ::open(board.PortPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    EXPECT_LT(reopened, 0) << "the unplugged port can be opened";
    if (reopened >= 0) ::close(reopened);
    for (int i = 0; i < 3; ++i) {
        vboard::VirtualBoard other(vboard::BoardOptions{});
        EXPECT_NE(other.PortPath(), board.PortPath());
    }
}

class SeveralBoards : public ::testing::Test {
protected:
    vboard::BoardOptions Options(unsigned boards) {
        vboard::BoardOptions o;
        o.chipType = 8;
        o.flashSize = 4096;
        o.boards = boards;
        return o;
    }
    vboard::VirtualBoard::BoardEnded Record() {
        return [this](unsigned number, const std::vector<uint8_t>& flash) {
            std::lock_guard lock(mutex_);
            ended_.emplace_back(number, flash);
        };
    }
    std::vector<std::pair<unsigned, std::vector<uint8_t>>> Ended() {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    std::mutex mutex_;
    std::vector<std::pair<unsigned, std::vector<uint8_t>>> ended_;
};

TEST_F(SeveralBoards, CloseCommandBringsTheNextBoardInItsBootRomWithABlankFlash) {
    vboard::VirtualBoard board(Options(2), Record());
    const std::string path = board.PortPath();
    {
        HostPort host(path);
        ASSERT_TRUE(host.Open());
        StartProducer(host);
        host.Send(Command(16, std::string(40, '\0')) + Command(17, "ABCD"));
        host.Send(Command(34));
        ASSERT_TRUE(WaitFor([&] { return board.BoardNumber() == 2; }));
    }
    EXPECT_EQ(board.PortPath(), path);
    EXPECT_FALSE(board.Awake());
    EXPECT_TRUE(board.Flash().empty());  // no producer runs yet
    EXPECT_TRUE(board.Uploads().empty());
    EXPECT_FALSE(board.Done());
    auto ended = Ended();
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].first, 1u);
    EXPECT_EQ(std::string(ended[0].second.begin(), ended[0].second.begin() + 4), "ABCD");

    // The second board wakes on the same path and its producer finds the flash erased.
    HostPort host(path);
    StartProducer(host);
    ASSERT_TRUE(WaitFor([&] { return !board.Flash().empty(); }));
    EXPECT_EQ(board.Flash(), std::vector<uint8_t>(4096, 0xFF));
    host.Send(Command(34));
    ASSERT_TRUE(WaitFor([&] { return board.Done(); }));
    EXPECT_EQ(board.BoardNumber(), 2u);
    EXPECT_FALSE(board.Flash().empty());  // the last board stays as it ended
    EXPECT_EQ(Ended().size(), 2u);
}

TEST_F(SeveralBoards, HostLettingGoOfThePortEndsTheBoardButAQuickReopenDoesNot) {
    vboard::VirtualBoard board(Options(3), Record());
    {
        HostPort host(board.PortPath());
        host.Send("kkk");
        ASSERT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
    }
    // Closed and opened again at once, as for a rate change: the same board.
    std::this_thread::sleep_for(30ms);
    HostPort again(board.PortPath());
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(board.BoardNumber(), 1u);
    EXPECT_TRUE(board.Awake());
    again.Close();
    ASSERT_TRUE(WaitFor([&] { return board.BoardNumber() == 2; }));
    EXPECT_FALSE(board.Awake());
    EXPECT_EQ(Ended().size(), 1u);
    EXPECT_TRUE(Ended()[0].second.empty());  // that board's producer never ran
}

// A board whose burn has begun and that the host wakes again has been given
// up (its burn failed, and the host watches the port for the next board): it
// says nothing more and the next board appears, so a line never stalls on one
// bad board. Waking a board whose burn has not begun, or data that holds the
// wake characters, keeps the same board.
TEST_F(SeveralBoards, BoardWokenAgainAfterItsBurnBeganMakesWayForTheNext) {
    struct Case {
        const char* what;
        std::function<void(HostPort&)> burn;  // the burn so far
        speed_t wakeSpeed;                     // the host's rate when it wakes the board again
        bool nextBoard;
    };
    const std::string ramTableEnd = "\x88\x88\x88\x88";
    std::unique_ptr<vboard::VirtualBoard> board;
    const Case cases[] = {
        {"failed in the boot ROM after its RAM table",
         [&](HostPort& host) {
             host.Send("kkk");
             ASSERT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
             host.Send("draminit\r" + ramTableEnd);
             ASSERT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
         },
         B115200, true},
        {"failed in the producer after a command", [&](HostPort& host) { StartProducer(host); }, B115200, true},
        {"failed in a producer at another rate",
         [&](HostPort& host) {
             StartProducer(host, 921600);
             host.SetSpeed(B921600);
             host.Send(Command(16, std::string(40, '\0')));
             ASSERT_TRUE(WaitFor([&] { return board->ProducerCommands().size() == 1; }));
         },
         B115200, true},
        {"failed in a producer's data phase at another rate",
         [&](HostPort& host) {
             StartProducer(host, 921600);
             host.SetSpeed(B921600);
             host.Send(Command(17, std::string(8, '\0')).substr(0, 31));  // the data never comes
             std::this_thread::sleep_for(200ms);
             host.SetSpeed(B115200);
             host.Send("kkk");  // a first watch round: the producer takes it as data
             std::this_thread::sleep_for(200ms);
         },
         B115200, true},
        {"woken twice before its burn",
         [&](HostPort& host) {
             host.Send("kkk");
             ASSERT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
         },
         B115200, false},
        {"producer data that begins with the wake characters",
         [&](HostPort& host) {
             StartProducer(host);
             host.Send(Command(16, std::string(40, '\0')) + Command(17, std::string(8, '\0')).substr(0, 31));
         },
         B115200, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ended_.clear();
        board = std::make_unique<vboard::VirtualBoard>(Options(2), Record());
        HostPort host(board->PortPath());
        ASSERT_TRUE(host.Open());
        c.burn(host);
        host.SetSpeed(c.wakeSpeed);
        const unsigned looks = board->HostLooks();
        host.Send("kkk");
        if (c.nextBoard) {
            // Given up, the board stays silent, past the swap pause, until the
            // host has looked at the port twice more.
            ASSERT_TRUE(WaitFor([&] { return board->HostLooks() == looks + 1; }));
            std::this_thread::sleep_for(500ms);
            EXPECT_EQ(board->BoardNumber(), 1u);
            host.Send("kkk");
            host.Send("kkk");
            ASSERT_TRUE(WaitFor([&] { return board->BoardNumber() == 2; }));
            EXPECT_FALSE(board->Awake());
            EXPECT_EQ(Ended().size(), 1u);
            // The next board answers the host's next watch round.
            host.Send("kkk");
            EXPECT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
        } else {
            std::this_thread::sleep_for(500ms);
            EXPECT_EQ(board->BoardNumber(), 1u);
            EXPECT_TRUE(Ended().empty());
        }
    }
}

// The vboard program, its ports read from its first lines; stopped at the end.
class VboardProcess {
public:
    VboardProcess(std::vector<std::string> args, std::size_t portCount) {
        int out[2];
        if (::pipe(out) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv{const_cast<char*>(VBOARD_PROGRAM)};
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(VBOARD_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        lines_ = ::fdopen(out[0], "r");
        char line[256];
        while (ports.size() < portCount && std::fgets(line, sizeof line, lines_))
            ports.emplace_back(line, std::strcspn(line, "\n"));
    }
    ~VboardProcess() { Stop(); }
    // SIGTERM, then its exit status (-1 when it did not exit by itself).
    int Stop() {
        if (pid_ <= 0) return -1;
        ::kill(pid_, SIGCONT);
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        std::fclose(lines_);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Pause() { ::kill(pid_, SIGSTOP); }
    void Resume() { ::kill(pid_, SIGCONT); }
    std::vector<std::string> ports;

private:
    pid_t pid_ = -1;
    FILE* lines_ = nullptr;
};

// The program with --ports: one port per line, each its own board with the
// faults given for it.
TEST(VboardProgram, EveryPortPlaysItsOwnBoardWithItsOwnFaults) {
    VboardProcess vboard({"--ports", "3", "--fault", "2:no-prompt"}, 3);
    ASSERT_EQ(vboard.ports.size(), 3u);
    EXPECT_NE(vboard.ports[0], vboard.ports[1]);
    for (std::size_t i = 0; i < vboard.ports.size(); ++i) {
        SCOPED_TRACE(vboard.ports[i]);
        HostPort host(vboard.ports[i]);
        ASSERT_TRUE(host.Open());
        host.Send("kkk");
        EXPECT_EQ(host.ReadUntil("Q4_UART_BOOT>#", i == 1 ? 500ms : 3s).empty(), i == 1);
    }
    EXPECT_EQ(vboard.Stop(), 0);

    const std::string program = VBOARD_PROGRAM;
    EXPECT_EQ(WEXITSTATUS(std::system((program + " --ports 2 --fault 3:silent 2>/dev/null").c_str())), 2);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// With --station the ports are announced in the folder as links to the
// terminals (a stale link of the same name is replaced), and vboard takes the
// links and its list away when it ends; a list somebody rewrote is left alone.
TEST(VboardProgram, AnnouncesItsPortsInAStationFolderAsLinksItRemovesAtTheEnd) {
    char dirTemplate[] = "/tmp/vboard-station-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    const std::string list = dir + "/virtual_ports.txt";
    const std::vector<std::string> links = {dir + "/virtual_port_1", dir + "/virtual_port_2"};
    ASSERT_EQ(::symlink("/dev/null", links[0].c_str()), 0);  // left by an earlier run
    {
        VboardProcess vboard({"--ports", "2", "--station", dir}, 2);
        EXPECT_EQ(vboard.ports, links);
        EXPECT_EQ(ReadFile(list), links[0] + "\n" + links[1] + "\n");
        for (const std::string& link : links) {
            SCOPED_TRACE(link);
            char target[256] = {};
            ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
            EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u) << target;
            HostPort host(link);
            ASSERT_TRUE(host.Open());
            host.Send("kkk");
            EXPECT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
        }
        EXPECT_EQ(vboard.Stop(), 0);
    }
    struct stat st {};
    for (const std::string& link : links) EXPECT_NE(::lstat(link.c_str(), &st), 0) << link << " is left";
    EXPECT_NE(::lstat(list.c_str(), &st), 0) << "the list is left";

    {
        VboardProcess vboard({"--station", dir}, 1);
        std::ofstream(list) << "/dev/ttyUSB0\n";
        EXPECT_EQ(vboard.Stop(), 0);
    }
    EXPECT_EQ(ReadFile(list), "/dev/ttyUSB0\n");
    EXPECT_NE(::lstat(links[0].c_str(), &st), 0);
    std::filesystem::remove_all(dir);
}

// A board that reads late (a loaded machine) still takes the bytes the host
// sent before it changed its rate: the baud selector and its return, sent at
// 115200 just before the host reopens its port at the new rate.
TEST(VboardProgram, BytesSentBeforeTheHostChangesItsRateCountAtTheRateTheyWereSentAt) {
    VboardProcess vboard({}, 1);
    ASSERT_EQ(vboard.ports.size(), 1u);
    HostPort host(vboard.ports[0]);
    ASSERT_TRUE(host.Open());
    host.Send("kkk");
    ASSERT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
    host.Send("baudrate\r");
    ASSERT_NE(host.ReadUntil("baudrate\r\n"), "");
    vboard.Pause();  // the board's thread does not run until the host has moved on
    host.Send("2\r");
    host.SetSpeed(B1000000);
    vboard.Resume();
    host.Send("\r");  // at the new rate: an empty line, answered with the prompt
    EXPECT_NE(host.ReadUntil("Q4_UART_BOOT>#"), "");
}

}  // namespace
