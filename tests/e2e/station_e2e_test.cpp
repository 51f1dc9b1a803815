// SPDX-License-Identifier: MIT
// brivane-station as a user runs it, over several veskor-sim devices on
// pseudo-terminals: the record, the display on and off a terminal, the two-stage
// stop, and the station killed outright.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "expected_output.h"
#include "process.h"
#include "pty_pair.h"
#include "simulator.h"

namespace {

using Record = std::map<std::string, std::string>;

// A flat JSON object, as the station writes it, without blanks: string values
// unescaped (\uXXXX kept as written), other values as written. False when the line
// is not one.
bool ParseRecord(const std::string& line, Record* record) {
    record->clear();
    size_t i = 0;
    auto readString = [&](std::string* out) {
        if (i >= line.size() || line[i++] != '"') return false;
        for (; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\' && line[i + 1] != 'u') ++i;
            *out += line[i];
        }
        return i++ < line.size();
    };
    if (line.empty() || line[i++] != '{') return false;
    for (char separator = ','; separator == ',';) {
        std::string key, value;
        if (!readString(&key) || i >= line.size() || line[i++] != ':') return false;
        if (line[i] == '"') {
            if (!readString(&value)) return false;
        } else {
            const size_t end = line.find_first_of(",}", i);
            if (end == std::string::npos) return false;
            value = line.substr(i, end - i);
            i = end;
        }
        (*record)[key] = value;
        separator = i < line.size() ? line[i++] : '\0';
    }
    return line[i - 1] == '}' && i == line.size();
}

const char* const kRecordKeys[] = {"time",         "port", "device",      "adapter", "image",   "image_bytes",
                                   "image_sha256", "baud", "exit_status", "result",  "seconds", "message"};

std::string Sha256Sum(const std::string& path) {
    std::string command = "sha256sum '" + path + "'";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    char digest[65] = {0};
    size_t got = fread(digest, 1, 64, pipe);
    pclose(pipe);
    return std::string(digest, got);
}

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// The processes whose parent is `parent`.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    std::ifstream list("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children");
    pid_t pid;
    while (list >> pid) children.push_back(pid);
    return children;
}

// Gone, or ended and waiting to be reaped by whoever took it over.
bool Ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = content.rfind(')');
    return content.empty() || close == std::string::npos || content.compare(close + 2, 1, "Z") == 0;
}

class Station : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"bootcode_mac.bin", "bootcode_mac2M.bin", "bootcode_mac2M_erase.bin"}) {
            folder_.Write(name, std::string(700, '\x4C'));
        }
        image_ = PatternImage(20 * 1024 + 300, 7);
        folder_.Write("fw.bin", image_);
        // The private image copy goes here, so that a killed station leaves nothing behind.
        ASSERT_EQ(mkdir(folder_.File("tmp").c_str(), 0700), 0);
        setenv("TMPDIR", folder_.File("tmp").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TMPDIR");
        for (auto& entry : sims_) {
            if (!entry.second.reaped) {
                kill(entry.second.pid, SIGTERM);
                FinishProcess(&entry.second, 5000);
            }
        }
        for (PtyPair& pair : ptys_) ClosePtyPair(&pair);
    }
    void StartSim(int port, std::vector<std::string> options = {}) {
        options.insert(options.begin(), {"--flash", "flash-" + std::to_string(port) + ".bin", "--timeout", "120"});
        ASSERT_TRUE(StartSimulator(VESKOR_SIM_PATH, folder_.path, port, options, &sims_[port])) << sims_[port].err;
    }
    // A line with no device behind it: brivane waits there for a board without end.
    std::string LinkToSilentLine(int port) {
        ptys_.emplace_back();
        EXPECT_TRUE(OpenPtyPair(&ptys_.back()));
        EXPECT_EQ(symlink(ptys_.back().slavePath.c_str(), folder_.File("COM" + std::to_string(port)).c_str()), 0);
        return ptys_.back().slavePath;
    }
    std::map<std::string, std::string> FinishSim(int port) {
        ProcessResult result = FinishProcess(&sims_[port], 20000);
        EXPECT_FALSE(result.timedOut) << result.err;
        return SimulatorSummary(result.err);
    }
    std::vector<std::string> StationArgs(std::vector<std::string> args) {
        args.insert(args.begin(), STATION_PATH);
        return args;
    }
    // Collects the station's output until `done` holds; false if it ended first or
    // a minute passed.
    bool CollectUntil(RunningProcess* station, const std::function<bool()>& done) {
        for (long long end = NowMs() + 60000; !done() && NowMs() < end;) {
            for (auto& entry : sims_) {
                if (!entry.second.reaped) StillRunningAfter(&entry.second, 0);
            }
            if (!StillRunningAfter(station, 20)) break;
        }
        return done();
    }
    std::vector<Record> Records(const std::string& name = "record.jsonl") {
        std::vector<Record> records;
        std::istringstream lines(folder_.Read(name));
        std::string line;
        while (std::getline(lines, line)) {
            Record record;
            EXPECT_TRUE(ParseRecord(line, &record)) << line;
            for (const char* key : kRecordKeys) EXPECT_EQ(record.count(key), 1u) << key << " missing: " << line;
            EXPECT_EQ(record.size(), std::size(kRecordKeys)) << line;
            records.push_back(record);
        }
        return records;
    }
    static const Record* ForPort(const std::vector<Record>& records, const std::string& port) {
        for (const Record& record : records) {
            if (record.at("port") == port) return &record;
        }
        return nullptr;
    }
    bool FlashHoldsImage(int port) {
        std::string flash = folder_.Read("flash-" + std::to_string(port) + ".bin");
        return flash.size() == 2 * 1024 * 1024 && flash.compare(0, image_.size(), image_) == 0;
    }
    void ExpectNoImageCopyLeft() {
        EXPECT_EQ(rmdir(folder_.File("tmp").c_str()), 0) << "the private image copy was left behind";
        mkdir(folder_.File("tmp").c_str(), 0700);
    }
    TemporaryFolder folder_;
    std::string image_;
    std::map<int, RunningProcess> sims_;
    std::vector<PtyPair> ptys_;
};

