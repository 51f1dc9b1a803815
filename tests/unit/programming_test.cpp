// SPDX-License-Identifier: MIT
// The stage-2 decisions (synchronisation, blocks, resends, fillers, verdict) played
// against a scripted device.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "programming.h"
#include "scripted_port.h"

namespace {

std::string LittleEndian(uint32_t value) {
    uint8_t bytes[4];
    EncodeLittleEndian32(value, bytes);
    return std::string(reinterpret_cast<char*>(bytes), 4);
}

// A temporary image file holding `content`, positioned at its start.
std::FILE* ImageWith(const std::string& content) {
    std::FILE* file = std::tmpfile();
    std::fwrite(content.data(), 1, content.size(), file);
    std::rewind(file);
    return file;
}

std::string PatternBytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    }
    return bytes;
}

std::string SendingOf(const std::string& block) {
    return block + LittleEndian(BlockChecksum(reinterpret_cast<const uint8_t*>(block.data()),
                                              static_cast<int>(block.size())));
}

class StageTwo : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetScriptedPort();
        eraseMode = false;
    }
    SerialPort port{};
};

TEST(Checksum, SumsUnsignedBytesAndGoesLeastSignificantFirst) {
    uint8_t block[1024];
    for (uint8_t& b : block) b = 0xFF;
    EXPECT_EQ(BlockChecksum(block, 1024), 261120u);
    EXPECT_EQ(LittleEndian(0x200000), std::string("\x00\x00\x20\x00", 4));
    EXPECT_EQ(LittleEndian(0x04B000), std::string("\x00\xB0\x04\x00", 4));
}

TEST_F(StageTwo, SynchronisesThenSendsEraseCommandAndWaitsForTheEnd) {
    QueueSilence(2);
    QueueBytes("x?!");
    testing::internal::CaptureStdout();
    SynchroniseAndErase(&port, 0x04B000);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(scripted.written, std::string("----F\x00\xB0\x04\x00", 9));
    // The label is wiped at once; "!" at the first read prints no counter.
    EXPECT_EQ(out, "Erasing the FLASH...\r" + std::string(30, ' ') + "\r");
    EXPECT_TRUE(scripted.reads.empty());
}

TEST_F(StageTwo, SynchronisationPacesItselfOnlyWhenThePortFailsEverything) {
    scripted.writesFail = true;
    for (int i = 0; i < 5; ++i) scripted.reads.push_back({kSerialFailed, 0});
    QueueBytes("?!");
    testing::internal::CaptureStdout();
    SynchroniseAndErase(&port, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(scripted.sleptMs, 5 * 20);

    ResetScriptedPort();
    QueueSilence(5);  // a silent but healthy port is polled by the read time-out alone
    QueueBytes("?!");
    testing::internal::CaptureStdout();
    SynchroniseAndErase(&port, 0);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(scripted.sleptMs, 0);
    EXPECT_EQ(scripted.written.substr(0, 6), "------");
}

TEST_F(StageTwo, SynchronisationEndsWhenThePortIsLost) {
    scripted.probeFails = true;  // reads bring nothing and the probe fails
    QueueSilence(200);
    QueueBytes("?!");  // never read once the port is found lost
    EXPECT_FALSE(SynchroniseAndErase(&port, 0));
    EXPECT_EQ(scripted.written, "-");  // no erase command
}

TEST_F(StageTwo, PartialLastBlockIsZeroFilledAndCountersReachOneHundred) {
    std::string content = PatternBytes(1500);
    std::FILE* image = ImageWith(content);
    QueueBytes("##*");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(ProgramBlocks(&port, image, 1500, 2048));
    std::string out = testing::internal::GetCapturedStdout();
    std::fclose(image);

    std::string second = content.substr(1024) + std::string(548, '\0');
    EXPECT_EQ(scripted.written, SendingOf(content.substr(0, 1024)) + SendingOf(second));
    EXPECT_EQ(scripted.writeSizes, (std::vector<int>{1024, 4, 1024, 4}));
    EXPECT_EQ(scripted.timeoutMs, 256);
    EXPECT_EQ(out, "\r" + std::string(32, ' ') + "\rProgramming the FLASH...(  0%)" +
                       "\b\b\b\b\b 50%)\b\b\b\b\b100%)\r" + std::string(30, ' ') + "\r");
}

TEST_F(StageTwo, RefusedBlockIsSentAgainAndCountedOnce) {
    std::string content = PatternBytes(1024);
    std::FILE* image = ImageWith(content);
    QueueBytes("E#*");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(ProgramBlocks(&port, image, 1024, 1024));
    std::string out = testing::internal::GetCapturedStdout();
    std::fclose(image);
    EXPECT_EQ(scripted.written, SendingOf(content) + SendingOf(content));
    EXPECT_EQ(out.find("100%)"), out.rfind("100%)"));
}

TEST_F(StageTwo, SilenceIsAnsweredWithFillersAndSixteenSilentWaitsFail) {
    std::string content = PatternBytes(2048);
    std::FILE* image = ImageWith(content);
    QueueSilence(3);
    QueueBytes("#");  // the first block is answered after three fillers
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ProgramBlocks(&port, image, 2048, 2048));
    std::string out = testing::internal::GetCapturedStdout();
    std::fclose(image);

    std::string expected = SendingOf(content.substr(0, 1024)) + std::string(3, '\xFF') +
                           SendingOf(content.substr(1024)) + std::string(16, '\xFF');
    EXPECT_EQ(scripted.written, expected);
    EXPECT_EQ(scripted.readTimeouts, 3 + 16);  // no verdict is read after a failure
    EXPECT_NE(out.find(" 50%)"), std::string::npos);
    EXPECT_EQ(out.find("100%)"), std::string::npos);
}

