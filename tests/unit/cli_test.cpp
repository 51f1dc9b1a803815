// SPDX-License-Identifier: MIT
#include "cli.h"

#include <gtest/gtest.h>

#include "handoff.h"

namespace {

TEST(ConvertDecimal, ReadsLikeTheCLibrary) {
    EXPECT_EQ(ConvertDecimal("3"), 3);
    EXPECT_EQ(ConvertDecimal("3abc"), 3);
    EXPECT_EQ(ConvertDecimal(" \t\n\v\f\r+7"), 7);
    EXPECT_EQ(ConvertDecimal("-2"), -2);
    EXPECT_EQ(ConvertDecimal("abc"), 0);
    EXPECT_EQ(ConvertDecimal(""), 0);
    EXPECT_EQ(ConvertDecimal("+-3"), 0);
    EXPECT_EQ(ConvertDecimal(" 12 5"), 12);
}

TEST(ConvertDecimal, WrapsModuloTwoToTheThirtyTwo) {
    EXPECT_EQ(ConvertDecimal("4294967297"), 1);  // 2^32 + 1
    EXPECT_EQ(ConvertDecimal("2147483648"), INT32_MIN);
    EXPECT_EQ(ConvertDecimal("-4294967295"), 1);
    EXPECT_EQ(ConvertDecimal("4294967296115200"), 115200);  // 2^32 * 1000000 + 115200
}

TEST(BaudRates, OnlyTheSixHaveSpeedCodes) {
    const int32_t accepted[] = {9600, 19200, 28800, 38400, 57600, 115200};
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(IsAcceptedBaudRate(accepted[i]));
        EXPECT_EQ(SpeedCodeFor(accepted[i]), '0' + i);
    }
    for (int32_t other : {0, 4800, 14400, 230400, -9600, 1152000}) {
        EXPECT_FALSE(IsAcceptedBaudRate(other)) << other;
    }
}

CommandLineVerdict Read(std::initializer_list<const char*> args, RunSettings* settings) {
    std::vector<const char*> argv{"brivane"};
    argv.insert(argv.end(), args.begin(), args.end());
    return ReadCommandLine(static_cast<int>(argv.size()), argv.data(), settings);
}

TEST(CommandLine, CountPortAndRateAreCheckedInThatOrder) {
    RunSettings s{};
    EXPECT_EQ(Read({}, &s), CommandLineVerdict::Usage);
    EXPECT_EQ(Read({"a", "1", "9600", "x"}, &s), CommandLineVerdict::Usage);
    EXPECT_EQ(Read({"a", "0"}, &s), CommandLineVerdict::BadPort);
    EXPECT_EQ(Read({"a", "9"}, &s), CommandLineVerdict::BadPort);
    EXPECT_EQ(Read({"a", "com1"}, &s), CommandLineVerdict::BadPort);
    EXPECT_EQ(Read({"a", "0", "123"}, &s), CommandLineVerdict::BadPort);
    EXPECT_EQ(Read({"a", "2", "14400"}, &s), CommandLineVerdict::BadBaudRate);
    EXPECT_EQ(Read({"a", "2", "fast"}, &s), CommandLineVerdict::BadBaudRate);
}

TEST(CommandLine, DefaultsAndModes) {
    RunSettings s{};
    ASSERT_EQ(Read({"image.bin"}, &s), CommandLineVerdict::Accepted);
    EXPECT_EQ(s.mode, RunMode::Program);
    EXPECT_STREQ(s.imagePath, "image.bin");
    EXPECT_EQ(s.portNumber, 1);
    EXPECT_EQ(s.baudRate, 115200);

    ASSERT_EQ(Read({"testcomm", "3abc", "28800"}, &s), CommandLineVerdict::Accepted);
    EXPECT_EQ(s.mode, RunMode::Test);
    EXPECT_EQ(s.portNumber, 3);
    EXPECT_EQ(s.baudRate, 28800);

    ASSERT_EQ(Read({"erase", "4294967297"}, &s), CommandLineVerdict::Accepted);
    EXPECT_EQ(s.mode, RunMode::Erase);
    EXPECT_EQ(s.portNumber, 1);

    // Keywords are whole and case-sensitive; anything else is a file name.
    for (const char* name : {"TESTCOMM", "Erase", "erase2", "testcomm ", ""}) {
        ASSERT_EQ(Read({name}, &s), CommandLineVerdict::Accepted);
        EXPECT_EQ(s.mode, RunMode::Program) << name;
        EXPECT_STREQ(s.imagePath, name);
    }
}

}  // namespace