// Whether `text` has the shape of `pattern`, where '9' stands for any digit.
bool Shaped(const std::string& text, const std::string& pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (pattern[i] == '9' ? !digit : text[i] != pattern[i]) return false;
    }
    return true;
}

bool IsTimeStamp(const std::string& text) {
    return Shaped(text, "9999-99-99T99:99:99Z");
}

// Off a terminal: "<time> COMn <device>: <state>" lines.
std::vector<std::string> StatesOf(const std::string& out, const std::string& port) {
    std::vector<std::string> states;
    std::istringstream lines(out);
    std::string line;
    const std::string lead = " " + port + " ";
    while (std::getline(lines, line)) {
        size_t colon = line.find(": ", 20);
        if (IsTimeStamp(line.substr(0, 20)) && line.compare(20, lead.size(), lead) == 0 && colon != std::string::npos) {
            states.push_back(line.substr(colon + 2));
        }
    }
    return states;
}

TEST_F(Station, OnceOverSeveralPortsWithAFaultOnOne) {
    StartSim(1, {"--pace"});
    StartSim(2);
    StartSim(3, {"--verdict-fail"});
    RunningProcess station;
    ASSERT_TRUE(StartProcess(StationArgs({"--once", "--log", "record.jsonl", "fw.bin", "1", "2", "3"}),
                             folder_.path, &station));
    // Once the station is under way, the image given is replaced: what is flashed and
    // recorded is what it was at the start.
    ASSERT_TRUE(CollectUntil(&station, [&] { return station.out.find("COM1 ") != std::string::npos; }))
        << station.out << station.err;
    const std::string digest = Sha256Sum(folder_.File("fw.bin"));
    folder_.Write("fw.bin", "replaced");
    ProcessResult result = FinishProcess(&station, 120000);
    EXPECT_EQ(result.exitStatus, 1) << result.out << result.err;

    std::vector<Record> records = Records();
    ASSERT_EQ(records.size(), 3u) << result.out;
    const struct {
        const char* port;
        const char* result;
        const char* exitStatus;
        const char* message;
    } kExpected[] = {
        {"COM1", "ok", "0", "Successfully programmed '"},
        {"COM2", "ok", "0", "Successfully programmed '"},
        {"COM3", "device-refused", "1", "To do this, enter \"brivane erase\""},
    };
    for (const auto& expected : kExpected) {
        SCOPED_TRACE(expected.port);
        const Record* record = ForPort(records, expected.port);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->at("result"), expected.result);
        EXPECT_EQ(record->at("exit_status"), expected.exitStatus);
        EXPECT_EQ(record->at("message").rfind(expected.message, 0), 0u) << record->at("message");
        EXPECT_EQ(record->at("image_sha256"), digest);
        EXPECT_EQ(record->at("image_bytes"), std::to_string(image_.size()));
        EXPECT_EQ(record->at("image"), "fw.bin");
        EXPECT_EQ(record->at("baud"), "115200");
        EXPECT_EQ(record->at("device").rfind("/dev/pts/", 0), 0u);
        EXPECT_EQ(record->at("adapter"), "null");
        EXPECT_TRUE(IsTimeStamp(record->at("time"))) << record->at("time");
        const std::string& seconds = record->at("seconds");
        EXPECT_TRUE(seconds.size() >= 3 && Shaped(seconds.substr(seconds.size() - 3), "9.9")) << seconds;
    }
    // A paced 21 KiB image takes seconds; the record says so.
    EXPECT_GT(std::stod(ForPort(records, "COM1")->at("seconds")), 2.0);
    for (int port : {1, 2}) {
        EXPECT_EQ(FinishSim(port)["verdict"], "*");
        EXPECT_TRUE(FlashHoldsImage(port)) << "COM" << port;
    }
    EXPECT_EQ(FinishSim(3)["verdict"], "^");
    ExpectNoImageCopyLeft();

    // Off a terminal, one line per change of state: a per-cent step is none.
    std::vector<std::string> states = StatesOf(result.out, "COM1");
    ASSERT_GE(states.size(), 4u) << result.out;
    EXPECT_EQ(states.front(), "waiting for a board");
    EXPECT_EQ(states.back().rfind("OK after ", 0), 0u) << states.back();
    for (size_t i = 1; i < states.size(); ++i) EXPECT_NE(states[i], states[i - 1]) << result.out;
    EXPECT_EQ(std::count(states.begin(), states.end(), "programming"), 1) << result.out;
    EXPECT_NE(result.out.find("session over: 2 OK, 1 failed"), std::string::npos) << result.out;
}

