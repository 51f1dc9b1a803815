// SPDX-License-Identifier: MIT
#include "sim_line.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

// In sim_line_speed_*.cpp: sets any rate the system can, 28800 included.
bool SetLineBaudExactly(int fd, long baud);

bool OpenSerialLine(const std::string& path, SerialLine* line, std::string* error) {
    // Non-blocking, so that a FIFO or a port waiting for carrier cannot hold us here.
    line->fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (line->fd == -1) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    line->path = path;
    if (!isatty(line->fd) || tcgetattr(line->fd, &line->saved) != 0) {
        *error = path + " is not a terminal";
        close(line->fd);
        line->fd = -1;
        return false;
    }
    struct termios raw = line->saved;
    cfmakeraw(&raw);
    raw.c_cflag = (raw.c_cflag & ~(CSIZE | PARENB | CSTOPB | CRTSCTS)) | CS8 | CLOCAL | CREAD;
    raw.c_iflag &= ~(IXON | IXOFF | IXANY);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(line->fd, TCSANOW, &raw) != 0 || !SetSerialLineBaud(*line, 9600, error)) {
        *error = "cannot set up " + path + ": " + std::strerror(errno);
        CloseSerialLine(line);
        return false;
    }
    tcflush(line->fd, TCIOFLUSH);
    return true;
}

bool SetSerialLineBaud(const SerialLine& line, long baud, std::string* error) {
    tcdrain(line.fd);
    if (!SetLineBaudExactly(line.fd, baud)) {
        *error = "cannot set " + line.path + " to " + std::to_string(baud) +
                 " baud: " + std::strerror(errno);
        return false;
    }
    return true;
}

void CloseSerialLine(SerialLine* line) {
    if (line->fd != -1) {
        tcsetattr(line->fd, TCSANOW, &line->saved);
        close(line->fd);
        line->fd = -1;
    }
}

LineRead ReadSerialLine(const SerialLine& line, std::vector<uint8_t>* data) {
    uint8_t buffer[4096];
    ssize_t count;
    do {
        count = read(line.fd, buffer, sizeof buffer);
    } while (count < 0 && errno == EINTR);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return LineRead::None;
    }
    // End of file or an error: the line hung up or its adapter is gone.
    if (count <= 0) {
        return LineRead::Lost;
    }
    data->assign(buffer, buffer + count);
    return LineRead::Data;
}
