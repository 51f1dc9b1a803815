// SPDX-License-Identifier: MIT
#include <termios.h>

#include <cerrno>

// Declared in sim_pty.cpp. Plain termios is all there is: sim_pty.cpp reads it.
long ReadSlaveBaudExactly(int) {
    return 0;
}

// Declared in sim_line.cpp. Without termios2, a rate needs its B-constant, unless
// speed_t is the rate itself (the BSDs and macOS).
bool SetLineBaudExactly(int fd, long baud) {
    speed_t speed = 0;
    switch (baud) {
        case 9600:
            speed = B9600;
            break;
        case 19200:
            speed = B19200;
            break;
        case 38400:
            speed = B38400;
            break;
        case 57600:
            speed = B57600;
            break;
        case 115200:
            speed = B115200;
            break;
        default:
            if (B9600 != 9600 || B115200 != 115200) {
                errno = EINVAL;
                return false;
            }
            speed = static_cast<speed_t>(baud);
    }
    struct termios settings;
    return tcgetattr(fd, &settings) == 0 && cfsetispeed(&settings, speed) == 0 &&
           cfsetospeed(&settings, speed) == 0 && tcsetattr(fd, TCSANOW, &settings) == 0;
}