TEST_F(Station, OutputClosedOrItsReaderGone) {
    // Started with its output closed, the station must not take the record for its
    // display; with a reader that goes away, the boards still finish and are recorded.
    const char* kShells[] = {
        "exec \"$0\" \"$@\" >&- 2>&-",
        "\"$0\" \"$@\" 2>&1 | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}",
    };
    size_t boards = 0;
    for (const char* shell : kShells) {
        SCOPED_TRACE(shell);
        StartSim(1, {"--pace"});
        ProcessResult result = RunProcess(
            {"/bin/bash", "-c", shell, STATION_PATH, "--once", "--log", "record.jsonl", "fw.bin", "1"}, folder_.path,
            60000);
        EXPECT_EQ(result.exitStatus, 0) << result.out << result.err;
        std::vector<Record> records = Records();
        ASSERT_EQ(records.size(), ++boards) << folder_.Read("record.jsonl");
        EXPECT_EQ(records.back()["result"], "ok");
        EXPECT_EQ(FinishSim(1)["verdict"], "*");
        EXPECT_TRUE(FlashHoldsImage(1));
    }
    ExpectNoImageCopyLeft();
}

TEST_F(Station, NoBoardAfterTheRecordFails) {
    // The record is full (a file size limit of 32 KiB that the station inherits,
    // exactly reached; the image copy is smaller): the first board's line cannot be
    // written, so no further board is started and the port still waiting for one is
    // stopped.
    const std::string full(32767, 'x');
    folder_.Write("record.jsonl", full + "\n");
    StartSim(1);
    LinkToSilentLine(2);
    ProcessResult result = RunProcess({"/bin/bash", "-c", "trap '' XFSZ; ulimit -f 32; exec \"$0\" \"$@\"",
                                       STATION_PATH, "--log", "record.jsonl", "fw.bin", "1", "2"},
                                      folder_.path, 60000);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitStatus, 3) << result.out << result.err;
    EXPECT_NE(result.out.find("cannot write to the log"), std::string::npos) << result.out;
    std::vector<std::string> states = StatesOf(result.out, "COM1");
    ASSERT_GE(states.size(), 2u) << result.out;
    EXPECT_EQ(states[states.size() - 2].rfind("OK after", 0), 0u) << result.out;
    EXPECT_EQ(states.back(), "stopped") << "started again: " << result.out;
    EXPECT_EQ(StatesOf(result.out, "COM2").back(), "stopped") << result.out;
    EXPECT_EQ(folder_.Read("record.jsonl"), full + "\n");
    EXPECT_EQ(FinishSim(1)["verdict"], "*");
    ExpectNoImageCopyLeft();
}

