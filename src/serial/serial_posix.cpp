// SPDX-License-Identifier: MIT
// The serial link on Linux, macOS and the BSDs: the line through termios, exclusive
// use through the device lock (serial_posix_lock.cpp), flock and TIOCEXCL. What the
// systems do differently (rates without a B-constant, the driver's latency, who holds
// a flock) is in the *_linux.cpp and *_generic.cpp files.
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

#include "console.h"
#include "ending_signals.h"
#include "serial_common.h"
#include "serial_posix_speed.h"

namespace {

// Errors that show by themselves that the line has gone: hung up, adapter pulled out.
bool MeansPortLost(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

uint32_t SteadyMilliseconds() {
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

// Notes the failure by the loss rule both back ends share (NoteFailure) and reports it
// unless it already was. Returns whether it printed.
bool ReportFailureAndMarkLoss(SerialPort* port, SerialOperation operation, int line, int error) {
    if (!NoteFailure(port, operation, MeansPortLost(error), SteadyMilliseconds())) {
        return false;
    }
    ConsolePrintf("       Error detected in file %s, line %d \n", __FILE__, line);
    ConsolePrintf("  %s\n", std::strerror(error));
    return true;
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

const char* const kLockFolders[] = {"/run/lock", "/var/lock"};
const int kLockFolderCount = sizeof kLockFolders / sizeof kLockFolders[0];

// The driver keeps its low-latency mode after the device is closed, for every later
// program: where we switched it on, it goes off again at every end of the run, also
// the ends that leave the port to process exit, and an ending signal.
int g_lowLatencyPort = -1;

void EndLowLatencyWeSwitchedOn() {
    if (g_lowLatencyPort >= 0) {
        EndLowLatency(g_lowLatencyPort);
        g_lowLatencyPort = -1;
    }
}

}  // namespace

int Open(SerialPort* port, int portNumber) {
    port->handle = -1;
    port->lock.file[0] = '\0';
    port->readTimeoutMs = 0;
    port->lost = false;
    port->reportedFailures = 0;
    if (portNumber < 1 || portNumber > 8) {
        return kSerialFailed;
    }
    port->portName = kPortNames[portNumber - 1];
    char path[32];
    DevicePathFor(portNumber, path, sizeof path);

    if (TakeDeviceLock(path, kLockFolders, kLockFolderCount, &port->lock) == kLockHeld) {
        return kSerialFailed;
    }
    // Non-blocking, so that a port without carrier does not hang the open.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ReleaseDeviceLock(&port->lock);
        return kSerialFailed;
    }
    // Advisory, as the lock file is: it keeps out programs that use flock instead.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        ReleaseDeviceLock(&port->lock);
        return kSerialFailed;
    }
    port->handle = fd;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ReportFailureAndMarkLoss(port, kOperationOpen, __LINE__, errno);
        return kSerialFailed;
    }
    if (tcgetattr(fd, &port->savedState) != 0) {
        ReportFailureAndMarkLoss(port, kOperationOpen, __LINE__, errno);
        return kSerialFailed;
    }
    port->savedTimeouts.minimumBytes = port->savedState.c_cc[VMIN];
    port->savedTimeouts.tenthsOfSecond = port->savedState.c_cc[VTIME];
    // Keeps other users' processes from opening the device while we hold it; root's
    // open passes it, which is why the lock file comes first.
    ioctl(fd, TIOCEXCL);
    return kSerialOk;
}

