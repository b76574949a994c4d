#pragma once
// Makes writes past a size fail as on a full disk, for one scope.
#include <sys/resource.h>

#include <csignal>

namespace kestrow::config::testing {

// Writes past `bytes` fail as on a full disk (EFBIG instead of the signal).
class DiskFullAfter {
public:
    explicit DiskFullAfter(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~DiskFullAfter() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, oldHandler_);
    }

private:
    rlimit saved_{};
    void (*oldHandler_)(int) = nullptr;
};

}  // namespace kestrow::config::testing
