// The serial link on Linux and macOS, through termios.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "serial.h"
#include "serial_posix_speed.h"

namespace {

const char* const kPortNames[8] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};

// Reports a failed system call: where it happened and the system's reason.
void ReportFailure(int line, int error) {
    std::printf("       Error detected in file %s, line %d \n", __FILE__, line);
    std::printf("  %s\n", std::strerror(error));
}

// Port N is the entry "COMN" in the working directory when there is one (normally a
// link to the real device), else the N-th built-in serial port.
void DevicePathFor(int portNumber, char* path, size_t size) {
    struct stat entry;
    if (lstat(kPortNames[portNumber - 1], &entry) == 0) {
        std::snprintf(path, size, "%s", kPortNames[portNumber - 1]);
    } else {
        std::snprintf(path, size, "/dev/ttyS%d", portNumber - 1);
    }
}

}  // namespace

int Open(SerialPort* port, int portNumber) {
    port->handle = -1;
    if (portNumber < 1 || portNumber > 8) {
        return kSerialFailed;
    }
    port->portName = kPortNames[portNumber - 1];
    port->readTimeoutMs = 0;
    char path[32];
    DevicePathFor(portNumber, path, sizeof path);

    // Non-blocking, so that a port without carrier does not hang the open.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kSerialFailed;
    }
    // The port is ours alone, as long as we hold it.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return kSerialFailed;
    }
    port->handle = fd;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ReportFailure(__LINE__, errno);
        return kSerialFailed;
    }
    if (tcgetattr(fd, &port->savedState) != 0) {
        ReportFailure(__LINE__, errno);
        return kSerialFailed;
    }
    port->savedTimeouts.minimumBytes = port->savedState.c_cc[VMIN];
    port->savedTimeouts.tenthsOfSecond = port->savedState.c_cc[VTIME];
    // Keeps other processes from opening the port; root is not stopped by it, the
    // lock above covers that.
    ioctl(fd, TIOCEXCL);
    return kSerialOk;
}

int Configure(SerialPort* port, int32_t baud) {
    int fd = port->handle;
    if (tcflush(fd, TCIOFLUSH) != 0) {
        ReportFailure(__LINE__, errno);
        return kSerialFailed;
    }
    struct termios line;
    std::memset(&line, 0, sizeof line);
    cfmakeraw(&line);
    line.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | CLOCAL | CREAD;
    line.c_iflag &= ~(IXON | IXOFF | IXANY);
    line.c_cc[VMIN] = 1;
    line.c_cc[VTIME] = 0;
    cfsetispeed(&line, B9600);
    cfsetospeed(&line, B9600);
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        ReportFailure(__LINE__, errno);
        return kSerialFailed;
    }
    if (SetLineSpeed(fd, baud) != 0) {
        ReportFailure(__LINE__, errno);
        return kSerialFailed;
    }
    // DTR and RTS held off; a line without modem signals (a pseudo-terminal) is fine.
    int modemLines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIC, &modemLines) != 0 && errno != ENOTTY && errno != EINVAL) {
        ReportFailure(__LINE__, errno);
        return kSerialFailed;
    }
    RequestLowLatency(fd);
    if (tcflush(fd, TCIOFLUSH) != 0) {
        ReportFailure(__LINE__, errno);
        return kSerialFailed;
    }
    return kSerialOk;
}

int SetTimeout(SerialPort* port, int16_t milliseconds) {
    // termios counts only tenths of a second; the wait is done with poll instead.
    port->readTimeoutMs = milliseconds > 0 ? milliseconds : 0;
    return kSerialOk;
}

int PurgeInput(SerialPort* port) {
    if (tcflush(port->handle, TCIFLUSH) != 0) {
        ReportFailure(__LINE__, errno);
        return kSerialFailed;
    }
    return kSerialOk;
}

int Write(SerialPort* port, const void* data, int count) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    int written = 0;
    bool failed = false;
    while (written < count) {
        ssize_t now = write(port->handle, bytes + written, static_cast<size_t>(count - written));
        if (now < 0 && errno == EINTR) {
            continue;
        }
        if (now <= 0) {
            ReportFailure(__LINE__, errno);
            failed = true;
            break;
        }
        written += static_cast<int>(now);
    }
    // Returning only once the bytes are on the wire keeps the progress counters and
    // the reply time-outs in step with the line.
    if (!failed) {
        int drained;
        do {
            drained = tcdrain(port->handle);
        } while (drained != 0 && errno == EINTR);
        if (drained != 0) {
            ReportFailure(__LINE__, errno);
            failed = true;
        }
    }
    if (written != count) {
        std::printf("     Timeout has occured in file %s, line %d \n", __FILE__, __LINE__);
    }
    return failed || written != count ? kSerialFailed : kSerialOk;
}

int ReadByte(SerialPort* port, uint8_t* dest) {
    int fd = port->handle;
    if (port->readTimeoutMs > 0) {
        struct pollfd waiter = {fd, POLLIN, 0};
        int ready;
        do {
            ready = poll(&waiter, 1, port->readTimeoutMs);
        } while (ready < 0 && errno == EINTR);
        if (ready < 0) {
            ReportFailure(__LINE__, errno);
            return kSerialFailed;
        }
        if (ready == 0) {
            return kSerialTimeout;
        }
    }
    unsigned char byte = 0;
    for (;;) {
        ssize_t got = read(fd, &byte, 1);
        if (got == 1) {
            *dest = byte;
            return kSerialOk;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // Nothing to read although the port said it was ready: the line has gone
        // (hung up, adapter pulled out). Not a time-out, or the caller would spin.
        ReportFailure(__LINE__, got == 0 ? EIO : errno);
        return kSerialFailed;
    }
}

void Pause(SerialPort*) {
    SerialSleep(100);
}

void Close(SerialPort* port) {
    close(port->handle);
}

void SerialSleep(int milliseconds) {
    struct timespec remaining = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
