// termios2 lives in the kernel headers, which clash with <termios.h>; this file
// uses only the kernel's definitions.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "corvel/platform/serial_port.h"

namespace corvel::platform {

bool SetRawLine(int fd, unsigned baud) {
    struct termios2 tio {};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return ::ioctl(fd, TCSETS2, &tio) == 0;
}

unsigned ReadLineBaud(int fd) {
    struct termios2 tio {};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return 0;
    return tio.c_ospeed;
}

}  // namespace corvel::platform
