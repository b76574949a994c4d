// termios2 lives in the kernel headers, which clash with <termios.h>.
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace vboard {

unsigned TerminalBaud(int fd) {
    struct termios2 tio {};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return 0;
    return tio.c_ospeed;
}

}  // namespace vboard
