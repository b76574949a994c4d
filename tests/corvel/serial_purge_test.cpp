// Closing a port clears what came in, never what was written: the kernel may
// not have handed the last bytes on yet (a pseudo-terminal on a busy machine),
// and the last byte before a rate change (the return after "go") must arrive.
#include "corvel/platform/serial_port.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

namespace {

using corvel::platform::OpenError;
using corvel::platform::SerialPort;

TEST(SerialPort, OpeningAndClosingNeverThrowAwayWhatWasWritten) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    char name[128];
    ASSERT_EQ(::ptsname_r(master, name, sizeof name), 0);
    // In packet mode the board's end is told of every flush of the port's output.
    int packet = 1;
    ASSERT_EQ(::ioctl(master, TIOCPKT, &packet), 0);

    SerialPort port;
    ASSERT_EQ(port.Open(name, 115200), OpenError::None);
    ASSERT_TRUE(port.WriteAll("\r", 1, std::chrono::milliseconds(1000)));
    port.DropDtrAndPurge();
    port.Close();

    std::string data;
    bool outputFlushed = false;
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 200) <= 0) break;
        char chunk[64];
        ssize_t n = ::read(master, chunk, sizeof chunk);
        if (n <= 0) break;
        if (chunk[0] == TIOCPKT_DATA) data.append(chunk + 1, static_cast<size_t>(n - 1));
        else if (chunk[0] & TIOCPKT_FLUSHWRITE) outputFlushed = true;
    }
    EXPECT_FALSE(outputFlushed) << "the port threw away output that had not reached the board yet";
    EXPECT_EQ(data, "\r");
    ::close(master);
}

}  // namespace
