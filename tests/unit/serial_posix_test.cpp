// SPDX-License-Identifier: MIT
// The POSIX back end on real pseudo-terminals, reached through COMN links in a
// temporary working directory as a user would set them up.
#include <gtest/gtest.h>
#if BRIVANE_LINUX_FLAVOUR
#include <linux/serial.h>
#endif
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "process.h"
#include "pty_pair.h"
#include "serial.h"
#include "serial_posix_lock.h"
#include "serial_posix_speed.h"

namespace {

class PosixSerial : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
        ASSERT_EQ(chdir(folder_.path.c_str()), 0);
        ASSERT_TRUE(OpenPtyPair(&pty_));
        ASSERT_EQ(symlink(pty_.slavePath.c_str(), "COM3"), 0);
        eraseMode = false;
    }
    void TearDown() override {
        ClosePtyPair(&pty_);
        ASSERT_EQ(chdir(previous_), 0);
    }
    // Opens COM3 and sets it up as the updater does before stage 1.
    void OpenConfigured(SerialPort* port, int32_t baud, int16_t timeoutMs) {
        ASSERT_EQ(Open(port, 3), kSerialOk);
        ASSERT_EQ(Configure(port, baud), kSerialOk);
        ASSERT_EQ(SetTimeout(port, timeoutMs), kSerialOk);
    }
    void WaitUntilReadable(const SerialPort& port) {
        struct pollfd waiter = {port.handle, POLLIN, 0};
        ASSERT_EQ(poll(&waiter, 1, 2000), 1);
    }
    TemporaryFolder folder_;
    char previous_[4096];
    PtyPair pty_;
};

