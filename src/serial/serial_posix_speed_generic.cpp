// SPDX-License-Identifier: MIT
// Line speed through plain termios, for POSIX systems other than Linux.
#include <errno.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "serial.h"
#include "serial_posix_speed.h"
#if defined(__APPLE__)
#include <IOKit/serial/ioss.h>
#endif

namespace {

// Where speed_t is the rate itself (the BSDs, macOS) any rate can be asked for;
// elsewhere only the rates with a B-constant exist.
constexpr bool kSpeedIsTheRate = B9600 == 9600 && B38400 == 38400 && B115200 == 115200;

// The system's name for a line rate; B0 for one it has no name for (28800).
speed_t ConstantFor(int32_t baud) {
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
    speed_t speed = ConstantFor(baud);
    if (speed == B0) {
#if defined(__APPLE__)
        // Its drivers take a rate outside the traditional list only through this ioctl.
        speed_t custom = static_cast<speed_t>(baud);
        return ioctl(fd, IOSSIOSPEED, &custom);
#else
        if (!kSpeedIsTheRate || baud <= 0) {
            errno = EINVAL;
            return -1;
        }
        speed = static_cast<speed_t>(baud);
#endif
    }
    struct termios line;
    if (tcgetattr(fd, &line) != 0) {
        return -1;
    }
    if (cfsetispeed(&line, speed) != 0 || cfsetospeed(&line, speed) != 0) {
        return -1;
    }
    return tcsetattr(fd, TCSANOW, &line);
}

long LineSpeedOf(int fd) {
    struct termios line;
    if (tcgetattr(fd, &line) != 0) {
        return -1;
    }
    const speed_t speed = cfgetospeed(&line);
    if (kSpeedIsTheRate) {
        return static_cast<long>(speed);
    }
    for (int32_t rate : kLineRates) {
        if (ConstantFor(rate) == speed && speed != B0) {
            return rate;
        }
    }
    return -1;
}

bool AnyRateCanBeSet() {
    return kSpeedIsTheRate;
}

bool RequestLowLatency(int) {
    return false;
}

void EndLowLatency(int) {}