int Configure(SerialPort* port, int32_t baud) {
    int fd = port->handle;
    if (tcflush(fd, TCIOFLUSH) != 0) {
        ReportFailureAndMarkLoss(port, kOperationConfigure, __LINE__, errno);
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
        ReportFailureAndMarkLoss(port, kOperationConfigure, __LINE__, errno);
        return kSerialFailed;
    }
    if (SetLineSpeed(fd, baud) != 0) {
        ReportFailureAndMarkLoss(port, kOperationConfigure, __LINE__, errno);
        return kSerialFailed;
    }
    // DTR and RTS held off; a line without modem signals (a pseudo-terminal) is fine.
    int modemLines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIC, &modemLines) != 0 && errno != ENOTTY && errno != EINVAL) {
        ReportFailureAndMarkLoss(port, kOperationConfigure, __LINE__, errno);
        return kSerialFailed;
    }
    // Held back, so that no end comes between switching the driver and noting it to be
    // switched back.
    const sigset_t previousMask = BlockEndingSignals();
    if (RequestLowLatency(fd)) {
        g_lowLatencyPort = fd;
        TidyUpAtEveryEnd(EndLowLatencyWeSwitchedOn);
    }
    RestoreSignalMask(previousMask);
    if (tcflush(fd, TCIOFLUSH) != 0) {
        ReportFailureAndMarkLoss(port, kOperationConfigure, __LINE__, errno);
        return kSerialFailed;
    }
    NoteSuccess(port, kOperationConfigure);
    return kSerialOk;
}

int SetTimeout(SerialPort* port, int16_t milliseconds) {
    // termios counts only tenths of a second; the wait is done with poll instead.
    port->readTimeoutMs = milliseconds > 0 ? milliseconds : 0;
    return kSerialOk;
}

int PurgeInput(SerialPort* port) {
    if (tcflush(port->handle, TCIFLUSH) != 0) {
        ReportFailureAndMarkLoss(port, kOperationPurge, __LINE__, errno);
        return kSerialFailed;
    }
    NoteSuccess(port, kOperationPurge);
    return kSerialOk;
}

int Write(SerialPort* port, const void* data, int count) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    int written = 0;
    while (written < count) {
        const int writeLine = __LINE__ + 1;  // the reports name the write call
        ssize_t now = write(port->handle, bytes + written, static_cast<size_t>(count - written));
        if (now > 0) {
            written += static_cast<int>(now);
        } else if (now == 0 || errno != EINTR) {
            // A terminal that takes nothing without an error has gone away as well.
            if (ReportFailureAndMarkLoss(port, kOperationWrite, writeLine,
                                         now == 0 ? EIO : errno)) {
                ConsolePrintf("     Timeout has occured in file %s, line %d \n", __FILE__,
                              writeLine);
            }
            return kSerialFailed;
        }
    }
    // Returning only once the bytes are on the wire keeps the progress counters and
    // the reply time-outs in step with the line.
    int drained;
    do {
        drained = tcdrain(port->handle);
    } while (drained != 0 && errno == EINTR);
    if (drained != 0) {
        ReportFailureAndMarkLoss(port, kOperationWrite, __LINE__, errno);
        return kSerialFailed;
    }
    NoteSuccess(port, kOperationWrite);
    return kSerialOk;
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
            ReportFailureAndMarkLoss(port, kOperationRead, __LINE__, errno);
            return kSerialFailed;
        }
        if (ready == 0) {
            NoteSuccess(port, kOperationRead);
            return kSerialTimeout;
        }
    }
    unsigned char byte = 0;
    for (;;) {
        ssize_t got = read(fd, &byte, 1);
        if (got == 1) {
            *dest = byte;
            NoteSuccess(port, kOperationRead);
            return kSerialOk;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // Nothing to read although the port said it was ready: the line has gone
        // (hung up, adapter pulled out). Not a time-out, or the caller would spin.
        ReportFailureAndMarkLoss(port, kOperationRead, __LINE__, got == 0 ? EIO : errno);
        return kSerialFailed;
    }
}

void Pause(SerialPort*) {
    SerialSleep(100);
}

void Close(SerialPort* port) {
    if (g_lowLatencyPort == port->handle) {
        EndLowLatencyWeSwitchedOn();
    }
    close(port->handle);
    ReleaseDeviceLock(&port->lock);
}

void SerialSleep(int milliseconds) {
    struct timespec remaining = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
