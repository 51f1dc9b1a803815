// SPDX-License-Identifier: MIT
// The station's session on POSIX: children, pipes, signals, the record and the
// display. What is decided (the command line, the reading of brivane's output, what
// a run's end means, the record's line, the display's lines) lives in the files
// included here; this file only does the I/O around it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "board_result.h"
#include "brivane_output.h"
#include "display.h"
#include "station.h"
#include "station_args.h"
#include "station_child.h"
#include "station_files.h"

// BRIVANE_VERSION comes from the build, which takes it from the project's version.

namespace {

const int kExitAllOk = 0;
const int kExitBoardFailed = 1;
const int kExitCommandLine = 2;
const int kExitFileProblem = 3;

const double kAdapterCheckSeconds = 1.0;
const double kInUseRetrySeconds = 3.0;
const double kStartFailureRetrySeconds = 5.0;
// A child sent SIGTERM that has not ended after this long gets SIGKILL.
const double kStopGraceSeconds = 5.0;
const double kRedrawSeconds = 0.25;
// Output the reader does not take is held up to this much, then lines are dropped.
const size_t kMostPendingOutput = 65536;
const char kStableNamesFolder[] = "/dev/serial/by-id";

volatile sig_atomic_t g_stopRequests = 0;
volatile sig_atomic_t g_quitRequested = 0;
volatile sig_atomic_t g_childEnded = 0;
int g_wakeWrite = -1;

void OnSignal(int signalNumber) {
    const int saved = errno;
    if (signalNumber == SIGQUIT) {
        g_quitRequested = 1;
    } else if (signalNumber == SIGCHLD) {
        g_childEnded = 1;
    } else {
        g_stopRequests = g_stopRequests + 1;
    }
    const char wake = 0;
    ssize_t ignored = write(g_wakeWrite, &wake, 1);
    (void)ignored;
    errno = saved;
}

double Now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string TimeStampNow() {
    return UtcTimeStamp(static_cast<int64_t>(time(nullptr)));
}

// Descriptors 0, 1 and 2 lead somewhere before anything else is opened, so that no
// file or pipe of the station's becomes its standard output by accident.
void MakeStandardStreamsValid() {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                close(opened);
            }
        }
    }
}

