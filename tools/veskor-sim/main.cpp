// veskor-sim: plays a Veskor device on a pseudo-terminal linked as COM<N>.
// One thread, one poll loop: the master side of the terminal, a pipe woken by
// signals, and timers for the power-up, the erase and the paced line.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "sim_device.h"
#include "sim_options.h"
#include "sim_pty.h"
#include "sim_wait.h"

namespace {

// The updater's port preparation is three flushes within microseconds; this
// much quiet after the last one means it is done and waiting for "<".
const int64_t kPreparationQuietUs = 50 * 1000;
const int kBitsPerByte = 10;  // start bit, 8 data bits, stop bit

volatile sig_atomic_t g_signalReceived = 0;
int g_wakePipe[2] = {-1, -1};

void OnSignal(int) {
    g_signalReceived = 1;
    int savedErrno = errno;
    ssize_t ignored = write(g_wakePipe[1], "s", 1);
    (void)ignored;
    errno = savedErrno;
}

bool InstallSignalHandlers() {
    if (pipe(g_wakePipe) != 0) {
        return false;
    }
    for (int fd : g_wakePipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        if (sigaction(signalNumber, &action, nullptr) != 0) {
            return false;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

// The wire is scheduled in nanoseconds: a byte at 115200 baud lasts 86.8 us, and
// whole microseconds would make the paced line run almost 1% fast.
int64_t NowNanos() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t ByteTimeNs(int baud) {
    return static_cast<int64_t>(kBitsPerByte) * 1000000000 / baud;
}

struct QueuedByte {
    uint8_t value;
    int64_t earliestNs;  // the byte may not start on the wire before this
    int baud;            // rate of the line when the byte was sent
};

// The simulated wire. A pseudo-terminal takes the updater's bytes at once and its
// tcdrain returns at once, so pacing cannot hold the updater back; instead the
// device hears each byte when it arrives (which keeps the updater's time-outs and
// fillers meaningful) and its replies wait until the wire would have brought
// everything received so far, then leave at the wire's speed.
struct Wire {
    bool pace = false;
    int64_t inputBusyUntilNs = 0;     // when the wire would have brought the last byte received
    std::deque<QueuedByte> outgoing;  // sent by the device, not yet written to the master
    int64_t lastWrittenNs = 0;        // when the previous byte written finished on the wire
    bool outputBlocked = false;       // the updater's input buffer is full
};

int64_t DueNs(const Wire& wire, const QueuedByte& byte, int64_t previousDueNs) {
    if (!wire.pace) {
        return byte.earliestNs;
    }
    return std::max(byte.earliestNs, previousDueNs) + ByteTimeNs(byte.baud);
}

void TakeDeviceOutput(Device* device, Wire* wire, int64_t nowNs) {
    int64_t earliestNs = wire->pace ? std::max(nowNs, wire->inputBusyUntilNs) : nowNs;
    for (uint8_t byte : device->outbox) {
        wire->outgoing.push_back(QueuedByte{byte, earliestNs, DeviceBaud(*device)});
    }
    device->outbox.clear();
}

void PrintNotices(Device* device) {
    for (const std::string& notice : device->notices) {
        std::fprintf(stderr, "veskor-sim: %s\n", notice.c_str());
    }
    device->notices.clear();
}

void WriteDueOutput(int master, Device* device, Wire* wire, int64_t nowNs) {
    std::vector<uint8_t> due;
    int64_t dueNs = wire->lastWrittenNs;
    for (const QueuedByte& byte : wire->outgoing) {
        int64_t nextDueNs = DueNs(*wire, byte, dueNs);
        if (nextDueNs > nowNs) {
            break;
        }
        due.push_back(byte.value);
        dueNs = nextDueNs;
    }
    if (due.empty()) {
        return;
    }
    ssize_t written;
    do {
        written = write(master, due.data(), due.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wire->outputBlocked = true;
            return;
        }
        // The updater is gone; its closing ends the session right after.
        written = static_cast<ssize_t>(due.size());
    }
    wire->outputBlocked = static_cast<size_t>(written) < due.size();
    // Follow the wire's own schedule, not the moment poll woke us, so pacing does not drift.
    for (ssize_t i = 0; i < written; ++i) {
        wire->lastWrittenNs = DueNs(*wire, wire->outgoing.front(), wire->lastWrittenNs);
        wire->outgoing.pop_front();
    }
    if (wire->outgoing.empty()) {
        DeviceNoteSent(device, nowNs / 1000);
    }
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* content, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    content->assign(kFlashSize + 1, 0);
    size_t got = std::fread(content->data(), 1, content->size(), file);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        *error = "cannot read " + path;
        return false;
    }
    if (got > kFlashSize) {
        *error = path + " is larger than the 2 MiB flash";
        return false;
    }
    content->resize(got);
    return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

struct Session {
    int64_t lastFlushUs = 0;
    bool powerUpCheckPending = false;  // a flush was seen since the last check
    long lineBaud = 0;
    std::string lineFormat;
    long flushEvents = 0;
};

void OnFlush(PseudoTerminal* terminal, const Device& device, Session* session, int64_t nowUs) {
    ++session->flushEvents;
    session->lastFlushUs = nowUs;
    session->powerUpCheckPending = true;
    // The updater has the port open now; from here on a hang-up means it closed it.
    ReleaseHeldSlave(terminal);
    // The last flush after the speed command follows the updater's new line setting.
    if (device.speedCode != 0) {
        session->lineBaud = ReadSlaveBaud(terminal->master);
        session->lineFormat = DescribeSlaveLine(terminal->master);
    }
}

// Reads everything the master has. Returns false once the updater closed the port.
bool DrainMaster(PseudoTerminal* terminal, Device* device, Wire* wire, Session* session, int64_t nowNs) {
    const int64_t nowUs = nowNs / 1000;
    std::vector<uint8_t> data;
    for (;;) {
        int controlFlags = 0;
        switch (ReadMasterPacket(terminal->master, &data, &controlFlags)) {
        case PacketKind::None:
            return true;
        case PacketKind::Closed:
            return false;
        case PacketKind::Control:
            if (IsFlushPacket(controlFlags)) {
                OnFlush(terminal, *device, session, nowUs);
            }
            break;
        case PacketKind::Data:
            for (uint8_t byte : data) {
                if (wire->pace) {
                    wire->inputBusyUntilNs =
                        std::max(nowNs, wire->inputBusyUntilNs) + ByteTimeNs(DeviceBaud(*device));
                }
                DeviceReceive(device, byte, nowUs);
                TakeDeviceOutput(device, wire, nowNs);
            }
            break;
        }
    }
}

// Waits to the nanosecond where the system can: waits rounded up to whole
// milliseconds would hold every paced reply up to a millisecond too long. The kernel
// also lets a wait run over by 0.1% of its length, so a long wait ends a millisecond
// early and the loop finishes it with a short one.
struct timespec WaitUntil(int64_t wakeNs, int64_t nowNs) {
    const int64_t kMillisecondNs = 1000000;
    int64_t waitNs = std::min<int64_t>(std::max<int64_t>(wakeNs - nowNs, 0), int64_t{3600} * 1000000000);
    if (waitNs > 2 * kMillisecondNs) {
        waitNs -= kMillisecondNs;
    }
    struct timespec wait;
    wait.tv_sec = static_cast<time_t>(waitNs / 1000000000);
    wait.tv_nsec = static_cast<long>(waitNs % 1000000000);
    return wait;
}

// Runs the session until it ends; returns how.
EndReason RunSession(PseudoTerminal* terminal, Device* device, const SimOptions& options, Session* session) {
    Wire wire;
    wire.pace = options.pace;
    const int64_t giveUpNs = NowNanos() + static_cast<int64_t>(options.timeoutSeconds * 1e9);

    for (;;) {
        int64_t nowNs = NowNanos();
        int64_t nowUs = nowNs / 1000;
        if (g_signalReceived) {
            return EndReason::Signal;
        }
        if (nowNs >= giveUpNs) {
            return EndReason::Timeout;
        }

        if (device->state == DeviceState::Off && session->powerUpCheckPending &&
            nowUs - session->lastFlushUs >= kPreparationQuietUs) {
            session->powerUpCheckPending = false;
            // Still at another rate: the updater is not done yet; its next flush brings another check.
            if (ReadSlaveBaud(terminal->master) == kBootRomBaud) {
                PowerUpDevice(device);
            }
        }
        DeviceAdvanceClock(device, nowUs);
        TakeDeviceOutput(device, &wire, nowNs);
        PrintNotices(device);
        if (device->state == DeviceState::HungUp) {
            ClosePseudoTerminal(terminal);
            return EndReason::Hangup;
        }
        if (!wire.outputBlocked) {
            WriteDueOutput(terminal->master, device, &wire, nowNs);
        }

        int64_t wakeNs = giveUpNs;
        int64_t deviceDeadlineUs = 0;
        if (DeviceNextDeadline(*device, &deviceDeadlineUs)) {
            wakeNs = std::min(wakeNs, deviceDeadlineUs * 1000);
        }
        if (device->state == DeviceState::Off && session->powerUpCheckPending) {
            wakeNs = std::min(wakeNs, (session->lastFlushUs + kPreparationQuietUs) * 1000);
        }
        if (!wire.outgoing.empty() && !wire.outputBlocked) {
            wakeNs = std::min(wakeNs, DueNs(wire, wire.outgoing.front(), wire.lastWrittenNs));
        }

        struct pollfd fds[2];
        fds[0].fd = terminal->master;
        fds[0].events = static_cast<short>(POLLIN | POLLPRI | (wire.outputBlocked ? POLLOUT : 0));
        fds[0].revents = 0;
        fds[1].fd = g_wakePipe[0];
        fds[1].events = POLLIN;
        fds[1].revents = 0;
        struct timespec wait = WaitUntil(wakeNs, nowNs);
        int ready = PollFor(fds, 2, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "veskor-sim: poll failed: %s\n", std::strerror(errno));
            return EndReason::Error;
        }
        nowNs = NowNanos();
        if (fds[0].revents & POLLOUT) {
            wire.outputBlocked = false;
        }
        if (fds[0].revents & (POLLIN | POLLPRI | POLLHUP | POLLERR)) {
            bool open = DrainMaster(terminal, device, &wire, session, nowNs);
            // A hang-up with nothing left to read is the updater's close too (our own
            // slave descriptor, while held, rules out any other cause).
            if (!open || ((fds[0].revents & POLLHUP) && terminal->heldSlave == -1)) {
                PrintNotices(device);
                return EndReason::Closed;
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    RequestPreciseWaits();
    SimOptions options;
    std::string error;
    if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
        std::fprintf(stderr, "veskor-sim: %s\nTry 'veskor-sim --help'.\n", error.c_str());
        return 2;
    }
    if (options.showHelp) {
        std::fputs(HelpText(), stdout);
        return 0;
    }

    std::vector<uint8_t> initialFlash;
    if (!options.initialPath.empty() && !ReadWholeFile(options.initialPath, &initialFlash, &error)) {
        std::fprintf(stderr, "veskor-sim: %s\n", error.c_str());
        return 2;
    }
    if (!InstallSignalHandlers()) {
        std::fprintf(stderr, "veskor-sim: cannot install signal handlers: %s\n", std::strerror(errno));
        return 2;
    }

    PseudoTerminal terminal;
    const std::string linkName = "COM" + std::to_string(options.portNumber);
    if (!OpenPseudoTerminal(&terminal, &error) || !CreatePortLink(linkName, terminal.slavePath, &error)) {
        std::fprintf(stderr, "veskor-sim: %s\n", error.c_str());
        ClosePseudoTerminal(&terminal);
        return 2;
    }
    std::fprintf(stderr, "veskor-sim: %s -> %s ready, waiting for the updater\n", linkName.c_str(),
                 terminal.slavePath.c_str());

    Device device;
    InitDevice(&device, options, initialFlash);
    Session session;
    EndReason end = RunSession(&terminal, &device, options, &session);
    ClosePseudoTerminal(&terminal);
    RemovePortLink(linkName, terminal.slavePath);

    bool flashWritten = true;
    if (!options.flashPath.empty() && !WriteWholeFile(options.flashPath, device.flash)) {
        std::fprintf(stderr, "veskor-sim: cannot write the flash to %s\n", options.flashPath.c_str());
        flashWritten = false;
    }
    std::fprintf(stderr, "veskor-sim: session over after %ld flush events, %ld bytes ignored\n",
                 session.flushEvents, device.ignoredBytes);
    std::fprintf(stderr, "%s\n", FormatSummary(device, session.lineBaud, session.lineFormat, end).c_str());

    if (end == EndReason::Timeout || end == EndReason::Signal || end == EndReason::Error ||
        !flashWritten) {
        return 1;
    }
    return 0;
}
