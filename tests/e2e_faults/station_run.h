#pragma once
// `kestrow burn` run as the factory runs it, against virtual boards plugged in
// and out of one port: the station is a copy of the sample station, the port a
// symbolic link that the test points at each new board's pseudo-terminal.
#include "tools/vboard/virtual_board.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace kestrow::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A board whose flash is one of the sample station's SPI NOR parts.
inline vboard::BoardOptions GoodBoard() {
    vboard::BoardOptions o;
    o.chipType = 8;
    o.flashId = 0xef4017;
    o.flashSize = 8 << 20;
    return o;
}

// Open descriptors and threads of a process.
struct Resources {
    size_t fds = 0, threads = 0;
    bool operator==(const Resources&) const = default;
};

inline size_t CountEntries(const fs::path& dir) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) ++n;
    return n;
}

inline Resources ResourcesOf(pid_t pid) {
    const fs::path proc = "/proc/" + std::to_string(pid);
    return {CountEntries(proc / "fd"), CountEntries(proc / "task")};
}

inline std::ostream& operator<<(std::ostream& out, const Resources& r) {
    return out << r.fds << " descriptors, " << r.threads << " threads";
}

// Starts `program` with `args` and its standard output on a pipe; `output`
// receives the pipe's reading end. Throws when the pipe cannot be made.
inline pid_t SpawnWithOutputPipe(const char* program, std::vector<std::string> args, int& output) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        std::vector<char*> argv{const_cast<char*>(program)};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    output = out[0];
    return pid;
}

#ifdef VBOARD_PROGRAM
// The vboard program with its standard output on a pipe; the port is its first line.
class VboardProcess {
public:
    explicit VboardProcess(std::vector<std::string> args) {
        int output = -1;
        bool twoPorts = false;
        for (size_t i = 0; i + 1 < args.size(); ++i) twoPorts = twoPorts || (args[i] == "--ports" && args[i + 1] == "2");
        pid_ = SpawnWithOutputPipe(VBOARD_PROGRAM, std::move(args), output);
        FILE* in = ::fdopen(output, "r");
        char line[256] = {};
        if (in != nullptr && std::fgets(line, sizeof line, in) != nullptr) port_ = line;
        // With --ports 2 the second port is the next line.
        if (twoPorts && in != nullptr && std::fgets(line, sizeof line, in) != nullptr) second_ = line;
        if (in != nullptr) std::fclose(in);
        for (std::string* p : {&port_, &second_})
            while (!p->empty() && p->back() == '\n') p->pop_back();
    }
    ~VboardProcess() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& Port() const { return port_; }
    const std::string& SecondPort() const { return second_; }
    // Exit status, or -1 when the program does not end within `timeout`.
    int Wait(std::chrono::milliseconds timeout) {
        int status = 0;
        for (auto until = Clock::now() + timeout; Clock::now() < until; std::this_thread::sleep_for(20ms)) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    std::string port_, second_;
};

#endif

inline std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The output and exit status of a command run to its end.
struct Finished {
    int status = -1;
    std::string output;  // standard output and error together
};
inline Finished RunToEnd(const std::string& command) {
    Finished f;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return f;
    char chunk[4096];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) f.output.append(chunk, n);
    const int status = ::pclose(pipe);
    f.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return f;
}

// A copy of the sample station in `dir`, made anew.
inline void CopySampleStation(const fs::path& dir) {
    fs::remove_all(dir);
    fs::copy(fs::path(KESTROW_SOURCE_ROOT) / "station", dir, fs::copy_options::recursive);
}

