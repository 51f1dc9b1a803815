// SPDX-License-Identifier: MIT
// Whole runs of the real brivane against the real veskor-sim on a pseudo-terminal:
// exact console bytes, exit status, what the device saw and what its flash holds.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <map>
#include <string>

#include "expected_output.h"
#include "process.h"
#include "pty_pair.h"
#include "serial_posix_speed.h"
#include "simulator.h"

namespace {

const int kFlashSize = 2 * 1024 * 1024;

class Flashing : public ::testing::Test {
  protected:
    void SetUp() override {
        // Placeholder loaders: any bytes will do for the simulated boot ROM.
        for (const char* name : {"bootcode_mac.bin", "bootcode_mac2M.bin", "bootcode_mac2M_erase.bin"}) {
            folder_.Write(name, std::string(700, '\x4C'));
        }
    }
    void StartSimulator(std::vector<std::string> options, int port = 1) {
        options.insert(options.begin(), {"--flash", "flash.bin", "--timeout", "120"});
        ASSERT_TRUE(::StartSimulator(VESKOR_SIM_PATH, folder_.path, port, options, &simulator_))
            << simulator_.err;
    }
    ProcessResult Brivane(std::vector<std::string> args, int timeoutMs = 60000) {
        args.insert(args.begin(), BRIVANE_PATH);
        return RunProcess(args, folder_.path, timeoutMs);
    }
    // Collects what the simulator and `run` print until `done` holds; false when
    // one of them ended first, or after a minute.
    bool CollectUntil(RunningProcess* run, const std::function<bool()>& done) {
        for (int i = 0; i < 3000 && !done(); ++i) {
            if (!StillRunningAfter(&simulator_, 10) || !StillRunningAfter(run, 10)) break;
        }
        return done();
    }
    // The device's notice that it has begun to erase `length` bytes.
    bool CollectUntilEraseBegins(RunningProcess* run, int length) {
        const std::string notice = "veskor-sim: erasing " + std::to_string(length) + " bytes\n";
        return CollectUntil(run, [&] { return simulator_.err.find(notice) != std::string::npos; });
    }
    std::map<std::string, std::string> FinishSimulator() {
        ProcessResult sim = FinishProcess(&simulator_, 20000);
        EXPECT_FALSE(sim.timedOut) << sim.err;
        simulatorErr_ = sim.err;
        return SimulatorSummary(sim.err);
    }
    // The flash must hold the image, then the zero fill of its last block, and
    // `beyond` after that (erased bytes, or what was there before).
    void ExpectFlashHolds(const std::string& image, char beyond = '\xFF') {
        std::string flash = folder_.Read("flash.bin");
        ASSERT_EQ(flash.size(), static_cast<size_t>(kFlashSize));
        size_t rounded = (image.size() + 1023) / 1024 * 1024;
        EXPECT_TRUE(flash.compare(0, image.size(), image) == 0) << "image not in flash";
        EXPECT_EQ(flash.substr(image.size(), rounded - image.size()),
                  std::string(rounded - image.size(), '\0'));
        EXPECT_EQ(flash.find_first_not_of(beyond, rounded), std::string::npos);
    }
    TemporaryFolder folder_;
    RunningProcess simulator_;
    std::string simulatorErr_;
};

TEST_F(Flashing, TestModeAtEveryRate) {
    const char* rates[] = {"9600", "19200", "28800", "38400", "57600", "115200"};
    for (int code = 0; code < 6; ++code) {
        SCOPED_TRACE(rates[code]);
        StartSimulator({});
        ProcessResult run = Brivane({"testcomm", "1", rates[code]});
        if (code == 2 && !AnyRateCanBeSet()) {
            // The device has the speed command when the port refuses the rate.
            EXPECT_EQ(run.exitStatus, 4);
            EXPECT_NE(run.out.find("Could not initialize serial port COM1\n" + kPrompt), std::string::npos)
                << run.out;
            EXPECT_EQ(FinishSimulator()["speed_code"], "2") << simulatorErr_;
            continue;
        }
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.out, kBanner + Announcement(1) + StageOneOutput() + kCommunicating + kPrompt);
        auto device = FinishSimulator();
        EXPECT_EQ(device["boot"], "ok") << simulatorErr_;
        EXPECT_EQ(device["speed_code"], std::string(1, static_cast<char>('0' + code)));
        EXPECT_EQ(device["line_baud"], rates[code]);
        EXPECT_EQ(device["line_format"], "8N1");
        EXPECT_EQ(device["syncs"], "0");  // nothing follows the speed command
    }
}

