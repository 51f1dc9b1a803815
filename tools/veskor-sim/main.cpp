// SPDX-License-Identifier: MIT
// veskor-sim: plays a Veskor device on a pseudo-terminal linked as COM<N>, or on
// an existing terminal (--line). One thread, one poll loop: the terminal, a pipe
// woken by signals, and timers for the power-up, the erase and the paced line.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
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
#include "sim_line.h"
#include "sim_options.h"
#include "sim_pty.h"
#include "sim_wait.h"

namespace {

// The updater's port preparation is three flushes within microseconds; this
// much quiet after the last one means it is done and waiting for "<".
const int64_t kPreparationQuietUs = 50 * 1000;
const int kBitsPerByte = 10;  // start bit, 8 data bits, stop bit
// On a line the updater's close cannot be seen: the session is over once the line
// has been this quiet with the device powered up and idle. The updater's longest
// pause in a live session is far shorter (one second per stray byte before "<",
// which the noise option adds on top).
const int64_t kLineQuietEndUs = 3 * 1000 * 1000;

volatile sig_atomic_t g_signalReceived = 0;
volatile sig_atomic_t g_powerUpRequested = 0;
int g_wakePipe[2] = {-1, -1};

void WakeLoop() {
    int savedErrno = errno;
    ssize_t ignored = write(g_wakePipe[1], "s", 1);
    (void)ignored;
    errno = savedErrno;
}

void OnSignal(int) {
    g_signalReceived = 1;
    WakeLoop();
}

void OnPowerUpSignal(int) {
    g_powerUpRequested = 1;
    WakeLoop();
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
        // A signal ignored from the start (nohup, a background job of a shell without job
        // control) stays ignored, as in brivane.
        struct sigaction previous;
        if (sigaction(signalNumber, nullptr, &previous) != 0) {
            return false;
        }
        if (previous.sa_handler != SIG_IGN && sigaction(signalNumber, &action, nullptr) != 0) {
            return false;
        }
    }
    action.sa_handler = OnPowerUpSignal;
    if (sigaction(SIGUSR1, &action, nullptr) != 0) {
        return false;
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

// Where the device talks: its own pseudo-terminal, or a terminal given with --line.
struct Endpoint {
    PseudoTerminal terminal;
    SerialLine line;
    bool onLine = false;
    int Fd() const { return onLine ? line.fd : terminal.master; }
};

void CloseEndpoint(Endpoint* endpoint) {
    ClosePseudoTerminal(&endpoint->terminal);
    CloseSerialLine(&endpoint->line);
}

// Enter on the simulator's own terminal powers the device up. Read only in the
// foreground: a background read of the terminal would stop the process.
bool KeyboardUsable() {
    return isatty(STDIN_FILENO) && tcgetpgrp(STDIN_FILENO) == getpgrp();
}

bool EnterPressed() {
    char buffer[256];
    ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
    return count > 0 && std::memchr(buffer, '\n', static_cast<size_t>(count)) != nullptr;
}

struct Session {
    int64_t powerUpAtUs = -1;  // on a line: the --power-up-after moment; -1: none
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

void ReceiveBytes(const std::vector<uint8_t>& data, Device* device, Wire* wire, int64_t nowNs) {
    for (uint8_t byte : data) {
        if (wire->pace) {
            wire->inputBusyUntilNs =
                std::max(nowNs, wire->inputBusyUntilNs) + ByteTimeNs(DeviceBaud(*device));
        }
        DeviceReceive(device, byte, nowNs / 1000);
        TakeDeviceOutput(device, wire, nowNs);
    }
}

// Reads everything the line has. Returns false once it is lost.
bool DrainLine(const SerialLine& line, Device* device, Wire* wire, int64_t nowNs) {
    std::vector<uint8_t> data;
    for (;;) {
        switch (ReadSerialLine(line, &data)) {
        case LineRead::None:
            return true;
        case LineRead::Lost:
            return false;
        case LineRead::Data:
            ReceiveBytes(data, device, wire, nowNs);
            break;
        }
    }
}

// When the line has been quiet long enough to end the session; false while the
// device is off or busy.
bool LineQuietEnd(const Device& device, const Wire& wire, const Session& session, int64_t* endUs) {
    if (device.state == DeviceState::Off || device.state == DeviceState::Erasing ||
        !wire.outgoing.empty()) {
        return false;
    }
    int64_t lastUs = std::max({session.powerUpAtUs, device.lastReceivedUs, device.lastSentUs});
    *endUs = lastUs + kLineQuietEndUs + device.options.noiseBytes * int64_t{1000000};
    return true;
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
            ReceiveBytes(data, device, wire, nowNs);
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
EndReason RunSession(Endpoint* endpoint, Device* device, const SimOptions& options,
                     Session* session) {
    PseudoTerminal* terminal = &endpoint->terminal;
    Wire wire;
    wire.pace = options.pace;
    // Without --timeout the session waits as long as the updater does: without end.
    const int64_t giveUpNs = options.timeoutSeconds > 0.0
                                 ? NowNanos() + static_cast<int64_t>(options.timeoutSeconds * 1e9)
                                 : INT64_MAX;

    for (;;) {
        int64_t nowNs = NowNanos();
        int64_t nowUs = nowNs / 1000;
        if (g_signalReceived) {
            return EndReason::Signal;
        }
        if (nowNs >= giveUpNs) {
            return EndReason::Timeout;
        }

        if (device->state == DeviceState::Off &&
            (g_powerUpRequested || (session->powerUpAtUs >= 0 && nowUs >= session->powerUpAtUs))) {
            session->powerUpAtUs = nowUs;
            PowerUpDevice(device);
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
            CloseEndpoint(endpoint);
            return EndReason::Hangup;
        }
        if (!wire.outputBlocked) {
            WriteDueOutput(endpoint->Fd(), device, &wire, nowNs);
        }
        // The loader changes its rate right after the speed code; a line follows it.
        if (endpoint->onLine && session->lineBaud != DeviceBaud(*device) && wire.outgoing.empty()) {
            std::string error;
            if (!SetSerialLineBaud(endpoint->line, DeviceBaud(*device), &error)) {
                std::fprintf(stderr, "veskor-sim: %s\n", error.c_str());
                return EndReason::Error;
            }
            session->lineBaud = DeviceBaud(*device);
        }
        int64_t quietEndUs = 0;
        bool quietEnds = endpoint->onLine && LineQuietEnd(*device, wire, *session, &quietEndUs);
        if (quietEnds && nowUs >= quietEndUs) {
            return EndReason::Closed;
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
        if (device->state == DeviceState::Off && session->powerUpAtUs >= 0) {
            wakeNs = std::min(wakeNs, session->powerUpAtUs * 1000);
        }
        if (quietEnds) {
            wakeNs = std::min(wakeNs, quietEndUs * 1000);
        }
        bool watchKeyboard =
            endpoint->onLine && device->state == DeviceState::Off && KeyboardUsable();

        struct pollfd fds[3];
        fds[0].fd = endpoint->Fd();
        fds[0].events = static_cast<short>(POLLIN | POLLPRI | (wire.outputBlocked ? POLLOUT : 0));
        fds[0].revents = 0;
        fds[1].fd = g_wakePipe[0];
        fds[1].events = POLLIN;
        fds[1].revents = 0;
        fds[2].fd = STDIN_FILENO;
        fds[2].events = POLLIN;
        fds[2].revents = 0;
        struct timespec wait = WaitUntil(wakeNs, nowNs);
        int ready = PollFor(fds, watchKeyboard ? 3 : 2, wait);
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
        if (watchKeyboard && (fds[2].revents & POLLIN) && KeyboardUsable() && EnterPressed()) {
            g_powerUpRequested = 1;
        }
        if (endpoint->onLine && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (!DrainLine(endpoint->line, device, &wire, nowNs)) {
                PrintNotices(device);
                std::fprintf(stderr, "veskor-sim: the line %s is lost\n",
                             endpoint->line.path.c_str());
                return EndReason::Error;
            }
        } else if (fds[0].revents & (POLLIN | POLLPRI | POLLHUP | POLLERR)) {
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

    Endpoint endpoint;
    PseudoTerminal& terminal = endpoint.terminal;
    endpoint.onLine = !options.linePath.empty();
    const std::string linkName = "COM" + std::to_string(options.portNumber);
    Session session;
    if (endpoint.onLine) {
        if (!OpenSerialLine(options.linePath, &endpoint.line, &error)) {
            std::fprintf(stderr, "veskor-sim: %s\n", error.c_str());
            return 2;
        }
        session.lineBaud = kBootRomBaud;
        if (options.powerUpAfterSeconds >= 0) {
            session.powerUpAtUs =
                NowNanos() / 1000 + static_cast<int64_t>(options.powerUpAfterSeconds * 1e6);
        }
        std::fprintf(stderr, "veskor-sim: line %s ready at 9600 baud, waiting for the power-up\n",
                     options.linePath.c_str());
    } else if (!OpenPseudoTerminal(&terminal, &error) ||
               !CreatePortLink(linkName, terminal.slavePath, &error)) {
        std::fprintf(stderr, "veskor-sim: %s\n", error.c_str());
        ClosePseudoTerminal(&terminal);
        return 2;
    } else {
        std::fprintf(stderr, "veskor-sim: %s -> %s ready, waiting for the updater\n",
                     linkName.c_str(), terminal.slavePath.c_str());
    }

    Device device;
    InitDevice(&device, options, initialFlash);
    EndReason end = RunSession(&endpoint, &device, options, &session);
    CloseEndpoint(&endpoint);
    if (!endpoint.onLine) {
        RemovePortLink(linkName, terminal.slavePath);
    }

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
