// Kept apart from the termios code: the Linux termios2 interface cannot share a
// translation unit with the C library's <termios.h>.
#include "serial_posix_speed.h"

#if defined(__linux__)
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

int SetLineSpeed(int fd, int32_t baud) {
    struct termios2 line;
    if (ioctl(fd, TCGETS2, &line) != 0) {
        return -1;
    }
    line.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    line.c_ispeed = static_cast<speed_t>(baud);
    line.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd, TCSETS2, &line);
}

void RequestLowLatency(int fd) {
    struct serial_struct settings;
    if (ioctl(fd, TIOCGSERIAL, &settings) != 0) {
        return;
    }
    if ((settings.flags & ASYNC_LOW_LATENCY) == 0) {
        settings.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &settings);
    }
}

#else
#include <sys/ioctl.h>
#include <termios.h>
#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#endif

namespace {

speed_t StandardSpeedFor(int32_t baud) {
    switch (baud) {
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

}  // namespace

int SetLineSpeed(int fd, int32_t baud) {
    speed_t standard = StandardSpeedFor(baud);
    if (standard != B0) {
        struct termios line;
        if (tcgetattr(fd, &line) != 0) {
            return -1;
        }
        cfsetispeed(&line, standard);
        cfsetospeed(&line, standard);
        return tcsetattr(fd, TCSANOW, &line);
    }
#if defined(__APPLE__)
    speed_t custom = static_cast<speed_t>(baud);
    return ioctl(fd, IOSSIOSPEED, &custom);
#else
    return -1;
#endif
}

void RequestLowLatency(int) {}

#endif
