// SPDX-License-Identifier: MIT
// Signals that end a run: a hang-up, quit or interrupt during the closing key wait puts
// the terminal back before the process ends, unless it was ignored from the start; Ctrl+C anywhere before that wait ends the
// run at once, by the signal itself.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "expected_output.h"
#include "process.h"
#include "pty_pair.h"

namespace {


class Signals : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(OpenPtyPair(&terminal_, false)); }
    void TearDown() override { ClosePtyPair(&terminal_); }
    struct termios Modes() {
        struct termios modes {};
        EXPECT_EQ(tcgetattr(terminal_.master, &modes), 0);
        return modes;
    }
    bool SameModes(const struct termios& a, const struct termios& b) {
        return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
               a.c_lflag == b.c_lflag;
    }
    // Collects output until `text` appears; false when the process ended first.
    bool WaitForOutput(RunningProcess* process, const std::string& text) {
        for (int i = 0; i < 500 && process->out.find(text) == std::string::npos; ++i) {
            if (!StillRunningAfter(process, 10)) return false;
        }
        return process->out.find(text) != std::string::npos;
    }
    // No arguments: the usage text, then the key wait on the terminal.
    void ExpectInKeyWait(RunningProcess* process) {
        ASSERT_TRUE(WaitForOutput(process, kPrompt)) << process->out;
        ASSERT_TRUE(StillRunningAfter(process, 200));
        ASSERT_EQ(Modes().c_lflag & (ICANON | ECHO | ISIG), 0u) << "not in the key wait";
    }
    void ExpectEndedBy(RunningProcess* process, int signalNumber) {
        ProcessResult result = FinishProcess(process, 5000);
        ASSERT_FALSE(result.timedOut) << result.out;
        ASSERT_TRUE(WIFSIGNALED(process->waitStatus)) << "exit status " << result.exitStatus;
        EXPECT_EQ(WTERMSIG(process->waitStatus), signalNumber);
    }
    TemporaryFolder folder_;
    PtyPair terminal_;
};

TEST_F(Signals, EndingSignalDuringTheKeyWaitRestoresTheTerminal) {
    // SIGINT comes from outside here: on the terminal Ctrl+C is a key during the wait.
    for (int signalNumber : {SIGHUP, SIGQUIT, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        struct termios before = Modes();
        ASSERT_NE(before.c_lflag & ICANON, 0u);
        RunningProcess process;
        ASSERT_TRUE(StartProcess({BRIVANE_PATH}, folder_.path, &process, terminal_.slavePath));
        ASSERT_NO_FATAL_FAILURE(ExpectInKeyWait(&process));
        ASSERT_EQ(kill(process.pid, signalNumber), 0);
        ExpectEndedBy(&process, signalNumber);
        EXPECT_TRUE(SameModes(Modes(), before));
    }
}

TEST_F(Signals, SignalIgnoredFromTheStartStaysIgnored) {
    // As under nohup: the hang-up is ignored, and a key still ends the wait.
    struct sigaction ignore {}, previous;
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &previous), 0);
    RunningProcess process;
    bool started = StartProcess({BRIVANE_PATH}, folder_.path, &process, terminal_.slavePath);
    sigaction(SIGHUP, &previous, nullptr);
    ASSERT_TRUE(started);
    ASSERT_NO_FATAL_FAILURE(ExpectInKeyWait(&process));
    ASSERT_EQ(kill(process.pid, SIGHUP), 0);
    EXPECT_TRUE(StillRunningAfter(&process, 200)) << "ended by an ignored SIGHUP";
    ASSERT_EQ(write(terminal_.master, "k", 1), 1);
    EXPECT_EQ(FinishProcess(&process, 5000).exitStatus, 2);
}

TEST_F(Signals, CtrlCWhileWaitingForTheDeviceEndsTheRunAtOnce) {
    PtyPair line;  // the serial line, with no device behind it
    ASSERT_TRUE(OpenPtyPair(&line));
    ASSERT_EQ(symlink(line.slavePath.c_str(), folder_.File("COM2").c_str()), 0);
    folder_.Write("bootcode_mac.bin", std::string(600, '\x5A'));
    struct termios before = Modes();
    ASSERT_NE(before.c_lflag & ISIG, 0u);

    RunningProcess process;
    ASSERT_TRUE(StartProcess({BRIVANE_PATH, "testcomm", "2"}, folder_.path, &process, terminal_.slavePath));
    // The button prompt reaches the pipe at once, not at the end of the run.
    ASSERT_TRUE(WaitForOutput(&process, "while powering up the Veskor...")) << process.out;
    ASSERT_TRUE(StillRunningAfter(&process, 200));  // waiting for the device, without end
    ASSERT_EQ(write(terminal_.master, "\x03", 1), 1);
    ExpectEndedBy(&process, SIGINT);
    EXPECT_EQ(process.out.find(kPrompt), std::string::npos) << "no key wait after Ctrl+C";
    EXPECT_TRUE(SameModes(Modes(), before)) << "the terminal was changed";
    EXPECT_NE(access(DeviceLockFile(line.slavePath).c_str(), F_OK), 0) << "lock left behind";
    ClosePtyPair(&line);
}

}  // namespace