// For the few messages before the session, when nothing else runs yet.
void WriteWhole(int fd, const std::string& text) {
    const char* data = text.data();
    size_t size = text.size();
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

// The display's output. It is a courtesy: a reader that is slow, gone or closed never
// holds up or ends a flash, so the station writes only what the output takes at once.
struct Output {
    bool terminal = false;
    bool lost = false;
    std::string pending;
    size_t dropped = 0;
    std::vector<std::string> drawn;      // the frame on the terminal now
    double drawnAt = -1;
    bool framePending = false;           // a changed frame waits for its turn
    std::vector<std::string> messages;   // for the terminal: to show above the next frame
};

void Pump(Output* out) {
    while (!out->lost && !out->pending.empty()) {
        struct pollfd writer = {1, POLLOUT, 0};
        if (poll(&writer, 1, 0) <= 0) {
            return;
        }
        if ((writer.revents & POLLOUT) == 0) {
            out->lost = (writer.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            return;
        }
        // Small pieces, so that a write into what poll found free does not block.
        size_t size = out->pending.size() < 512 ? out->pending.size() : 512;
        ssize_t written = write(1, out->pending.data(), size);
        if (written > 0) {
            out->pending.erase(0, static_cast<size_t>(written));
        } else if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        } else {
            out->lost = true;
        }
    }
    if (out->lost) {
        out->pending.clear();
    }
}

void Say(Output* out, const std::string& text) {
    if (out->lost) {
        return;
    }
    if (out->terminal) {
        out->messages.push_back(text);
        return;
    }
    if (out->pending.size() > kMostPendingOutput) {
        ++out->dropped;
        return;
    }
    if (out->dropped > 0) {
        out->pending += ChangeLine(TimeStampNow(), "(" + std::to_string(out->dropped) + " lines not shown)");
        out->dropped = 0;
    }
    out->pending += ChangeLine(TimeStampNow(), text);
}

int TerminalWidth() {
    struct winsize size;
    if (ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}

enum class Idle { Check, NoAdapter, InUse, Done };

struct Port {
    int number = 0;
    std::string name;  // "COM1"
    // The run on the port, while there is one.
    pid_t pid = -1;
    int output = -1;
    BoardProgress progress;
    double startedAt = 0;
    bool stopSent = false;
    bool killSent = false;
    double stopSentAt = 0;
    std::string device;
    std::string adapter;
    // Without a run: what the port waits for.
    Idle idle = Idle::Check;
    double nextCheckAt = 0;
    std::string lastResult;
    bool stoppedIdle = false;  // ended by the station's stop rather than by its own runs
    // The display.
    std::string stateKey;
    double stateSince = 0;
    std::string reportedKey;  // the last state written off a terminal
};

struct Station {
    StationOptions options;
    std::string brivane;
    ImageCopy image;
    int log = -1;
    ChildGuard guard;
    int wakeRead = -1;
    std::vector<Port> ports;
    int stopLevel = 0;
    bool logFailed = false;
    int ok = 0;
    int failed = 0;
    double startedAt = 0;
    Output out;
};

bool Running(const Port& port) {
    return port.pid > 0;
}

std::string StateText(const Port& port) {
    if (Running(port)) {
        return port.stopSent ? "stopping" : PhaseText(port.progress.phase, port.progress.percent);
    }
    switch (port.idle) {
        case Idle::Check:
            return "starting";
        case Idle::NoAdapter:
            return "no adapter";
        case Idle::InUse:
            return "in use";
        case Idle::Done:
            break;
    }
    return port.lastResult.empty() || port.stoppedIdle ? "stopped" : port.lastResult;
}

std::string DeviceShown(const Port& port) {
    if (Running(port) || (port.idle == Idle::Done && !port.device.empty())) {
        return port.device;
    }
    return PortTargetName(port.number);
}

// Takes what the child has written so far; closes the pipe at its end.
void ReadOutput(Port* port) {
    while (port->output >= 0) {
        char buffer[4096];
        ssize_t got = read(port->output, buffer, sizeof buffer);
        if (got > 0) {
            FeedBoardOutput(&port->progress, buffer, static_cast<size_t>(got));
            // Less than asked for: the pipe is empty for now, no need to ask again.
            if (static_cast<size_t>(got) < sizeof buffer) {
                return;
            }
            continue;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno == EAGAIN) {
            return;
        }
        close(port->output);
        port->output = -1;
    }
}

void SendStop(Port* port, int signalNumber, double now) {
    kill(port->pid, signalNumber);
    if (!port->stopSent) {
        port->stopSent = true;
        port->stopSentAt = now;
    }
    if (signalNumber == SIGKILL) {
        port->killSent = true;
    }
}

int FinishingCount(const Station& station) {
    int finishing = 0;
    for (const Port& port : station.ports) {
        finishing += Running(port) && !port.stopSent ? 1 : 0;
    }
    return finishing;
}

// Raises the stop to `level`: 1 ends the runs still waiting for a board and starts no
// more; 2 ends the boards in progress too; 3 kills whatever still runs.
void RaiseStopLevel(Station* station, int level, double now) {
    level = level > 3 ? 3 : level;
    if (level <= station->stopLevel) {
        return;
    }
    // The latest output first: a board that has just begun to load is let finish.
    for (Port& port : station->ports) {
        ReadOutput(&port);
    }
    const int from = station->stopLevel;
    station->stopLevel = level;
    for (Port& port : station->ports) {
        if (!Running(port)) {
            port.stoppedIdle = port.stoppedIdle || port.idle != Idle::Done;
            port.idle = Idle::Done;
            continue;
        }
        const bool boardStarted = port.progress.phase >= BoardPhase::Loading;
        switch (StopActionFor(level, boardStarted, port.stopSent, port.killSent)) {
            case StopAction::Kill:
                SendStop(&port, SIGKILL, now);
                break;
            case StopAction::End:
                SendStop(&port, SIGTERM, now);
                break;
            case StopAction::None:
                break;
        }
    }
    const int finishing = FinishingCount(*station);
    if (from == 0 && level == 1) {
        Say(&station->out, "stopping: no new board; " + std::to_string(finishing) +
                               (finishing == 1 ? " board finishing" : " boards finishing") +
                               (finishing > 0 ? " (stop again to stop them)" : ""));
    } else if (level == 2) {
        Say(&station->out, "stopping the boards in progress");
    } else if (level == 3) {
        Say(&station->out, "killing what still runs");
    }
}

void ApplySignals(Station* station, double now) {
    int requested = static_cast<int>(g_stopRequests);
    if (g_quitRequested && requested < 2) {
        requested = 2;
    }
    RaiseStopLevel(station, requested, now);
}

void StartRun(Station* station, Port* port, const std::string& device, double now) {
    std::vector<std::string> args = {station->brivane, station->image.path, std::to_string(port->number),
                                     std::to_string(station->options.baud)};
    Child child;
    if (!StartChild(station->brivane, args, station->guard, &child)) {
        Say(&station->out, port->name + ": cannot start brivane: " + std::strerror(errno));
        port->idle = Idle::Check;
        port->nextCheckAt = now + kStartFailureRetrySeconds;
        return;
    }
    port->pid = child.pid;
    port->output = child.output;
    port->progress = BoardProgress{};
    port->startedAt = now;
    port->stopSent = false;
    port->killSent = false;
    port->device = device;
    port->adapter = StableAdapterName(device, kStableNamesFolder);
}

void WriteRecord(Station* station, const Port& port, const ChildEnd& end, BoardResult result, double seconds) {
    BoardRecord record;
    record.time = TimeStampNow();
    record.port = port.name;
    record.device = port.device;
    record.adapter = port.adapter;
    record.image = station->options.imagePath;
    record.imageBytes = station->image.bytes;
    record.imageSha256 = station->image.sha256;
    record.baud = station->options.baud;
    record.hasExitStatus = end.exited;
    record.exitStatus = end.exitStatus;
    record.result = ResultName(result);
    record.seconds = seconds;
    record.message = BoardMessage(port.progress);
    std::string problem;
    if (!AppendRecordLine(station->log, FormatRecordLine(record), &problem)) {
        if (!station->logFailed) {
            Say(&station->out, "brivane-station: " + problem + "; no further board is started");
        }
        station->logFailed = true;
    }
}

void EndRun(Station* station, Port* port, int waitStatus, double now) {
    // The child is gone: what it wrote is all in the pipe.
    ReadOutput(port);
    if (port->output >= 0) {
        close(port->output);
        port->output = -1;
    }
    ChildEnd end;
    end.exited = WIFEXITED(waitStatus);
    end.exitStatus = end.exited ? WEXITSTATUS(waitStatus) : 0;
    end.signalNumber = WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
    end.reachedPrompt = ReachedButtonPrompt(port->progress);
    end.boardStarted = port->progress.phase >= BoardPhase::Loading;
    end.stoppedByStation = port->stopSent;
    const BoardResult result = ClassifyEnd(end);
    const double seconds = std::floor((now - port->startedAt) * 10 + 0.5) / 10;
    port->pid = -1;

    if (EndIsRecorded(end, result, station->options.once)) {
        (result == BoardResult::Ok ? station->ok : station->failed) += 1;
        port->lastResult = ResultText(result, end);
        char took[32];
        std::snprintf(took, sizeof took, " after %.1f s", seconds);
        if (!station->out.terminal) {
            Say(&station->out, port->name + " " + port->device + ": " + port->lastResult + took);
            port->reportedKey = StateKey(port->lastResult);
        }
        if (station->log >= 0) {
            WriteRecord(station, *port, end, result, seconds);
        }
        if (station->logFailed) {
            RaiseStopLevel(station, 1, now);
        }
    }
    switch (NextForPort(end, result, station->options.once, station->stopLevel > 0)) {
        case PortNext::StartAgain:
            port->idle = Idle::Check;
            port->nextCheckAt = now;
            break;
        case PortNext::TryLater:
            port->idle = Idle::InUse;
            port->nextCheckAt = now + kInUseRetrySeconds;
            break;
        case PortNext::Done:
            port->idle = Idle::Done;
            port->stoppedIdle = station->stopLevel > 0 && !station->options.once;
            break;
    }
}

void ReapChildren(Station* station, double now) {
    if (!g_childEnded) {
        return;
    }
    // Cleared first: a child that ends while we look raises it again.
    g_childEnded = 0;
    for (Port& port : station->ports) {
        if (!Running(port)) {
            continue;
        }
        int status = 0;
        pid_t ended = waitpid(port.pid, &status, WNOHANG);
        if (ended == port.pid) {
            EndRun(station, &port, status, now);
        }
    }
}

void StartWaitingPorts(Station* station, double now) {
    for (Port& port : station->ports) {
        if (Running(port) || port.idle == Idle::Done || now < port.nextCheckAt) {
            continue;
        }
        if (station->stopLevel > 0) {
            port.idle = Idle::Done;
            port.stoppedIdle = true;
            continue;
        }
        std::string device;
        if (!FindPortDevice(port.number, &device)) {
            port.idle = Idle::NoAdapter;
            port.nextCheckAt = now + kAdapterCheckSeconds;
            continue;
        }
        StartRun(station, &port, device, now);
    }
}

void EscalateStops(Station* station, double now) {
    for (Port& port : station->ports) {
        if (Running(port) && port.stopSent && !port.killSent && now - port.stopSentAt >= kStopGraceSeconds) {
            SendStop(&port, SIGKILL, now);
        }
    }
}

SessionTotals Totals(const Station& station, double now) {
    SessionTotals totals;
    totals.ok = station.ok;
    totals.failed = station.failed;
    totals.seconds = now - station.startedAt;
    totals.stopping = station.stopLevel > 0;
    totals.finishing = FinishingCount(station);
    return totals;
}

// Off a terminal, one line per change of a port's state; on one, the frame redrawn
// in place at most four times a second, and at once when `final`.
void ShowState(Station* station, double now, bool final) {
    std::vector<std::string> lines;
    for (Port& port : station->ports) {
        const std::string state = StateText(port);
        const std::string key = StateKey(state);
        if (key != port.stateKey) {
            port.stateKey = key;
            port.stateSince = now;
        }
        if (!station->out.terminal) {
            // A run's start is over in an instant; what it leads to is the change.
            if (key != port.reportedKey && key != "starting") {
                Say(&station->out, port.name + " " + DeviceShown(port) + ": " + key);
                port.reportedKey = key;
            }
            continue;
        }
        PortView view;
        view.port = port.name;
        view.device = DeviceShown(port);
        view.state = state;
        view.secondsInState = now - port.stateSince;
        if (port.idle != Idle::Done || Running(port) || port.stoppedIdle) {
            view.lastResult = port.lastResult;
        }
        lines.push_back(PortLine(view));
    }
    Output* out = &station->out;
    if (!out->terminal || out->lost) {
        return;
    }
    lines.push_back(SummaryLine(Totals(*station, now)));
    out->framePending = lines != out->drawn || !out->messages.empty();
    // A frame goes out whole or not at all, so that the cursor moves stay right.
    if (out->framePending && out->pending.empty() && (final || now - out->drawnAt >= kRedrawSeconds)) {
        out->pending = TerminalFrame(static_cast<int>(out->drawn.size()), out->messages, lines, TerminalWidth());
        out->drawn = lines;
        out->messages.clear();
        out->drawnAt = now;
        out->framePending = false;
    }
}

bool AllDone(const Station& station) {
    for (const Port& port : station.ports) {
        if (Running(port) || port.idle != Idle::Done) {
            return false;
        }
    }
    return true;
}

int PollTimeoutMs(const Station& station, double now) {
    double wake = -1;
    auto consider = [&](double at) {
        if (wake < 0 || at < wake) {
            wake = at;
        }
    };
    for (const Port& port : station.ports) {
        if (!Running(port) && port.idle != Idle::Done) {
            consider(port.nextCheckAt);
        }
        if (Running(port) && port.stopSent && !port.killSent) {
            consider(port.stopSentAt + kStopGraceSeconds);
        }
    }
    // On a terminal: a changed frame at its turn, else a look four times a second,
    // for the times shown; a frame not yet written wakes the loop when it can be.
    const Output& out = station.out;
    if (out.terminal && !out.lost && out.pending.empty()) {
        consider(out.framePending ? out.drawnAt + kRedrawSeconds : now + kRedrawSeconds);
    }
    if (wake < 0) {
        return -1;
    }
    double ms = std::ceil((wake - now) * 1000);
    return ms < 0 ? 0 : ms > 60000 ? 60000 : static_cast<int>(ms);
}

void RunSession(Station* station) {
    for (;;) {
        double now = Now();
        ApplySignals(station, now);
        StartWaitingPorts(station, now);
        EscalateStops(station, now);
        if (AllDone(*station)) {
            break;
        }
        ShowState(station, now, false);
        Pump(&station->out);

        std::vector<struct pollfd> waiters;
        std::vector<Port*> readers;
        waiters.push_back({station->wakeRead, POLLIN, 0});
        for (Port& port : station->ports) {
            if (port.output >= 0) {
                waiters.push_back({port.output, POLLIN, 0});
                readers.push_back(&port);
            }
        }
        if (!station->out.pending.empty() && !station->out.lost) {
            waiters.push_back({1, POLLOUT, 0});
        }
        int ready = poll(waiters.data(), waiters.size(), PollTimeoutMs(*station, now));
        if (ready < 0 && errno != EINTR) {
            // Nothing to wait on would be a fault of ours; do not spin on it.
            usleep(100000);
        }
        char drained[64];
        while (ready > 0 && waiters[0].revents != 0 && read(station->wakeRead, drained, sizeof drained) > 0) {
        }
        for (size_t i = 0; ready > 0 && i < readers.size(); ++i) {
            if (waiters[i + 1].revents != 0) {
                ReadOutput(readers[i]);
            }
        }
        ReapChildren(station, Now());
    }
    double now = Now();
    if (station->out.terminal) {
        ShowState(station, now, true);
    } else {
        ShowState(station, now, true);
        Say(&station->out, "session over: " + std::to_string(station->ok) + " OK, " +
                               std::to_string(station->failed) + " failed, " +
                               FormatElapsed(now - station->startedAt));
    }
    // What is left goes out if the reader takes it within a second.
    for (int i = 0; i < 20 && !station->out.pending.empty() && !station->out.lost; ++i) {
        Pump(&station->out);
        if (!station->out.pending.empty()) {
            struct pollfd writer = {1, POLLOUT, 0};
            poll(&writer, 1, 50);
        }
    }
}

bool InstallSignals(Station* station) {
    int wake[2];
    if (!MakeCloseOnExecPipe(wake)) {
        return false;
    }
    for (int fd : wake) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            return false;
        }
    }
    station->wakeRead = wake[0];
    g_wakeWrite = wake[1];
    // A lost reader of the display must not end the station.
    signal(SIGPIPE, SIG_IGN);
    const int kHandled[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD};
    for (int signalNumber : kHandled) {
        struct sigaction previous;
        sigaction(signalNumber, nullptr, &previous);
        // A signal ignored from the start (nohup) stays ignored.
        if (signalNumber != SIGCHLD && previous.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART | (signalNumber == SIGCHLD ? SA_NOCLDSTOP : 0);
        sigaction(signalNumber, &action, nullptr);
    }
    return true;
}

std::string Header(const Station& station) {
    std::string ports;
    for (const Port& port : station.ports) {
        ports += " " + port.name;
    }
    return "brivane-station " BRIVANE_VERSION ": image '" + station.options.imagePath + "', " +
           std::to_string(station.image.bytes) + " bytes, SHA-256 " + station.image.sha256 + "; " +
           std::to_string(station.options.baud) + " baud; ports" + ports +
           (station.options.once ? "; once" : "") +
           (station.options.logPath.empty() ? "" : "; log '" + station.options.logPath + "'");
}

int Refuse(const std::string& problem) {
    WriteWhole(2, "brivane-station: " + problem + "\n");
    return kExitFileProblem;
}

}  // namespace