TEST_F(PosixSerial, PortsThatCannotBeOpenedFailSilently) {
    SerialPort port{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(Open(&port, 0), kSerialFailed);
    EXPECT_EQ(Open(&port, 9), kSerialFailed);
    ASSERT_EQ(symlink("/nonexistent/tty", "COM2"), 0);  // a dangling link still names port 2
    EXPECT_EQ(Open(&port, 2), kSerialFailed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(PosixSerial, NonTerminalIsReportedWithTheModuleAndLine) {
    ASSERT_EQ(system("echo data > plain && ln -s plain COM4"), 0);
    SerialPort port{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(Open(&port, 4), kSerialFailed);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("       Error detected in file src/serial/serial_posix.cpp, line ", 0), 0u)
        << out;
    EXPECT_NE(out.find(" \n  Inappropriate ioctl for device\n"), std::string::npos) << out;
    Close(&port);
}

TEST_F(PosixSerial, PortHeldByAnotherUserCannotBeOpened) {
    SerialPort first{};
    SerialPort second{};
    ASSERT_EQ(Open(&first, 3), kSerialOk);
    EXPECT_EQ(Open(&second, 3), kSerialFailed);
    Close(&first);
    ASSERT_EQ(Open(&second, 3), kSerialOk);  // free again once closed
    Close(&second);
}

constexpr bool kFlockVisible = BRIVANE_LINUX_FLAVOUR;  // /proc/locks is read

// Puts at `path` what a lock folder may hold, planted by another user or left by a
// program: "" nothing, "link" (to `target`), "fifo", "folder", "self" a lock with our
// PID, else the text of a lock file.
void Plant(const std::string& what, const std::string& path, const std::string& target) {
    if (what == "link") {
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    } else if (what == "fifo") {
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    } else if (what == "folder") {
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    } else if (!what.empty()) {
        std::ofstream(path) << (what == "self" ? std::to_string(getpid()) + "\n" : what);
    }
}

std::set<std::string> NamesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.insert(entry.path().filename());
    }
    return names;
}

TEST_F(PosixSerial, DeviceLockInAHostileFolder) {
    const char* const kLive = "         1\n";
    const char* const kDead = "  99999999\n";  // above any pid_max
    const struct {
        const char* atLock;
        const char* atTemporary;
        bool flocked;  // an open file holds the device with flock
        LockResult expected;
    } kCases[] = {
        {"", "", false, kLockTaken},
        {kLive, "", false, kLockHeld},  // in a folder we may not write
        {kDead, "link", false, kLockTaken},
        {"self", "fifo", false, kLockTaken},
        {"garbage\n", "folder", false, kLockTaken},
        {"link", "", false, kLockTaken},
        {"fifo", "", false, kLockTaken},
        {"folder", "", false, kLockUnavailable},
        {"", "", true, kFlockVisible ? kLockHeld : kLockTaken},
    };
    const std::string lockName = DeviceLockFile(pty_.slavePath).substr(std::strlen("/run/lock/"));
    const std::string target = folder_.File("target");
    const mode_t previousUmask = umask(077);
    alarm(20);  // a lock read that blocks fails the test instead of hanging it
    for (const auto& row : kCases) {
        SCOPED_TRACE(&row - kCases);
        folder_.Write("target", "precious");
        const std::string locks = folder_.File("locks");
        ASSERT_EQ(system(("rm -rf " + locks + " && mkdir " + locks).c_str()), 0);
        const std::string lockFile = locks + "/" + lockName;
        const std::string temporary = locks + "/LTMP." + std::to_string(getpid());
        Plant(row.atLock, lockFile, target);
        Plant(row.atTemporary, temporary, target);
        Plant(kDead, locks + "/LCK..other", target);  // another device's stale lock
        const std::set<std::string> before = NamesIn(locks);
        int holder = open(pty_.slavePath.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_TRUE(!row.flocked || flock(holder, LOCK_EX) == 0);
        chmod(locks.c_str(), row.expected == kLockHeld ? 0555 : 0755);  // not for root
        int creations = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        ASSERT_GE(inotify_add_watch(creations, locks.c_str(), IN_CREATE), 0);

        // A first folder that cannot exist is passed over.
        const char* folders[] = {"/nonexistent/lock", locks.c_str()};
        DeviceLock lock;
        EXPECT_EQ(TakeDeviceLock(pty_.slavePath.c_str(), folders, 2, &lock), row.expected);
        char event[4096];
        if (row.expected == kLockHeld) {  // refused without writing anything there
            EXPECT_EQ(read(creations, event, sizeof event), -1);
        }
        close(creations);
        close(holder);
        if (row.expected == kLockTaken) {
            struct stat taken {};
            ASSERT_EQ(lstat(lockFile.c_str(), &taken), 0);
            EXPECT_EQ(taken.st_mode & 07777, 0644u);
            long owner = 0;
            std::ifstream(lockFile) >> owner;
            EXPECT_EQ(owner, getpid());
        }
        ReleaseDeviceLock(&lock);
        chmod(locks.c_str(), 0755);
        EXPECT_EQ(folder_.Read("target"), "precious");
        // Whatever was planted stays, except the lock that was taken over; nothing of ours.
        std::set<std::string> after = before;
        if (row.expected == kLockTaken) {
            after.erase(lockName);
        }
        EXPECT_EQ(NamesIn(locks), after);
    }

    // A lock that was replaced meanwhile is no longer ours to release.
    const std::string locks = folder_.File("locks");
    const std::string lockFile = locks + "/" + lockName;
    const char* folders[] = {locks.c_str()};
    DeviceLock lock;
    ASSERT_EQ(TakeDeviceLock(pty_.slavePath.c_str(), folders, 1, &lock), kLockTaken);
    ASSERT_EQ(unlink(lockFile.c_str()), 0);
    Plant(kLive, lockFile, target);
    ReleaseDeviceLock(&lock);
    EXPECT_EQ(access(lockFile.c_str(), F_OK), 0);

    alarm(0);
    umask(previousUmask);
}

// Between judging a lock stale and moving it aside, another run may have rewritten it
// with its own live PID: only the very file judged stale, still stale, is removed.
TEST_F(PosixSerial, StaleLockTakenMeanwhileIsPutBack) {
    const std::string lockFile = folder_.File("LCK..ttyX");
    std::ofstream(lockFile) << "  99999999\n";
    struct stat judged {};
    ASSERT_EQ(lstat(lockFile.c_str(), &judged), 0);
    std::ofstream(lockFile, std::ios::trunc) << "         1\n";  // same file, now live
    const std::set<std::string> before = NamesIn(folder_.path);
    RemoveStaleLock(folder_.path.c_str(), lockFile.c_str(), judged);
    EXPECT_EQ(folder_.Read("LCK..ttyX"), "         1\n");
    EXPECT_EQ(NamesIn(folder_.path), before) << "nothing of ours is left behind";
}

#if BRIVANE_LINUX_FLAVOUR
// The driver's low latency is switched on only where it was off, and so switched off
// again only where we switched it on; its other flags stay as they are.
TEST(LowLatency, SwitchedOnlyFromTheOtherState) {
    const int kOther = ASYNC_SKIP_TEST | ASYNC_SPD_HI;
    const int kLow = ASYNC_LOW_LATENCY;
    const struct {
        int flags;
        bool on;
        bool switched;
        int toSet;
    } kCases[] = {{kOther, true, true, kOther | kLow}, {kOther | kLow, true, false, 0},
                  {kOther | kLow, false, true, kOther}, {kOther, false, false, 0}};
    for (const auto& row : kCases) {
        int toSet = 0;
        EXPECT_EQ(LowLatencyFlagsToSet(row.flags, row.on, &toSet), row.switched) << &row - kCases;
        EXPECT_EQ(toSet, row.toSet) << &row - kCases;
    }
}
#endif

TEST_F(PosixSerial, ConfigureGivesRawEightNOneAtEveryRate) {
    SerialPort port{};
    ASSERT_EQ(Open(&port, 3), kSerialOk);
    for (int32_t baud : {9600, 19200, 28800, 38400, 57600, 115200}) {
        SCOPED_TRACE(baud);
        if (baud == 28800 && !AnyRateCanBeSet()) {
            testing::internal::CaptureStdout();
            EXPECT_EQ(Configure(&port, baud), kSerialFailed);
            std::string out = testing::internal::GetCapturedStdout();
            EXPECT_NE(out.find("\n  Invalid argument\n"), std::string::npos) << out;
            continue;
        }
        ASSERT_EQ(Configure(&port, baud), kSerialOk);
        EXPECT_EQ(LineSpeedOf(port.handle), baud);
    }
    struct termios line;
    ASSERT_EQ(tcgetattr(port.handle, &line), 0);
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(line.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    Close(&port);
}

TEST_F(PosixSerial, EveryByteValuePassesUnchangedBothWays) {
    SerialPort port{};
    OpenConfigured(&port, 115200, 256);
    std::string all;
    for (int value = 0; value < 256; ++value) all.push_back(static_cast<char>(value));

    ASSERT_EQ(Write(&port, all.data(), 256), kSerialOk);
    EXPECT_EQ(ReadExactly(pty_.master, 256, 2000), all);

    ASSERT_EQ(write(pty_.master, all.data(), all.size()), 256);
    std::string received;
    uint8_t byte = 0;
    while (received.size() < 256 && ReadByte(&port, &byte) == kSerialOk) {
        received.push_back(static_cast<char>(byte));
    }
    EXPECT_EQ(received, all);
    Close(&port);
}

TEST_F(PosixSerial, ReadTimeOuts) {
    SerialPort port{};
    OpenConfigured(&port, 9600, 20);
    uint8_t byte = 0x55;
    EXPECT_EQ(ReadByte(&port, &byte), kSerialTimeout);
    EXPECT_EQ(byte, 0x55);  // untouched without data
    ASSERT_EQ(write(pty_.master, "<", 1), 1);
    WaitUntilReadable(port);
    EXPECT_EQ(ReadByte(&port, &byte), kSerialOk);
    EXPECT_EQ(byte, '<');

    // Without a time-out the read waits for a byte that comes later.
    ASSERT_EQ(SetTimeout(&port, 0), kSerialOk);
    std::atomic<bool> sent{false};
    std::thread device([&] {
        usleep(150 * 1000);
        sent = true;
        ASSERT_EQ(write(pty_.master, ">", 1), 1);
    });
    EXPECT_EQ(ReadByte(&port, &byte), kSerialOk);
    device.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(byte, '>');
    Close(&port);
}

TEST_F(PosixSerial, PurgesDropWhatWasReceived) {
    SerialPort port{};
    OpenConfigured(&port, 115200, 20);
    uint8_t byte = 0;
    ASSERT_EQ(write(pty_.master, "abc", 3), 3);
    WaitUntilReadable(port);
    ASSERT_EQ(PurgeInput(&port), kSerialOk);
    EXPECT_EQ(ReadByte(&port, &byte), kSerialTimeout);

    ASSERT_EQ(write(pty_.master, "def", 3), 3);
    WaitUntilReadable(port);
    ASSERT_EQ(Configure(&port, 57600), kSerialOk);
    EXPECT_EQ(ReadByte(&port, &byte), kSerialTimeout);
    Close(&port);
}

TEST_F(PosixSerial, LostLineIsAFailureNotATimeOutAndIsReportedOnce) {
    SerialPort port{};
    OpenConfigured(&port, 115200, 256);
    ClosePtyPair(&pty_);
    uint8_t byte = 0;
    testing::internal::CaptureStdout();
    for (int16_t timeoutMs : {256, 0}) {  // a wait without limit must not hang either
        SetTimeout(&port, timeoutMs);
        for (int attempt = 0; attempt < 3; ++attempt) {
            EXPECT_EQ(ReadByte(&port, &byte), kSerialFailed);
            EXPECT_EQ(Write(&port, "-", 1), kSerialFailed);
            EXPECT_EQ(Configure(&port, 57600), kSerialFailed);
        }
    }
    EXPECT_TRUE(port.lost);
    EXPECT_EQ(WaitForChar(&port, '!'), kSerialFailed);
    std::string out = testing::internal::GetCapturedStdout();
    // One report each for the reads, the writes and the speed change; no erase-progress
    // pass. The write was short: the time-out line follows its report, once.
    EXPECT_NE(out.find("Error detected in file src/serial/serial_posix.cpp"), std::string::npos);
    size_t reports = 0;
    for (size_t at = 0; (at = out.find("Error detected", at)) != std::string::npos; ++at) ++reports;
    EXPECT_EQ(reports, 3u) << out;
    EXPECT_EQ(out.find("Timeout has occured"), out.rfind("Timeout has occured")) << out;
    EXPECT_TRUE(
        std::regex_search(out, std::regex("line ([0-9]+) \n  [^\n]+\n     Timeout has occured "
                                          "in file src/serial/serial_posix\\.cpp, line \\1 \n")))
        << out;
    EXPECT_EQ(out.find("Erasing"), std::string::npos);
    Close(&port);
}

TEST_F(PosixSerial, WaitForCharDropsOtherBytesOnePerSecond) {
    SerialPort port{};
    OpenConfigured(&port, 9600, 0);
    ASSERT_EQ(write(pty_.master, "ab<", 3), 3);
    testing::internal::CaptureStdout();
    WaitForChar(&port, '<');
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\rErasing the FLASH...   4%\rErasing the FLASH...   8%");

    ASSERT_EQ(write(pty_.master, "!", 1), 1);
    testing::internal::CaptureStdout();
    WaitForChar(&port, '!');
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    Close(&port);
}

}  // namespace
