#include "tests/kestrow/records/postgres_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

namespace kestrow::records::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kReadyTimeout = 120s;  // a loaded machine may take long to start a server
constexpr auto kStopTimeout = 60s;
constexpr int kPortTries = 5;

// The newest installed server's programs, or $KESTROW_PG_BIN.
std::string FindBinDir() {
    if (const char* given = std::getenv("KESTROW_PG_BIN")) return given;
    std::string best;
    int bestVersion = -1;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const std::string bin = entry.path().string() + "/bin";
        if (!fs::exists(bin + "/postgres") || !fs::exists(bin + "/initdb")) continue;
        const int version = std::atoi(entry.path().filename().c_str());
        if (version > bestVersion) {
            bestVersion = version;
            best = bin;
        }
    }
    return best;
}

// PostgreSQL will not run as root; then it runs as this user.
const passwd* ServerUser() { return ::geteuid() == 0 ? ::getpwnam("postgres") : nullptr; }

std::string Tail(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
}

int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

// Starts `argv` in `folder` with its output in `log`, as the server user
// when root; with `dieWithUs` it gets SIGQUIT (immediate shutdown) when
// this process ends.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& folder, const std::string& log, bool dieWithUs) {
    const passwd* user = ServerUser();
    const uid_t uid = user ? user->pw_uid : 0;
    const gid_t gid = user ? user->pw_gid : 0;
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int in = ::open("/dev/null", O_RDONLY);
    if (out < 0 || in < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0) ::_exit(126);
    if (::chdir(folder.c_str()) != 0) ::_exit(126);
    if (user && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
    // Set after the user change, which would clear it.
    if (dieWithUs && (::prctl(PR_SET_PDEATHSIG, SIGQUIT) != 0 || ::getppid() != parent)) ::_exit(126);
    ::execv(args[0], args.data());
    ::_exit(127);
}

bool WaitFor(pid_t pid, std::chrono::steady_clock::duration limit, int& status) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (done < 0) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

}  // namespace

PostgresServer::PostgresServer(Options options) : options_(options), bin_(FindBinDir()) {}

PostgresServer::~PostgresServer() {
    Stop();
    if (!folder_.empty()) {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
}

std::string PostgresServer::Unavailable() {
    if (FindBinDir().empty())
        return "no PostgreSQL server programs under /usr/lib/postgresql (the postgresql package is not installed)";
    if (::geteuid() == 0 && ::getpwnam("postgres") == nullptr)
        return "running as root, and there is no postgres user to run the server as";
    return "";
}

bool PostgresServer::InitCluster(std::string& error) {
    char folder[] = "/tmp/kestrow-pg-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        error = "cannot make a temporary folder";
        return false;
    }
    folder_ = folder;
    if (const passwd* user = ServerUser(); user && ::chown(folder, user->pw_uid, user->pw_gid) != 0) {
        error = "cannot give " + folder_ + " to the postgres user";
        return false;
    }
    ::chmod(folder, 0700);
    const std::string log = folder_ + "/initdb.log";
    pid_t pid = Spawn({bin_ + "/initdb", "-D", folder_ + "/data", "-A", "trust", "-U", "kestrow", "-E", "UTF8",
                       "--no-locale", "-N"},
                      folder_, log, false);
    int status = 0;
    if (pid < 0 || !WaitFor(pid, kReadyTimeout, status) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "initdb failed: " + Tail(log);
        return false;
    }
    initialised_ = true;
    return true;
}

bool PostgresServer::Launch(std::string& error) {
    const std::string log = folder_ + "/server.log";
    const bool durable = options_.durable;
    for (int attempt = 0; attempt < kPortTries; ++attempt) {
        // The port of an earlier start is kept, so URLs handed out stay valid.
        if (port_ == 0 || attempt > 0) port_ = FreePort();
        std::ofstream(log, std::ios::trunc).flush();
        pid_ = Spawn({bin_ + "/postgres", "-D", folder_ + "/data", "-p", std::to_string(port_), "-k", folder_, "-c",
                      "listen_addresses=127.0.0.1", "-c", std::string("fsync=") + (durable ? "on" : "off"), "-c",
                      std::string("synchronous_commit=") + (durable ? "on" : "off"), "-c",
                      std::string("full_page_writes=") + (durable ? "on" : "off"), "-c", "shared_buffers=32MB", "-c",
                      "max_connections=60"},
                     folder_, log, true);
        if (pid_ < 0) {
            error = "cannot start postgres";
            return false;
        }
        const std::string ping = "postgresql://kestrow@127.0.0.1:" + std::to_string(port_) + "/postgres?connect_timeout=2";
        const auto until = std::chrono::steady_clock::now() + kReadyTimeout;
        int status = 0;
        bool exited = false;
        while (std::chrono::steady_clock::now() < until) {
            if (PQping(ping.c_str()) == PQPING_OK) return true;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited = true;
                break;
            }
            std::this_thread::sleep_for(20ms);
        }
        const std::string said = Tail(log);
        if (!exited) {
            Stop();
            error = "postgres did not take connections within the time-out: " + said;
            return false;
        }
        pid_ = -1;
        // Another program took the port between our look and the server's bind.
        if (said.find("could not bind") == std::string::npos && said.find("already in use") == std::string::npos) {
            error = "postgres ended at start: " + said;
            return false;
        }
    }
    error = "postgres found no free port";
    return false;
}

bool PostgresServer::Start(std::string& error) {
    if (Running()) return true;
    if (bin_.empty()) {
        error = Unavailable();
        return false;
    }
    if (!initialised_ && !InitCluster(error)) return false;
    return Launch(error);
}

void PostgresServer::Stop() {
    if (pid_ <= 0) return;
    int status = 0;
    ::kill(pid_, SIGINT);  // fast shutdown: running sessions end, the data stay consistent
    if (!WaitFor(pid_, kStopTimeout, status)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

std::string PostgresServer::NewDatabase(std::string& error) {
    const std::string base = "postgresql://kestrow@127.0.0.1:" + std::to_string(port_) + "/";
    const std::string name = "kestrow_" + std::to_string(::getpid()) + "_" + std::to_string(++databases_);
    PGconn* conn = PQconnectdb((base + "postgres").c_str());
    std::unique_ptr<PGconn, void (*)(PGconn*)> guard(conn, PQfinish);
    if (PQstatus(conn) != CONNECTION_OK) {
        error = PQerrorMessage(conn);
        return "";
    }
    PGresult* result = PQexec(conn, ("CREATE DATABASE " + name).c_str());
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    if (!ok) error = PQresultErrorMessage(result);
    PQclear(result);
    return ok ? base + name : "";
}

PostgresServer* SharedPostgresServer(std::string& why) {
    static std::unique_ptr<PostgresServer> server;
    static std::string failure;
    if (server || !failure.empty()) {
        why = failure;
        return server.get();
    }
    failure = PostgresServer::Unavailable();
    if (failure.empty()) {
        auto started = std::make_unique<PostgresServer>();
        if (started->Start(failure)) server = std::move(started);
    }
    why = failure;
    return server.get();
}

}  // namespace kestrow::records::testing