TEST_F(Flashing, EraseModeErasesTheWholePartAndEndsWithoutPrompt) {
    folder_.Write("before.bin", std::string(kFlashSize, '\x00'));
    StartSimulator({"--initial", "before.bin"}, 4);
    ProcessResult run = Brivane({"erase", "4", "57600"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, kBanner + StageOneOutput() + ErasingOutput() + kErased);
    auto device = FinishSimulator();
    EXPECT_EQ(device["erase_bytes"], "00,00,20,00") << simulatorErr_;
    EXPECT_EQ(device["blocks"], "0");
    EXPECT_EQ(folder_.Read("flash.bin"), std::string(kFlashSize, '\xFF'));
}

TEST_F(Flashing, TypicalRunOfThreeHundredKilobytes) {
    std::string image = PatternImage(307200, 1);
    folder_.Write("sample.bin", image);
    StartSimulator({}, 2);
    ProcessResult run = Brivane({"sample.bin", "2", "115200"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, kBanner + Announcement(1) + StageOneOutput() + ProgrammingOutput(307200) +
                           ProgrammedLine("sample.bin") + kPrompt);
    auto device = FinishSimulator();
    EXPECT_EQ(device["erase_bytes"], "00,b0,04,00") << simulatorErr_;
    EXPECT_EQ(device["blocks"], "300");
    EXPECT_EQ(device["refusals"], "0");
    EXPECT_EQ(device["verdict"], "*");
    EXPECT_EQ(device["end"], "closed");
    ExpectFlashHolds(image);
}

TEST_F(Flashing, EmptyPartialAndClassTwoImages) {
    struct Case {
        size_t size;
        int megabytes;  // of the loader announced
    } cases[] = {{0, 1}, {1500, 1}, {1039361, 2}};
    folder_.Write("old.bin", std::string(kFlashSize, '\x11'));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        std::string image = PatternImage(c.size, 7);
        folder_.Write("fw.bin", image);
        StartSimulator({"--initial", "old.bin"});
        ProcessResult run = Brivane({"fw.bin"});
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.out, kBanner + Announcement(c.megabytes) + StageOneOutput() +
                               ProgrammingOutput((c.size + 1023) / 1024 * 1024) + ProgrammedLine("fw.bin") +
                               kPrompt);
        auto device = FinishSimulator();
        EXPECT_EQ(device["erase_length"], std::to_string((c.size + 1023) / 1024 * 1024))
            << simulatorErr_;
        ExpectFlashHolds(image, '\x11');  // beyond the erased part the old content stays
    }
}