TEST_F(StageTwo, ResendStartsTheSilentWaitsAfresh) {
    std::string content = PatternBytes(1024);
    std::FILE* image = ImageWith(content);
    QueueSilence(15);
    QueueBytes("E");
    QueueSilence(15);
    QueueBytes("#*");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(ProgramBlocks(&port, image, 1024, 1024));
    testing::internal::GetCapturedStdout();
    std::fclose(image);
    std::string filler15(15, '\xFF');
    EXPECT_EQ(scripted.written, SendingOf(content) + filler15 + SendingOf(content) + filler15);
}

TEST_F(StageTwo, VerdictDecidesTheOutcome) {
    struct Case {
        std::string replies;
        bool readFails;
        bool succeeds;
    } cases[] = {
        {"#*", false, true},       {"#^", false, false},   {"#", false, false},
        {"#gg*", false, true},     {"#g^*", false, false}, {"#", true, false},
    };
    for (const Case& c : cases) {
        ResetScriptedPort();
        scripted.readsFailWhenEmpty = c.readFails;
        std::FILE* image = ImageWith(PatternBytes(10));
        QueueBytes(c.replies);
        testing::internal::CaptureStdout();
        EXPECT_EQ(ProgramBlocks(&port, image, 10, 1024), c.succeeds) << c.replies;
        testing::internal::GetCapturedStdout();
        std::fclose(image);
    }
}

TEST_F(StageTwo, EmptyImageSendsNoBlockAndReadsTheVerdictAtOnce) {
    std::FILE* image = ImageWith("");
    QueueBytes("*");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(ProgramBlocks(&port, image, 0, 0));
    testing::internal::GetCapturedStdout();
    std::fclose(image);
    EXPECT_TRUE(scripted.written.empty());
}

TEST_F(StageTwo, ImageThatShrankIsNeverPaddedWithZeros) {
    std::string content = PatternBytes(1500);
    std::FILE* image = ImageWith(content);  // measured as 3000 bytes, holds 1500
    QueueBytes("###*");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ProgramBlocks(&port, image, 3000, 3072));
    testing::internal::GetCapturedStdout();
    std::fclose(image);
    EXPECT_EQ(scripted.written, SendingOf(content.substr(0, 1024)));
}

TEST_F(StageTwo, OutcomeLines) {
    testing::internal::CaptureStdout();
    PrintProgrammingOutcome("fw.bin", true);
    PrintProgrammingOutcome("fw.bin", false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\nSuccessfully programmed 'fw.bin'\n"
              "Failed to program 'fw.bin'\n"
              "You might want to completely erase the Flash\n"
              " and then try programming again.\n"
              " To do this, enter \"brivane erase\"\n");
}

TEST_F(StageTwo, WaitForCharCountsOneSecondPassesScaledByMode) {
    QueueBytes("ab<");
    testing::internal::CaptureStdout();
    WaitForChar(&port, '<');
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\rErasing the FLASH...   4%\rErasing the FLASH...   8%");
    EXPECT_EQ(scripted.sleptMs, 2000);

    ResetScriptedPort();
    QueueBytes("!");
    testing::internal::CaptureStdout();
    WaitForChar(&port, '!');
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    ResetScriptedPort();
    eraseMode = true;
    scripted.reads.push_back({kSerialFailed, 0});
    QueueSilence(141);
    QueueBytes("!");
    testing::internal::CaptureStdout();
    WaitForChar(&port, '!');
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.substr(out.size() - 3 * 26),
              "\rErasing the FLASH... 100%\rErasing the FLASH... 100%\rErasing the FLASH... 101%");
}

// 0: silence while the probe fails, lost at once; 1: failures with a code not known to
// mean a loss, lost after two seconds; 2: the same with silences on a sound port between.
TEST_F(StageTwo, WaitForCharEndsWhenThePortIsLost) {
    const long long expectedSleptMs[] = {0, 2000, 10000};
    for (int variant : {0, 1, 2}) {
        ResetScriptedPort();
        port = SerialPort{};
        scripted.probeFails = variant == 0;
        for (int i = 0; i < 5; ++i) {
            if (variant != 0) scripted.reads.push_back({kSerialFailed, 0});
            QueueSilence(variant == 1 ? 0 : 1);
        }
        QueueBytes("!");  // never read once the port is found lost
        testing::internal::CaptureStdout();
        EXPECT_EQ(WaitForChar(&port, '!'), variant == 2 ? kSerialOk : kSerialFailed);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(scripted.sleptMs, expectedSleptMs[variant]) << variant;
    }
}

}  // namespace
