// SPDX-License-Identifier: MIT
// Kept apart from the termios code: the Linux termios2 interface cannot share a
// translation unit with the C library's <termios.h>.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "serial_posix_speed.h"

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

long LineSpeedOf(int fd) {
    struct termios2 line;
    if (ioctl(fd, TCGETS2, &line) != 0) {
        return -1;
    }
    return static_cast<long>(line.c_ospeed);
}

bool AnyRateCanBeSet() {
    return true;
}

bool LowLatencyFlagsToSet(int flags, bool on, int* toSet) {
    if (((flags & ASYNC_LOW_LATENCY) != 0) == on) {
        return false;
    }
    *toSet = on ? flags | ASYNC_LOW_LATENCY : flags & ~ASYNC_LOW_LATENCY;
    return true;
}

namespace {

bool SetLowLatency(int fd, bool on) {
    struct serial_struct settings;
    if (ioctl(fd, TIOCGSERIAL, &settings) != 0 ||
        !LowLatencyFlagsToSet(settings.flags, on, &settings.flags)) {
        return false;
    }
    return ioctl(fd, TIOCSSERIAL, &settings) == 0;
}

}  // namespace

bool RequestLowLatency(int fd) {
    return SetLowLatency(fd, true);
}

void EndLowLatency(int fd) {
    SetLowLatency(fd, false);
}