TEST_F(Station, PortsWithoutAdapterOrInUse) {
    // COM2 leads to an adapter that is not plugged in yet; COM4 is held by another run.
    ASSERT_EQ(symlink("/dev/ttyUSB-not-plugged-in", folder_.File("COM2").c_str()), 0);
    LinkToSilentLine(4);
    RunningProcess holder;
    ASSERT_TRUE(StartProcess({BRIVANE_PATH, "testcomm", "4"}, folder_.path, &holder));
    ASSERT_TRUE(CollectUntil(&holder, [&] { return holder.out.find("Hold in") != std::string::npos; }));

    RunningProcess station;
    ASSERT_TRUE(StartProcess(StationArgs({"--once", "--log", "record.jsonl", "fw.bin", "2", "4"}), folder_.path,
                             &station));
    ASSERT_TRUE(CollectUntil(&station, [&] { return StatesOf(station.out, "COM2").size() == 1; })) << station.out;
    EXPECT_EQ(StatesOf(station.out, "COM2")[0], "no adapter");
    ASSERT_TRUE(StillRunningAfter(&station, 1500));
    EXPECT_EQ(StatesOf(station.out, "COM2").size(), 1u) << "a state line per look: " << station.out;
    StartSim(2);  // the adapter appears: the simulator takes the link over
    ProcessResult result = FinishProcess(&station, 60000);
    EXPECT_EQ(result.exitStatus, 1) << result.out;
    kill(holder.pid, SIGTERM);
    FinishProcess(&holder, 5000);

    std::vector<Record> records = Records();
    ASSERT_EQ(records.size(), 2u);
    ASSERT_NE(ForPort(records, "COM2"), nullptr);
    EXPECT_EQ(ForPort(records, "COM2")->at("result"), "ok");
    EXPECT_TRUE(FlashHoldsImage(2));
    ASSERT_NE(ForPort(records, "COM4"), nullptr);
    EXPECT_EQ(ForPort(records, "COM4")->at("result"), "port-unavailable");
    EXPECT_EQ(ForPort(records, "COM4")->at("exit_status"), "4");
    EXPECT_EQ(ForPort(records, "COM4")->at("message"), "Could not open serial port COM4");
    std::vector<std::string> states = StatesOf(result.out, "COM2");
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states[1], "waiting for a board") << result.out;
}

TEST_F(Station, TwoStageStop) {
    for (int stops : {1, 2}) {
        SCOPED_TRACE(std::to_string(stops) + " stop(s)");
        unlink(folder_.File("record.jsonl").c_str());
        StartSim(1, {"--pace"});
        unlink(folder_.File("COM2").c_str());
        const std::string silent = LinkToSilentLine(2);
        RunningProcess station;
        ASSERT_TRUE(StartProcess(StationArgs({"--log", "record.jsonl", "fw.bin", "1", "2"}), folder_.path, &station));
        ASSERT_TRUE(CollectUntil(&station, [&] {
            std::vector<std::string> states = StatesOf(station.out, "COM1");
            return !states.empty() && states.back() == "programming" &&
                   StatesOf(station.out, "COM2") == std::vector<std::string>{"waiting for a board"};
        })) << station.out;
        const std::vector<pid_t> children = ChildrenOf(station.pid);
        ASSERT_EQ(children.size(), 2u);

        ASSERT_EQ(kill(station.pid, SIGINT), 0);
        // The run waiting for a board ends at once and takes its lock with it; the
        // board in progress goes on.
        ASSERT_TRUE(CollectUntil(&station, [&] { return StatesOf(station.out, "COM2").back() == "stopped"; }))
            << station.out;
        EXPECT_NE(station.out.find("1 board finishing"), std::string::npos) << station.out;
        EXPECT_NE(access(DeviceLockFile(silent).c_str(), F_OK), 0) << "lock left behind";
        if (stops == 2) {
            ASSERT_TRUE(StillRunningAfter(&station, 300));
            ASSERT_EQ(kill(station.pid, SIGTERM), 0);
        }
        ProcessResult result = FinishProcess(&station, 60000);
        for (pid_t child : children) EXPECT_TRUE(Ended(child));

        std::vector<Record> records = Records();
        ASSERT_EQ(records.size(), 1u) << "the run stopped at the prompt was no board: " << result.out;
        EXPECT_EQ(records[0]["port"], "COM1");
        if (stops == 1) {
            EXPECT_EQ(result.exitStatus, 0) << result.out;
            EXPECT_EQ(records[0]["result"], "ok");
            FinishSim(1);
            EXPECT_TRUE(FlashHoldsImage(1));
        } else {
            EXPECT_EQ(result.exitStatus, 1) << result.out;
            EXPECT_EQ(records[0]["result"], "stopped");
            EXPECT_EQ(records[0]["exit_status"], "null");
            EXPECT_EQ(records[0]["message"].rfind("Programming the FLASH...(", 0), 0u) << records[0]["message"];
            FinishSim(1);
        }
        EXPECT_EQ(StatesOf(result.out, "COM2").back(), "stopped") << result.out;
        ExpectNoImageCopyLeft();
    }
}

