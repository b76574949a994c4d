#pragma once
// A throwaway PostgreSQL server for tests and benchmarks: initdb in a fresh
// temporary folder, listening on 127.0.0.1 on a free port, removed with the
// object. The server runs as a child of this process and is told to stop
// when this process ends, however it ends (a crashed test leaves no server
// behind). As root it runs as the `postgres` user, since PostgreSQL refuses
// to run as root.
#include <sys/types.h>

#include <string>

namespace kestrow::records::testing {

class PostgresServer {
public:
    struct Options {
        bool durable = false;  // fsync on, as a real station's server (benchmarks); off for tests
    };
    explicit PostgresServer(Options options);
    PostgresServer() : PostgresServer(Options{}) {}
    ~PostgresServer();
    PostgresServer(const PostgresServer&) = delete;
    PostgresServer& operator=(const PostgresServer&) = delete;

    // Why no server can be had on this machine (the postgresql package is
    // not installed, no postgres user as root); empty when one can.
    static std::string Unavailable();

    // Creates the cluster on the first call; starts the server and waits until
    // it takes connections. False with the reason in `error`.
    bool Start(std::string& error);
    // Fast shutdown; waits until the server has ended. The data stay for the next Start.
    void Stop();
    bool Running() const { return pid_ > 0; }

    // A database of its own for each caller: "postgresql://kestrow@127.0.0.1:PORT/NAME".
    // Empty, with `error`, when it cannot be created.
    std::string NewDatabase(std::string& error);
    int Port() const { return port_; }

private:
    bool InitCluster(std::string& error);
    bool Launch(std::string& error);

    Options options_;
    std::string bin_;
    std::string folder_;
    bool initialised_ = false;
    int port_ = 0;
    pid_t pid_ = -1;
    int databases_ = 0;
};

// One server per test process, started on first use and stopped at exit.
// Null, with the reason in `why`, when no server can be had or it does not start.
PostgresServer* SharedPostgresServer(std::string& why);

}  // namespace kestrow::records::testing
