// SPDX-License-Identifier: MIT
// The built program, run in a temporary working directory with no device: every end
// that comes before the serial line, byte for byte, with its exit status.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "expected_output.h"
#include "process.h"
#include "pty_pair.h"

namespace {

const std::string kLoader(600, '\x5A');

class Brivane : public ::testing::Test {
  protected:
    ProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), BRIVANE_PATH);
        return RunProcess(args, folder_.path, 20000);
    }
    void ExpectEnd(std::vector<std::string> args, const std::string& out, int status) {
        ProcessResult result = Run(args);
        EXPECT_EQ(result.out, kBanner + out) << "args: " << testing::PrintToString(args);
        EXPECT_EQ(result.exitStatus, status) << "args: " << testing::PrintToString(args);
    }
    TemporaryFolder folder_;
};

TEST_F(Brivane, CommandLineRefusals) {
    ExpectEnd({}, kUsage + kPrompt, 2);
    ExpectEnd({"a", "1", "9600", "extra"}, kUsage + kPrompt, 2);
    for (const char* port : {"0", "9", "com1", "-1", ""}) {
        ExpectEnd({"image.bin", port}, kInvalidPort + kPrompt, 2);
    }
    ExpectEnd({"image.bin", "0", "14400"}, kInvalidPort + kPrompt, 2);
    ExpectEnd({"image.bin", "2", "14400"}, kInvalidBaud + kPrompt, 2);
    ExpectEnd({"testcomm", "2", "230400"}, kInvalidBaud + kPrompt, 2);
}

TEST_F(Brivane, ImagesThatCannotBeUsed) {
    ExpectEnd({"missing.bin"}, CouldNotOpenFile("missing.bin") + kPrompt, 3);
    ASSERT_EQ(mkdir(folder_.File("folder").c_str(), 0700), 0);
    ExpectEnd({"folder"}, CouldNotOpenFile("folder") + kPrompt, 3);
    ASSERT_EQ(mkfifo(folder_.File("pipe").c_str(), 0600), 0);
    ExpectEnd({"pipe"}, CouldNotOpenFile("pipe") + kPrompt, 3);

    // A port typed where the image goes is never opened: that would raise DTR and RTS
    // on a line that another run may be using.
    PtyPair line;
    ASSERT_TRUE(OpenPtyPair(&line));
    ASSERT_EQ(symlink(line.slavePath.c_str(), folder_.File("COM7").c_str()), 0);
    int opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(opens, line.slavePath.c_str(), IN_OPEN), 0);
    ExpectEnd({"COM7"}, CouldNotOpenFile("COM7") + kPrompt, 3);
    ExpectEnd({line.slavePath}, CouldNotOpenFile(line.slavePath) + kPrompt, 3);
    char events[4096];
    EXPECT_EQ(read(opens, events, sizeof events), -1) << "the device was opened";
    close(opens);

    // Too large ends at once, without the prompt; checked before any loader is read.
    folder_.Write("big.bin", "");
    ASSERT_EQ(truncate(folder_.File("big.bin").c_str(), 2087937), 0);
    ExpectEnd({"big.bin"}, "\n\n" + kTooLarge, 3);
    ASSERT_EQ(truncate(folder_.File("big.bin").c_str(), 2097152), 0);
    ExpectEnd({"big.bin", "2", "9600"}, "\n\n" + kTooLarge, 3);
    ASSERT_EQ(truncate(folder_.File("big.bin").c_str(), (1LL << 32) + 1024), 0);
    ExpectEnd({"big.bin"}, "\n\n" + kTooLarge, 3);
}

TEST_F(Brivane, LoaderFilesThatCannotBeUsed) {
    folder_.Write("small.bin", std::string(1039360, 'a'));
    folder_.Write("large.bin", std::string(1039361, 'b'));
    ExpectEnd({"small.bin"}, Announcement(1) + CouldNotOpenFile("bootcode_mac.bin") + kPrompt, 3);
    ExpectEnd({"large.bin"}, Announcement(2) + CouldNotOpenFile("bootcode_mac2M.bin") + kPrompt, 3);
    ExpectEnd({"testcomm"}, Announcement(1) + CouldNotOpenFile("bootcode_mac.bin") + kPrompt, 3);
    ExpectEnd({"erase"}, CouldNotOpenFile("bootcode_mac2M_erase.bin") + kPrompt, 3);

    folder_.Write("bootcode_mac2M.bin", std::string(2049, '\x01'));
    ExpectEnd({"large.bin"},
              Announcement(2) + "The file bootcode_mac2M.bin is not a valid Bootrom file.\n" + kPrompt, 3);
}

