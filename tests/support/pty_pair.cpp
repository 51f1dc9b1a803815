// SPDX-License-Identifier: MIT
#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

bool OpenPtyPair(PtyPair* pair, bool raw) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        return false;
    }
    if (raw) {
        struct termios modes;
        tcgetattr(master, &modes);
        cfmakeraw(&modes);
        tcsetattr(master, TCSANOW, &modes);
    }
    pair->master = master;
    pair->slavePath = ptsname(master);
    return true;
}

void ClosePtyPair(PtyPair* pair) {
    if (pair->master >= 0) {
        close(pair->master);
        pair->master = -1;
    }
}

std::string ReadExactly(int fd, size_t count, int timeoutMs) {
    std::string bytes;
    while (bytes.size() < count) {
        struct pollfd waiter = {fd, POLLIN, 0};
        if (poll(&waiter, 1, timeoutMs) <= 0) {
            break;
        }
        char buffer[4096];
        size_t want = count - bytes.size() < sizeof buffer ? count - bytes.size() : sizeof buffer;
        ssize_t got = read(fd, buffer, want);
        if (got <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
}

std::string DeviceLockFile(const std::string& slavePath) {
    std::string name = slavePath.substr(5);  // "/dev/pts/3" gives "LCK..pts_3"
    name[name.find('/')] = '_';
    return "/run/lock/LCK.." + name;
}
