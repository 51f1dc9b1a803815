// SPDX-License-Identifier: MIT
// Line rates through plain termios, where there is no termios2.
#include <termios.h>

#include <cerrno>

#include "sim_device.h"
#include "sim_pty.h"

namespace {

// Where speed_t is the rate itself (the BSDs and macOS), any rate can be set and read.
constexpr bool kSpeedIsTheRate = B9600 == 9600 && B38400 == 38400 && B115200 == 115200;

// The system's name for a rate; B0 for one it has no name for (28800 on Linux).
speed_t ConstantFor(long baud) {
    if (kSpeedIsTheRate) {
        return static_cast<speed_t>(baud);
    }
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

// On Linux the master reports the slave's settings; elsewhere this is a best effort.
// Only the device's own rates are named.
long ReadSlaveBaud(int master) {
    struct termios settings;
    if (tcgetattr(master, &settings) != 0) {
        return 0;
    }
    const speed_t speed = cfgetospeed(&settings);
    if (kSpeedIsTheRate) {
        return static_cast<long>(speed);
    }
    for (char code = '0'; BaudForSpeedCode(code) != 0; ++code) {
        if (speed != B0 && ConstantFor(BaudForSpeedCode(code)) == speed) {
            return BaudForSpeedCode(code);
        }
    }
    return 0;
}

// Declared in sim_line.cpp.
bool SetLineBaudExactly(int fd, long baud) {
    const speed_t speed = ConstantFor(baud);
    if (speed == B0) {
        errno = EINVAL;
        return false;
    }
    struct termios settings;
    return tcgetattr(fd, &settings) == 0 && cfsetispeed(&settings, speed) == 0 &&
           cfsetospeed(&settings, speed) == 0 && tcsetattr(fd, TCSANOW, &settings) == 0;
}