TEST_F(Brivane, PortsThatCannotBeUsed) {
    folder_.Write("bootcode_mac.bin", kLoader);
    folder_.Write("bootcode_mac2M_erase.bin", kLoader);
    folder_.Write("image.bin", "x");
    ASSERT_EQ(symlink("/nonexistent/ttyUSB9", folder_.File("COM5").c_str()), 0);
    ExpectEnd({"image.bin", "5"}, Announcement(1) + CouldNotOpenPort(5) + kPrompt, 4);
    ExpectEnd({"erase", "5"}, CouldNotOpenPort(5) + kPrompt, 4);

    // Something that is not a serial line: the module says why, then the run does.
    folder_.Write("notaport", "");
    ASSERT_EQ(symlink("notaport", folder_.File("COM6").c_str()), 0);
    ProcessResult result = Run({"testcomm", "6"});
    EXPECT_EQ(result.exitStatus, 4);
    EXPECT_NE(result.out.find("       Error detected in file src/serial/serial_posix.cpp, line "),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(CouldNotOpenPort(6) + kPrompt), std::string::npos);
}

// The closing key wait reads the terminal itself, in raw mode, and puts it back.
class KeyWait : public Brivane {
  protected:
    void SetUp() override { ASSERT_TRUE(OpenPtyPair(&terminal_, false)); }
    void TearDown() override { ClosePtyPair(&terminal_); }
    void StartOnTerminal() {
        ASSERT_TRUE(StartProcess({BRIVANE_PATH}, folder_.path, &process_, terminal_.slavePath));
        // The prompt is out once the terminal has been switched for the wait.
        for (int i = 0; i < 200 && process_.out.find(kPrompt) == std::string::npos; ++i) {
            StillRunningAfter(&process_, 10);
        }
        ASSERT_NE(process_.out.find(kPrompt), std::string::npos);
        ASSERT_TRUE(StillRunningAfter(&process_, 200));  // waiting, not gone
    }
    tcflag_t LocalModes() {
        struct termios modes;
        return tcgetattr(terminal_.master, &modes) == 0 ? modes.c_lflag : 0;
    }
    PtyPair terminal_;
    RunningProcess process_;
};

TEST_F(KeyWait, OneKeyEndsTheWaitAndTheTerminalIsRestored) {
    tcflag_t before = LocalModes();
    ASSERT_NE(before & ICANON, 0u);
    StartOnTerminal();
    EXPECT_EQ(LocalModes() & (ICANON | ECHO | ISIG), 0u);
    ASSERT_EQ(write(terminal_.master, "\x03", 1), 1);  // Ctrl+C is an ordinary key here
    ProcessResult result = FinishProcess(&process_, 5000);
    EXPECT_EQ(result.exitStatus, 2);
    EXPECT_EQ(LocalModes(), before);
}

TEST_F(KeyWait, KeyIsConsumedWhole) {
    // A cursor key, é and € from a UTF-8 terminal, Alt+é.
    for (const std::string key : {"\x1b[A", "\xc3\xa9", "\xe2\x82\xac", "\x1b\xc3\xa9"}) {
        SCOPED_TRACE(testing::PrintToString(key));
        StartOnTerminal();
        ASSERT_EQ(write(terminal_.master, key.data(), key.size()),
                  static_cast<ssize_t>(key.size()));
        ProcessResult result = FinishProcess(&process_, 5000);
        EXPECT_EQ(result.exitStatus, 2);
        EXPECT_EQ(result.out, kBanner + kUsage + kPrompt);
        // Nothing of the key is left behind for the shell to read.
        int slave = open(terminal_.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(slave, 0);
        struct termios raw;
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        char leftover;
        EXPECT_EQ(read(slave, &leftover, 1), -1);
        close(slave);
    }
}

TEST_F(KeyWait, EndingSignalRestoresTheTerminal) {
    tcflag_t before = LocalModes();
    StartOnTerminal();
    ASSERT_EQ(kill(process_.pid, SIGTERM), 0);
    ProcessResult result = FinishProcess(&process_, 5000);
    EXPECT_EQ(result.exitStatus, -1);  // ended by the signal
    EXPECT_EQ(LocalModes(), before);
}

}  // namespace
