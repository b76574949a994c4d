#pragma once
// Pseudo-terminals that stand in for serial devices in a test: each slave
// stays usable until the set goes, since the set holds its master.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace kestrow::engine::testing {

class PseudoTerminals {
public:
    PseudoTerminals() = default;
    PseudoTerminals(const PseudoTerminals&) = delete;
    PseudoTerminals& operator=(const PseudoTerminals&) = delete;
    ~PseudoTerminals() {
        for (int fd : masters_) ::close(fd);
    }
    // A new slave's path (/dev/pts/N).
    std::string Open() {
        int master = ::posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(::grantpt(master), 0);
        EXPECT_EQ(::unlockpt(master), 0);
        masters_.push_back(master);
        return ::ptsname(master);
    }

private:
    std::vector<int> masters_;
};

}  // namespace kestrow::engine::testing