int RunStation(int argc, char** argv) {
    MakeStandardStreamsValid();
    signal(SIGPIPE, SIG_IGN);

    Station station;
    std::string problem;
    switch (ReadStationArgs(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), &station.options,
                            &problem)) {
        case StationArgsVerdict::Run:
            break;
        case StationArgsVerdict::Help:
            WriteWhole(1, StationUsage());
            return kExitAllOk;
        case StationArgsVerdict::Version:
            WriteWhole(1, "brivane-station " BRIVANE_VERSION "\n");
            return kExitAllOk;
        case StationArgsVerdict::Refused:
            WriteWhole(2, "brivane-station: " + problem + "\n" + StationUsage());
            return kExitCommandLine;
    }

    station.brivane = FindBrivane(argc > 0 ? argv[0] : nullptr);
    if (station.brivane.empty()) {
        return Refuse("cannot find brivane next to this program or on PATH");
    }
    // The signals are ours before the copy is made: a stop that comes during the
    // start ends the session at once, and the copy goes with it.
    if (!PrepareChildGuard(&station.guard) || !InstallSignals(&station)) {
        return Refuse(std::string("cannot set up: ") + std::strerror(errno));
    }
    if (!MakeImageCopy(station.options.imagePath, TemporaryRoot(), &station.image, &problem)) {
        return Refuse(problem);
    }
    // The record is open before any board is started, or no board is started; an
    // image refused above leaves no empty record behind.
    if (!station.options.logPath.empty()) {
        station.log = OpenRecordForAppending(station.options.logPath, &problem);
        if (station.log < 0) {
            RemoveImageCopy(&station.image);
            return Refuse(problem);
        }
    }

    station.startedAt = Now();
    station.out.terminal = isatty(1) == 1;
    for (int number : station.options.ports) {
        Port port;
        port.number = number;
        port.name = "COM" + std::to_string(number);
        port.stateSince = station.startedAt;
        station.ports.push_back(port);
    }
    Say(&station.out, Header(station));
    RunSession(&station);

    RemoveImageCopy(&station.image);
    if (station.log >= 0) {
        close(station.log);
    }
    if (station.logFailed) {
        return kExitFileProblem;
    }
    return station.failed > 0 ? kExitBoardFailed : kExitAllOk;
}