TEST_F(Station, KilledOutrightLeavesWholeLinesAndNoRunBehind) {
    StartSim(1);
    StartSim(2, {"--pace"});
    StartSim(3, {"--pace"});
    std::map<int, std::string> lines;
    for (int port : {1, 2, 3}) {
        char target[256] = {0};
        ASSERT_GT(readlink(folder_.File("COM" + std::to_string(port)).c_str(), target, sizeof target - 1), 0);
        lines[port] = target;
    }
    RunningProcess station;
    ASSERT_TRUE(StartProcess(StationArgs({"--log", "record.jsonl", "fw.bin", "1", "2", "3"}), folder_.path, &station));
    ASSERT_TRUE(CollectUntil(&station, [&] {
        return station.out.find("COM1 " + lines[1] + ": OK") != std::string::npos &&
               StatesOf(station.out, "COM2").back() == "programming" &&
               StatesOf(station.out, "COM3").back() == "programming";
    })) << station.out;
    std::vector<pid_t> children = ChildrenOf(station.pid);
    ASSERT_GE(children.size(), 2u);

    ASSERT_EQ(kill(station.pid, SIGKILL), 0);
    const long long killedAt = NowMs();
    FinishProcess(&station, 5000);
    bool allEnded = false;
    while (!allEnded && NowMs() - killedAt < 2000) {
        allEnded = true;
        for (pid_t child : children) allEnded = allEnded && Ended(child);
        usleep(20000);
    }
    EXPECT_TRUE(allEnded) << "a brivane run outlived its station by 2 s";
    for (int port : {2, 3}) {
        EXPECT_NE(access(DeviceLockFile(lines[port]).c_str(), F_OK), 0) << "COM" << port << " lock left";
    }
    const std::string content = folder_.Read("record.jsonl");
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '\n') << "a line cut short";
    std::vector<Record> records = Records();
    ASSERT_EQ(records.size(), 1u) << content;
    EXPECT_EQ(records[0]["port"], "COM1");
    EXPECT_EQ(records[0]["result"], "ok");
}

// Spawns the station with a pseudo-terminal of `columns` columns as its terminal and
// output, and returns everything it wrote there.
std::string RunOnTerminal(const std::vector<std::string>& args, const std::string& folder, int columns,
                          int* exitStatus) {
    PtyPair terminal;
    if (!OpenPtyPair(&terminal, false)) return "";
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = static_cast<unsigned short>(columns);
    ioctl(terminal.master, TIOCSWINSZ, &size);
    RunningProcess process;
    if (!StartProcess(args, folder, &process, terminal.slavePath, true)) return "";
    std::string screen;
    for (long long end = NowMs() + 60000; NowMs() < end;) {
        struct pollfd reader = {terminal.master, POLLIN, 0};
        if (poll(&reader, 1, 50) > 0) {
            char buffer[4096];
            ssize_t got = read(terminal.master, buffer, sizeof buffer);
            if (got > 0) {
                screen.append(buffer, static_cast<size_t>(got));
                continue;
            }
        }
        if (!StillRunningAfter(&process, 0)) break;
    }
    ProcessResult result = FinishProcess(&process, 5000);
    ClosePtyPair(&terminal);
    *exitStatus = result.exitStatus;
    return screen;
}

