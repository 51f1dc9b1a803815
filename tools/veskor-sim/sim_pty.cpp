// SPDX-License-Identifier: MIT
#include "sim_pty.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != -1;
}

}  // namespace

bool OpenPseudoTerminal(PseudoTerminal* terminal, std::string* error) {
    terminal->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (terminal->master == -1) {
        *error = SystemError("cannot create a pseudo-terminal");
        return false;
    }
    const char* name = nullptr;
    int packetMode = 1;
    if (grantpt(terminal->master) != 0 || unlockpt(terminal->master) != 0 ||
        (name = ptsname(terminal->master)) == nullptr) {
        *error = SystemError("cannot unlock the pseudo-terminal");
        return false;
    }
    terminal->slavePath = name;
    // Packet mode turns the updater's tcflush calls into events we can read.
    if (!SetNonBlocking(terminal->master) || ioctl(terminal->master, TIOCPKT, &packetMode) != 0) {
        *error = SystemError("cannot set up the pseudo-terminal");
        return false;
    }
    terminal->heldSlave = open(terminal->slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (terminal->heldSlave == -1) {
        *error = SystemError("cannot open " + terminal->slavePath);
        return false;
    }
    return true;
}

void ReleaseHeldSlave(PseudoTerminal* terminal) {
    if (terminal->heldSlave != -1) {
        close(terminal->heldSlave);
        terminal->heldSlave = -1;
    }
}

void ClosePseudoTerminal(PseudoTerminal* terminal) {
    ReleaseHeldSlave(terminal);
    if (terminal->master != -1) {
        close(terminal->master);
        terminal->master = -1;
    }
}

bool CreatePortLink(const std::string& linkName, const std::string& target, std::string* error) {
    struct stat status;
    if (lstat(linkName.c_str(), &status) == 0) {
        if (!S_ISLNK(status.st_mode)) {
            *error = linkName + " exists and is not a symbolic link; not touching it";
            return false;
        }
        if (unlink(linkName.c_str()) != 0) {
            *error = SystemError("cannot remove the old link " + linkName);
            return false;
        }
    } else if (errno != ENOENT) {
        *error = SystemError("cannot inspect " + linkName);
        return false;
    }
    if (symlink(target.c_str(), linkName.c_str()) != 0) {
        *error = SystemError("cannot create the link " + linkName);
        return false;
    }
    return true;
}

void RemovePortLink(const std::string& linkName, const std::string& target) {
    char buffer[PATH_MAX];
    ssize_t length = readlink(linkName.c_str(), buffer, sizeof buffer - 1);
    if (length < 0) {
        return;
    }
    buffer[length] = '\0';
    // Another simulator may have taken the name over since; leave its link alone.
    if (target == buffer) {
        unlink(linkName.c_str());
    }
}

PacketKind ReadMasterPacket(int master, std::vector<uint8_t>* data, int* controlFlags) {
    uint8_t buffer[4097];
    ssize_t count;
    do {
        count = read(master, buffer, sizeof buffer);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? PacketKind::None : PacketKind::Closed;
    }
    if (count == 0) {
        return PacketKind::Closed;
    }
    // In packet mode the first byte says what follows: TIOCPKT_DATA (0) and the
    // bytes, or status bits alone.
    if (buffer[0] != TIOCPKT_DATA) {
        *controlFlags = buffer[0];
        return PacketKind::Control;
    }
    data->assign(buffer + 1, buffer + count);
    return PacketKind::Data;
}

bool IsFlushPacket(int controlFlags) {
    return (controlFlags & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0;
}

std::string DescribeSlaveLine(int master) {
    struct termios line;
    if (tcgetattr(master, &line) != 0) {
        return "unknown";
    }
    std::string format;
    switch (line.c_cflag & CSIZE) {
    case CS5: format = "5"; break;
    case CS6: format = "6"; break;
    case CS7: format = "7"; break;
    default: format = "8"; break;
    }
    format += (line.c_cflag & PARENB) == 0 ? "N" : ((line.c_cflag & PARODD) != 0 ? "O" : "E");
    format += (line.c_cflag & CSTOPB) != 0 ? "2" : "1";
    if ((line.c_cflag & CRTSCTS) != 0) format += "+rtscts";
    if ((line.c_iflag & (IXON | IXOFF)) != 0) format += "+xon";
    bool cooked = (line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) != 0 || (line.c_oflag & OPOST) != 0 ||
                  (line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | PARMRK)) != 0;
    if (cooked) format += "+cooked";
    return format;
}