class StationRun {
public:
    // Copies the sample station and starts `kestrow burn --json` for `boards` results.
    StationRun(unsigned boards, int timeoutSeconds)
        : StationRun(fs::temp_directory_path() / ("kw_faults_" + std::to_string(::getpid())), true) {
        Start(boards, timeoutSeconds);
    }
    // A copy of the sample station in `dir`, made anew when `fresh`; Start runs the burn.
    StationRun(fs::path dir, bool fresh) : dir_(std::move(dir)) {
        if (fresh) CopySampleStation(dir_);
        port_ = (dir_ / "port").string();
    }
    // `kestrow burn --json` for `boards` results on the station's port, with `extra` arguments.
    void Start(unsigned boards, int timeoutSeconds, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"burn",    "--station", dir_.string(), "--port", port_, "--boards",
                                      std::to_string(boards), "--timeout", std::to_string(timeoutSeconds), "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = SpawnWithOutputPipe(KESTROW_PROGRAM, std::move(args), out_);
    }
    // Ends the burn at once, as a power cut or kill -9 would.
    void Kill() {
        if (pid_ <= 0 || exited_) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        exited_ = true;
    }
    // Keeps the station folder when this object goes (another run takes it over).
    void KeepFolder() { keep_ = true; }
    ~StationRun() {
        board_.reset();
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
        if (!keep_) fs::remove_all(dir_);
    }
    StationRun(const StationRun&) = delete;
    StationRun& operator=(const StationRun&) = delete;

    // Plugs a new board into the port (unplugging the one before).
    vboard::VirtualBoard& Plug(const vboard::BoardOptions& options) {
        Unplug();
        board_ = std::make_unique<vboard::VirtualBoard>(options);
        PlugPort(board_->PortPath());
        return *board_;
    }
    // Points the station's port at `device`, a board played by another process.
    void PlugPort(const std::string& device) {
        const fs::path link = dir_ / "port.new";
        fs::create_symlink(device, link);
        fs::rename(link, port_);
    }
    const fs::path& Dir() const { return dir_; }
    void Unplug() {
        std::error_code ec;
        fs::remove(port_, ec);
        board_.reset();
    }

    // The next JSON record, or nothing within `timeout`.
    std::optional<nlohmann::json> NextRecord(std::chrono::milliseconds timeout) {
        const auto until = Clock::now() + timeout;
        for (;;) {
            size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                if (!line.empty() && line[0] == '{') return nlohmann::json::parse(line);
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) continue;
            char chunk[4096];
            ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            buffer_.append(chunk, size_t(n));
        }
    }

    Resources Now() const { return ResourcesOf(pid_); }
    // The most descriptors and threads the idle station holds, once a burn
    // that just ended has finished closing: the most over one second, taken
    // again until two seconds in a row agree.
    Resources IdleCeiling() const {
        Resources last = MostOverASecond();
        for (int round = 0; round < 10; ++round) {
            Resources next = MostOverASecond();
            if (next == last) break;
            last = next;
        }
        return last;
    }
    // True once the station is back within `ceiling` (a burn that just ended
    // may still be closing its port); false when it stays above it.
    bool SettlesWithin(const Resources& ceiling, std::chrono::milliseconds timeout = 10s) const {
        const auto until = Clock::now() + timeout;
        for (;;) {
            Resources now = Now();
            if (now.fds <= ceiling.fds && now.threads <= ceiling.threads) return true;
            if (Clock::now() >= until) {
                ADD_FAILURE() << "now " << now << ", idle station at most " << ceiling;
                return false;
            }
            std::this_thread::sleep_for(50ms);
        }
    }

    // Exit status of `kestrow burn`, or -1 when it does not end within `timeout`.
    int Wait(std::chrono::milliseconds timeout) {
        const auto until = Clock::now() + timeout;
        int status = 0;
        while (Clock::now() < until) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

    // Everything channel 1's logs hold so far.
    std::string ChannelLog() const {
        std::string all;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir_ / "log", ec)) {
            if (entry.path().filename().string().rfind("ch[1]_log", 0) != 0) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            std::stringstream s;
            s << in.rdbuf();
            all += s.str();
        }
        return all;
    }
    pid_t Pid() const { return pid_; }

private:
    Resources MostOverASecond() const {
        Resources most;
        for (auto start = Clock::now(); Clock::now() - start < 1s;) {
            Resources now = Now();
            most.fds = std::max(most.fds, now.fds);
            most.threads = std::max(most.threads, now.threads);
            std::this_thread::sleep_for(20ms);
        }
        return most;
    }

    fs::path dir_;
    std::string port_;
    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
    bool keep_ = false;
    std::string buffer_;
    std::unique_ptr<vboard::VirtualBoard> board_;
};

}  // namespace kestrow::e2e
