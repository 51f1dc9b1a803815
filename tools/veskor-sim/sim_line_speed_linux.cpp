// SPDX-License-Identifier: MIT
// Kept apart from every file that includes <termios.h>: the kernel's termios2
// definitions clash with the C library's.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "sim_pty.h"

// c_ospeed also holds rates set through BOTHER (28800 for one), which cfgetospeed
// cannot express.
long ReadSlaveBaud(int master) {
    struct termios2 settings;
    if (ioctl(master, TCGETS2, &settings) != 0) {
        return 0;
    }
    return static_cast<long>(settings.c_ospeed);
}

// Declared in sim_line.cpp. BOTHER takes any rate, 28800 too.
bool SetLineBaudExactly(int fd, long baud) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return false;
    }
    settings.c_cflag =
        (settings.c_cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = static_cast<speed_t>(baud);
    settings.c_ospeed = static_cast<speed_t>(baud);
    return ioctl(fd, TCSETS2, &settings) == 0;
}
