// The serial link on Linux and macOS, through termios.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "serial.h"
#include "serial_posix_speed.h"

namespace {

const char* const kPortNames[8] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};

// Reports a failed system call: where it happened and the system's reason. An error
// that means the line is gone marks the port lost. Returns whether it printed.
bool ReportFailure(SerialPort* port, SerialOperation operation, int line, int error) {
    if (error == EIO || error == ENXIO || error == ENODEV) {
        port->lost = true;
    }
    if (!ShouldReportFailure(port, operation)) {
        return false;
    }
    std::printf("       Error detected in file %s, line %d \n", __FILE__, line);
    std::printf("  %s\n", std::strerror(error));
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

// Serial programs agree on a lock file per device, "LCK..<device>" holding the
// owner's PID. It is taken before the device is opened: opening a terminal raises
// DTR and RTS, which resets some devices in the middle of another program's flash.
const char* const kLockFolders[] = {"/run/lock", "/var/lock"};

// The lock file last taken, removed at exit too: most ends leave the port to exit,
// and Ctrl+C is how a user gives up a wait.
char g_lockAtExit[sizeof(SerialPort::lockFile)];

void RemoveLockAtExit() {
    if (g_lockAtExit[0] != '\0') {
        unlink(g_lockAtExit);
    }
}

void RemoveLockAndReraise(int signalNumber) {
    RemoveLockAtExit();
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

const int kLockedSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void RemoveLockAtExitAndOnSignals() {
    std::atexit(RemoveLockAtExit);
    for (int signalNumber : kLockedSignals) {
        struct sigaction previous {};
        sigaction(signalNumber, nullptr, &previous);
        if (previous.sa_handler == SIG_DFL) {  // an ignored signal stays ignored
            signal(signalNumber, RemoveLockAndReraise);
        }
    }
}

// "/dev/ttyUSB0" gives "ttyUSB0", "/dev/pts/3" gives "pts_3". False when it is too long.
bool LockNameFor(const char* device, char* name, size_t size) {
    const char* relative = std::strncmp(device, "/dev/", 5) == 0 ? device + 5 : device;
    if (relative == device && std::strrchr(device, '/') != nullptr) {
        relative = std::strrchr(device, '/') + 1;
    }
    const size_t length = std::strlen(relative);
    if (length >= size) {
        return false;
    }
    for (size_t i = 0; i <= length; ++i) {
        name[i] = relative[i] == '/' ? '_' : relative[i];
    }
    return true;
}

// Only a lock whose owner is known to be dead may be taken over.
bool LockOwnerIsGone(const char* lockFile) {
    int fd = open(lockFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT;
    }
    char text[32] = {};
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    long owner = got > 0 ? std::strtol(text, nullptr, 10) : 0;
    return owner > 0 && kill(static_cast<pid_t>(owner), 0) != 0 && errno == ESRCH;
}

enum class LockResult { Taken, Held, Unavailable };

// The PID goes into a file of our own first, which is then linked into place: the
// lock never exists without its owner's PID in it.
LockResult TakeLockIn(const char* folder, const char* name, SerialPort* port) {
    char temporary[sizeof port->lockFile];
    std::snprintf(temporary, sizeof temporary, "%s/LTMP.%d", folder, static_cast<int>(getpid()));
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return LockResult::Unavailable;  // no lock folder we may write to here
    }
    char pid[16];
    int length = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
    bool written = write(fd, pid, static_cast<size_t>(length)) == length;
    close(fd);
    std::snprintf(port->lockFile, sizeof port->lockFile, "%s/LCK..%s", folder, name);
    LockResult result = LockResult::Unavailable;
    for (int attempt = 0; written && attempt < 2 && result == LockResult::Unavailable; ++attempt) {
        if (link(temporary, port->lockFile) == 0) {
            result = LockResult::Taken;
        } else if (errno != EEXIST) {
            break;
        } else if (LockOwnerIsGone(port->lockFile)) {
            unlink(port->lockFile);
        } else {
            result = LockResult::Held;
        }
    }
    unlink(temporary);
    if (result != LockResult::Taken) {
        port->lockFile[0] = '\0';
    }
    return result;
}

LockResult TakeDeviceLock(const char* devicePath, SerialPort* port) {
    char device[PATH_MAX];
    if (realpath(devicePath, device) == nullptr) {
        return LockResult::Unavailable;  // nothing there; the open will fail
    }
    char name[sizeof port->lockFile - 16];
    if (!LockNameFor(device, name, sizeof name)) {
        return LockResult::Unavailable;
    }
    for (const char* folder : kLockFolders) {
        LockResult result = TakeLockIn(folder, name, port);
        if (result != LockResult::Unavailable) {
            if (result == LockResult::Taken) {
                static bool registered = (RemoveLockAtExitAndOnSignals(), true);
                (void)registered;
                std::memcpy(g_lockAtExit, port->lockFile, sizeof g_lockAtExit);
            }
            return result;
        }
    }
    return LockResult::Unavailable;  // without a lock folder, flock and TIOCEXCL remain
}

void ReleaseDeviceLock(SerialPort* port) {
    if (port->lockFile[0] == '\0') {
        return;
    }
    unlink(port->lockFile);
    if (std::strcmp(g_lockAtExit, port->lockFile) == 0) {
        g_lockAtExit[0] = '\0';
    }
    port->lockFile[0] = '\0';
}

}  // namespace