// The lines a terminal shows after `output`: carriage return, line feed, cursor up,
// clear line and clear below are what the station may use; any other escape fails
// the test.
std::vector<std::string> Screen(const std::string& output, std::vector<int>* cursorUps) {
    std::vector<std::string> lines(1);
    size_t row = 0, column = 0;
    for (size_t i = 0; i < output.size(); ++i) {
        char c = output[i];
        if (c == '\x1b') {
            size_t end = output.find_first_of("AKJ", i);
            std::string sequence = output.substr(i, end - i + 1);
            if (end != std::string::npos && output[end] == 'A') {
                int up = std::stoi(sequence.substr(2));
                cursorUps->push_back(up);
                row = row >= static_cast<size_t>(up) ? row - up : 0;
            } else if (sequence == "\x1b[J") {
                lines[row].resize(std::min(lines[row].size(), column));
                lines.resize(row + 1);
            } else {
                EXPECT_EQ(sequence, "\x1b[2K");
                lines[row].clear();
            }
            i = end;
        } else if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            if (++row == lines.size()) lines.emplace_back();
            column = 0;
        } else {
            if (lines[row].size() <= column) lines[row].resize(column + 1, ' ');
            lines[row][column++] = c;
        }
    }
    if (lines.back().empty()) lines.pop_back();
    return lines;
}

TEST_F(Station, DisplayOnATerminalRedrawsInPlace) {
    StartSim(1, {"--pace"});
    StartSim(3, {"--pace", "--verdict-fail"});
    int exitStatus = 0;
    const std::string output = RunOnTerminal({STATION_PATH, "--once", "fw.bin", "1", "3"}, folder_.path, 70, &exitStatus);
    EXPECT_EQ(exitStatus, 1);
    std::vector<int> cursorUps;
    std::vector<std::string> screen = Screen(output, &cursorUps);
    // The header, one line per port and the totals: nothing scrolled.
    ASSERT_EQ(screen.size(), 4u) << output;
    EXPECT_EQ(screen[0].rfind("brivane-station", 0), 0u);
    EXPECT_EQ(screen[1].rfind("COM1", 0), 0u);
    EXPECT_NE(screen[1].find(" OK"), std::string::npos) << screen[1];
    EXPECT_EQ(screen[2].rfind("COM3", 0), 0u);
    EXPECT_NE(screen[2].find("FAILED: device refused"), std::string::npos) << screen[2];
    EXPECT_EQ(screen[3].rfind("OK 1   failed 1", 0), 0u) << screen[3];
    for (const std::string& line : screen) EXPECT_LE(line.size(), 69u) << line;
    // Redrawn in place, over the three lines of the frame, several times a paced run
    // (which takes seconds), and at most four times a second.
    ASSERT_GE(cursorUps.size(), 8u);
    for (int up : cursorUps) EXPECT_EQ(up, 3);
    EXPECT_EQ(FinishSim(1)["verdict"], "*");
    EXPECT_EQ(FinishSim(3)["verdict"], "^");
    EXPECT_TRUE(FlashHoldsImage(1));
}

TEST_F(Station, RefusedBeforeAnyBoardStarts) {
    // Nothing may open the port when the station refuses to start.
    const std::string line = LinkToSilentLine(1);
    int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(opens, line.c_str(), IN_OPEN), 0);
    ASSERT_EQ(symlink("elsewhere.jsonl", folder_.File("link.jsonl").c_str()), 0);

    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } kCases[] = {
        {{}, 2, "Usage: brivane-station"},
        {{"fw.bin", "1", "1"}, 2, "given twice"},
        {{"--log", "r.jsonl", "missing.bin", "1"}, 3, "missing.bin"},
        {{"COM1", "1"}, 3, "not a regular file"},  // the port typed as the image
        {{"--log", "link.jsonl", "fw.bin", "1"}, 3, "symbolic link"},
        {{"--log", "no-such-folder/r.jsonl", "fw.bin", "1"}, 3, "no-such-folder/r.jsonl"},
    };
    for (const auto& item : kCases) {
        SCOPED_TRACE(testing::PrintToString(item.args));
        ProcessResult result = RunProcess(StationArgs(item.args), folder_.path, 10000);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(result.exitStatus, item.status);
        EXPECT_NE(result.err.find(item.says), std::string::npos) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
    }
    char events[4096];
    EXPECT_EQ(read(opens, events, sizeof events), -1) << "the port was opened";
    close(opens);
    EXPECT_NE(access(folder_.File("elsewhere.jsonl").c_str(), F_OK), 0) << "a log made through a link";
    EXPECT_NE(access(folder_.File("r.jsonl").c_str(), F_OK), 0) << "a log made for a refused image";
    ExpectNoImageCopyLeft();

    ProcessResult help = RunProcess(StationArgs({"--help"}), folder_.path, 10000);
    EXPECT_EQ(help.exitStatus, 0);
    EXPECT_EQ(help.out.rfind("Usage: brivane-station", 0), 0u);
}

}  // namespace
