// Whole-flash image download at several link rates against a virtual board
// that paces its wire at baud / 10 bytes per second (8N1). Prints, per rate,
// the payload throughput as a ratio of the wire limit and of the protocol's own
// minimum (wire time of every byte both ways plus the prescribed pauses), and
// the host's CPU time per MiB. The board runs as its own process, so the CPU
// figures are the host's alone.
#include "corvel.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kFramedReply = 4 + 32 + 4;  // bytes of one acknowledgement or status frame
constexpr double kBlock = 31;
constexpr double kParamBlock = 40;
constexpr double kPiece = 65536;
constexpr double kAfterBlock = 0.005;  // seconds the host pauses after each command block

int NoBurn(unsigned) { return 0; }
void NoProgress(unsigned, unsigned) {}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The shortest time the protocol allows for `size` bytes at `baud` with
// `chunk`-byte data chunks: every byte on the wire in both directions, one
// after the other, except that a command block crosses the wire during the
// host's pause after it.
double ProtocolMinimum(double size, double baud, double chunk) {
    double byteTime = 10.0 / baud;
    double commandTime = std::max(kAfterBlock, kBlock * byteTime);
    double commands = 1, toBoard = kParamBlock, toHost = kFramedReply;  // command 16 and its status
    for (double left = size; left > 0; left -= kPiece) {
        double piece = left < kPiece ? left : kPiece;
        double chunks = static_cast<double>(static_cast<long>((piece + chunk - 1) / chunk));
        toBoard += piece;
        toHost += chunks * kFramedReply;  // one acknowledgement per chunk but the last, then the status
        commands += 1;
    }
    return (toBoard + toHost) * byteTime + commands * commandTime;
}

struct Board {
    FILE* pipe = nullptr;
    pid_t pid = 0;
    std::string port;
    void Stop() {
        if (pid > 0) ::kill(pid, SIGTERM);
        if (pipe != nullptr) ::pclose(pipe);
        pipe = nullptr;
        pid = 0;
    }
};

Board StartBoard() {
    Board b;
    std::string cmd = std::string("echo $$; exec ") + VBOARD_PROGRAM +
                      " --chip-type 8 --pace --follow-baud --flash-size 8388608";
    b.pipe = ::popen(cmd.c_str(), "r");
    char line[256] = {};
    if (b.pipe == nullptr || std::fgets(line, sizeof line, b.pipe) == nullptr) return b;
    b.pid = static_cast<pid_t>(std::atol(line));
    if (std::fgets(line, sizeof line, b.pipe) == nullptr) return b;
    b.port = line;
    while (!b.port.empty() && (b.port.back() == '\n' || b.port.back() == '\r')) b.port.pop_back();
    return b;
}

}  // namespace

int main() {
    struct Rate {
        unsigned baud;
        unsigned size;
    } rates[] = {{115200, 64 * 1024}, {921600, 512 * 1024}, {2000000, 1024 * 1024}, {6000000, 3 * 1024 * 1024}};
    std::string folder = "/tmp/kestrow-bench-" + std::to_string(::getpid());
    std::string mk = "mkdir -p " + folder;
    if (std::system(mk.c_str()) != 0) return 1;
    ::setenv("KESTROW_STATION", folder.c_str(), 1);
    KW_Init(1, NoBurn, NoProgress);
    KW_Secuse_boot_flag(0);
    T_CORVEL_PARA para{0, 2, 8};
    KW_SetCorvelParam(0, &para);

    std::printf("%-9s %-9s %-9s %-14s %-16s %-12s\n", "baud", "bytes", "seconds", "of wire limit",
                "of protocol min", "CPU s/MiB");
    int failures = 0;
    for (const Rate& r : rates) {
        Board board = StartBoard();
        if (board.port.empty()) {
            std::fprintf(stderr, "vboard did not start\n");
            return 1;
        }
        std::wstring port(board.port.begin(), board.port.end());
        unsigned chosen = 2;
        for (int i = 0; i < 50 && chosen == 2; ++i) {
            KW_Start_Read(port.c_str(), 0, SOC_FC_E1);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            chosen = KW_Choose_Baud(port.c_str(), 0, r.baud);
        }
        std::vector<char> producer(2000, 0x5A);
        std::string producerPath = folder + "/producer.bin", imagePath = folder + "/image.bin";
        std::ofstream(producerPath, std::ios::binary).write(producer.data(), static_cast<long>(producer.size()));
        std::vector<char> image(r.size);
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 131 + (i >> 9));
        std::ofstream(imagePath, std::ios::binary).write(image.data(), static_cast<long>(image.size()));
        std::wstring wproducer(producerPath.begin(), producerPath.end());
        if (chosen != 1 || KW_Attach_Uart(port.c_str(), r.baud, 0) != 1 ||
            KW_Uart_DownloadProducer(1, wproducer.c_str(), 0) != 1 ||
            // The boot ROM tops out at its selector rates; the producer then takes the exact rate.
            KW_ChangeCom(port.c_str(), 1, r.baud) != 1) {
            std::fprintf(stderr, "%u: handshake or producer download failed\n", r.baud);
            ++failures;
            board.Stop();
            continue;
        }
        T_DOWNLOAD_BIN bin{};
        std::wstring wimage(imagePath.begin(), imagePath.end());
        std::wcsncpy(bin.path, wimage.c_str(), 260);
        std::memcpy(bin.name, "spiflash", 8);
        bin.length = r.size;
        double cpu0 = CpuSeconds();
        auto t0 = Clock::now();
        unsigned result = KW_Uart_Download_spi_img(1, &bin);
        double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        double cpu = CpuSeconds() - cpu0;
        KW_Detach_Uart(port.c_str());
        board.Stop();
        if (result != 1) {
            std::fprintf(stderr, "%u: download failed (%u)\n", r.baud, result);
            ++failures;
            continue;
        }
        double wireLimit = r.size / (r.baud / 10.0);
        double chunk = r.baud == 115200 ? 8192 : 16384;
        std::printf("%-9u %-9u %-9.3f %-14.4f %-16.4f %-12.4f\n", r.baud, r.size, seconds, wireLimit / seconds,
                    ProtocolMinimum(r.size, r.baud, chunk) / seconds, cpu / (r.size / 1048576.0));
    }
    std::string rm = "rm -rf " + folder;
    (void)!std::system(rm.c_str());
    return failures == 0 ? 0 : 1;
}