TEST_F(Flashing, NoiseBeforeTheBootRomCostsOnePass) {
    StartSimulator({"--noise", "1"});
    ProcessResult run = Brivane({"testcomm"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, kBanner + Announcement(1) + StageOneOutput(WaitProgress(4)) +
                           kCommunicating + kPrompt);
    FinishSimulator();
}

TEST_F(Flashing, RefusedAndCorruptedBlocksAreSentAgain) {
    std::string image = PatternImage(5000, 3);
    folder_.Write("fw.bin", image);
    StartSimulator({"--refuse-block", "2", "--flip-bit-block", "4", "--garbage-before-verdict", "3"});
    ProcessResult run = Brivane({"fw.bin"});
    EXPECT_EQ(run.exitStatus, 0);
    // The counter moves once per block, however often a block goes out.
    EXPECT_EQ(run.out, kBanner + Announcement(1) + StageOneOutput() + ProgrammingOutput(5120) +
                           ProgrammedLine("fw.bin") + kPrompt);
    auto device = FinishSimulator();
    EXPECT_EQ(device["blocks"], "5") << simulatorErr_;
    EXPECT_EQ(device["refusals"], "2");
    EXPECT_EQ(device["bad_checksums"], "1");
    EXPECT_EQ(device["verdict"], "*");
    ExpectFlashHolds(image);
}

TEST_F(Flashing, SilentDeviceGetsSixteenFillersThenTheFailureLines) {
    std::string image = PatternImage(3000, 4);
    folder_.Write("fw.bin", image);
    StartSimulator({"--silent-after-block", "2"});
    ProcessResult run = Brivane({"fw.bin"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, kBanner + Announcement(1) + StageOneOutput() + ProgrammingOutputUntil({33}) +
                           FailureLines("fw.bin") + kPrompt);
    auto device = FinishSimulator();
    EXPECT_EQ(device["blocks"], "1") << simulatorErr_;
    EXPECT_EQ(device["verdict"], "none");
}

TEST_F(Flashing, DeviceVerdictOfFailureIsReported) {
    std::string image = PatternImage(2048, 5);
    folder_.Write("fw.bin", image);
    StartSimulator({"--verdict-fail"});
    ProcessResult run = Brivane({"fw.bin"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.out, kBanner + Announcement(1) + StageOneOutput() + ProgrammingOutput(2048) +
                           FailureLines("fw.bin") + kPrompt);
    EXPECT_EQ(FinishSimulator()["verdict"], "^");
}

TEST_F(Flashing, LineDroppedMidTransferIsNeverSuccess) {
    std::string image = PatternImage(10240, 6);
    folder_.Write("fw.bin", image);
    StartSimulator({"--hangup-after-block", "3"});
    ProcessResult run = Brivane({"fw.bin"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.out.find(FailureLines("fw.bin") + kPrompt), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Successfully"), std::string::npos);
    EXPECT_NE(run.out.find("Error detected in file src/serial/serial_posix.cpp"), std::string::npos);
    EXPECT_EQ(FinishSimulator()["end"], "hangup");
}

TEST_F(Flashing, SlowEraseShowsItsProgress) {
    std::string image = PatternImage(1024, 8);
    folder_.Write("fw.bin", image);
    StartSimulator({"--erase-seconds", "2.5"});
    RunningProcess brivane;
    ASSERT_TRUE(StartProcess({BRIVANE_PATH, "fw.bin"}, folder_.path, &brivane));
    // Stopped, the device neither answers nor ends its erase: it is held there until
    // two steps are out, however slow the machine. (Its wait then resumes with the
    // time it had left, which makes the run about two seconds longer.)
    const std::string progress = ErasingOutput() + WaitProgress(4) + WaitProgress(8);
    const bool held = CollectUntilEraseBegins(&brivane, 1024) && kill(simulator_.pid, SIGSTOP) == 0;
    if (held) {
        CollectUntil(&brivane, [&] { return brivane.out.find(progress) != std::string::npos; });
        kill(simulator_.pid, SIGCONT);
    }
    ProcessResult run = FinishProcess(&brivane, 60000);
    FinishSimulator();
    ASSERT_TRUE(held) << simulatorErr_ << run.out;
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.out.find(progress), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(ProgrammedLine("fw.bin")), std::string::npos);
    ExpectFlashHolds(image);
}

TEST_F(Flashing, ImageThatShrinksDuringTheTransferFails) {
    std::string image = PatternImage(8192, 9);
    folder_.Write("fw.bin", image);
    // Seconds for the test to shrink the image once the erase has begun.
    StartSimulator({"--erase-seconds", "3"});
    RunningProcess brivane;
    ASSERT_TRUE(StartProcess({BRIVANE_PATH, "fw.bin"}, folder_.path, &brivane));
    // The erase has begun: the image was measured, and no block is read before it ends.
    const bool erasing = CollectUntilEraseBegins(&brivane, 8192);
    if (erasing) {
        EXPECT_EQ(truncate(folder_.File("fw.bin").c_str(), 2000), 0);
    }
    ProcessResult run = FinishProcess(&brivane, 60000);
    auto device = FinishSimulator();
    ASSERT_TRUE(erasing) << simulatorErr_ << run.out;
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.out.find(FailureLines("fw.bin") + kPrompt), std::string::npos) << run.out;
    EXPECT_EQ(device["blocks"], "1") << simulatorErr_;
}

TEST_F(Flashing, ClosedOutputNeverEndsAFlash) {
    // As `brivane fw.bin | head -c 300`: the output's reader goes away in the erase.
    std::string image = PatternImage(20000, 11);
    folder_.Write("fw.bin", image);
    StartSimulator({"--erase-seconds", "1.5"});
    char device[PATH_MAX];
    ASSERT_NE(realpath(folder_.File("COM1").c_str(), device), nullptr);
    RunningProcess brivane;
    ASSERT_TRUE(StartProcess({BRIVANE_PATH, "fw.bin"}, folder_.path, &brivane));
    const bool erasing = CollectUntilEraseBegins(&brivane, 20480);
    close(brivane.outPipe);
    brivane.outPipe = -1;
    ProcessResult run = FinishProcess(&brivane, 60000);
    long lockOwner = 0;
    std::ifstream(DeviceLockFile(device)) >> lockOwner;
    auto summary = FinishSimulator();
    ASSERT_TRUE(erasing) << simulatorErr_;
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(summary["verdict"], "*") << simulatorErr_;
    ExpectFlashHolds(image);
    EXPECT_NE(lockOwner, brivane.pid) << DeviceLockFile(device) << " left behind";
}

TEST_F(Flashing, ClosedStandardStreamsNeverReachTheDevice) {
    // As started by a careless service manager: a closed standard descriptor would be
    // the next one opened, the port's, and the messages would go down the line.
    std::string image = PatternImage(5000, 12);
    folder_.Write("fw.bin", image);
    for (const char* closing : {"<&- >&-", "<&- >&- 2>&-"}) {
        SCOPED_TRACE(closing);
        StartSimulator({});
        const std::string script = std::string("exec \"$0\" \"$@\" ") + closing;
        ProcessResult run =
            RunProcess({"/bin/sh", "-c", script, BRIVANE_PATH, "fw.bin"}, folder_.path, 30000);
        auto device = FinishSimulator();
        EXPECT_EQ(run.exitStatus, 0) << simulatorErr_;
        EXPECT_EQ(device["refusals"], "0") << simulatorErr_;  // a damaged block included
        ExpectFlashHolds(image);
    }
}

TEST_F(Flashing, LostLineEndsEveryWaitWithoutEnd) {
    folder_.Write("fw.bin", PatternImage(3000, 10));
    for (const char* moment : {"power-up", "sync", "erase"}) {
        SCOPED_TRACE(moment);
        StartSimulator({"--hangup-at", moment});
        ProcessResult run = Brivane({"fw.bin"}, 10000);  // a run that hangs fails here
        EXPECT_EQ(run.exitStatus, 4);
        const std::string end = LostPort(1) + kPrompt;
        EXPECT_EQ(run.out.substr(run.out.size() - std::min(run.out.size(), end.size())), end)
            << run.out;
        size_t reports = 0;
        for (size_t at = 0; (at = run.out.find("Error detected", at)) != std::string::npos; ++at) {
            ++reports;
        }
        EXPECT_GE(reports, 1u);
        EXPECT_LE(reports, 3u) << run.out;
        EXPECT_EQ(FinishSimulator()["end"], "hangup") << simulatorErr_;
    }
}

TEST_F(Flashing, SecondUpdaterNeverOpensABusyPort) {
    // Root opens a terminal despite TIOCEXCL, raising DTR and RTS on the first run's
    // line; only the lock file, taken before opening, keeps a second run off it.
    if (access("/run/lock", W_OK) != 0) {
        GTEST_SKIP() << "no lock folder is writable here";
    }
    PtyPair line;
    ASSERT_TRUE(OpenPtyPair(&line));
    ASSERT_EQ(symlink(line.slavePath.c_str(), folder_.File("COM7").c_str()), 0);
    RunningProcess first;
    ASSERT_TRUE(StartProcess({BRIVANE_PATH, "testcomm", "7"}, folder_.path, &first));
    const std::string buttonPrompt = "while powering up the Veskor...";
    for (int i = 0; i < 500 && first.out.find(buttonPrompt) == std::string::npos; ++i) {
        ASSERT_TRUE(StillRunningAfter(&first, 10)) << first.out;
    }
    ASSERT_NE(first.out.find(buttonPrompt), std::string::npos) << "the prompt is held back";

    auto lockOwner = [&line] {
        long pid = 0;
        std::ifstream(DeviceLockFile(line.slavePath)) >> pid;
        return pid;
    };
    EXPECT_EQ(lockOwner(), first.pid);

    int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(opens, 0);
    ASSERT_GE(inotify_add_watch(opens, line.slavePath.c_str(), IN_OPEN), 0);
    ProcessResult second = Brivane({"testcomm", "7"});
    EXPECT_EQ(second.exitStatus, 4);
    EXPECT_EQ(second.out, kBanner + Announcement(1) + CouldNotOpenPort(7) + kPrompt);
    char events[4096];
    EXPECT_EQ(read(opens, events, sizeof events), -1) << "the second run opened the device";
    close(opens);

    // The first run's line hangs up, as when an adapter is pulled out: it ends, and
    // its lock goes with it.
    ClosePtyPair(&line);
    ProcessResult ended = FinishProcess(&first, 5000);
    EXPECT_EQ(ended.exitStatus, 4);
    EXPECT_NE(ended.out.find(LostPort(7) + kPrompt), std::string::npos) << ended.out;
    // Another test may have the freed terminal's number, and its lock, by now.
    EXPECT_NE(lockOwner(), first.pid) << DeviceLockFile(line.slavePath) << " left behind";
}

}  // namespace