int Open(SerialPort* port, int portNumber) {
    port->handle = -1;
    port->lockFile[0] = '\0';
    port->readTimeoutMs = 0;
    port->lost = false;
    port->reportedFailures = 0;
    if (portNumber < 1 || portNumber > 8) {
        return kSerialFailed;
    }
    port->portName = kPortNames[portNumber - 1];
    char path[32];
    DevicePathFor(portNumber, path, sizeof path);

    if (TakeDeviceLock(path, port) == LockResult::Held) {
        return kSerialFailed;
    }
    // Non-blocking, so that a port without carrier does not hang the open.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ReleaseDeviceLock(port);
        return kSerialFailed;
    }
    // Advisory, as the lock file is: it keeps out programs that use flock instead.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        ReleaseDeviceLock(port);
        return kSerialFailed;
    }
    port->handle = fd;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ReportFailure(port, kOperationOpen, __LINE__, errno);
        return kSerialFailed;
    }
    if (tcgetattr(fd, &port->savedState) != 0) {
        ReportFailure(port, kOperationOpen, __LINE__, errno);
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
        ReportFailure(port, kOperationConfigure, __LINE__, errno);
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
        ReportFailure(port, kOperationConfigure, __LINE__, errno);
        return kSerialFailed;
    }
    if (SetLineSpeed(fd, baud) != 0) {
        ReportFailure(port, kOperationConfigure, __LINE__, errno);
        return kSerialFailed;
    }
    // DTR and RTS held off; a line without modem signals (a pseudo-terminal) is fine.
    int modemLines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMBIC, &modemLines) != 0 && errno != ENOTTY && errno != EINVAL) {
        ReportFailure(port, kOperationConfigure, __LINE__, errno);
        return kSerialFailed;
    }
    RequestLowLatency(fd);
    if (tcflush(fd, TCIOFLUSH) != 0) {
        ReportFailure(port, kOperationConfigure, __LINE__, errno);
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
        ReportFailure(port, kOperationPurge, __LINE__, errno);
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
            if (ReportFailure(port, kOperationWrite, writeLine, now == 0 ? EIO : errno)) {
                std::printf("     Timeout has occured in file %s, line %d \n", __FILE__, writeLine);
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
        ReportFailure(port, kOperationWrite, __LINE__, errno);
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
            ReportFailure(port, kOperationRead, __LINE__, errno);
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
        ReportFailure(port, kOperationRead, __LINE__, got == 0 ? EIO : errno);
        return kSerialFailed;
    }
}

void Pause(SerialPort*) {
    SerialSleep(100);
}

void Close(SerialPort* port) {
    close(port->handle);
    ReleaseDeviceLock(port);
}

void SerialSleep(int milliseconds) {
    struct timespec remaining = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
