// SPDX-License-Identifier: MIT
// Unit tests for veskor-sim's command-line parser.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_options.h"

// A name in failure messages rather than the enum's bytes.
static void PrintTo(HangupMoment moment, std::ostream* out) {
    static const char* const kNames[] = {"None", "PowerUp", "Sync", "Erase"};
    *out << "HangupMoment::" << kNames[static_cast<int>(moment)];
}

namespace {

bool Parse(const std::vector<std::string>& args, SimOptions* options, std::string* error = nullptr) {
    std::string ignored;
    return ParseOptions(args, options, error != nullptr ? error : &ignored);
}

TEST(SimulatorOptions, Defaults) {
    SimOptions options;
    EXPECT_TRUE(Parse({}, &options));
    EXPECT_EQ(options.portNumber, 1);
    EXPECT_DOUBLE_EQ(options.timeoutSeconds, 0.0);  // no time limit
    EXPECT_DOUBLE_EQ(options.eraseSeconds, 0.0);
    EXPECT_EQ(options.flashPath, "");
    EXPECT_EQ(options.initialPath, "");
    EXPECT_FALSE(options.pace);
    EXPECT_FALSE(options.verdictFail);
    EXPECT_FALSE(options.showHelp);
    EXPECT_EQ(options.refuseBlock, 0);
    EXPECT_EQ(options.silentFromBlock, 0);
    EXPECT_EQ(options.flipBitBlock, 0);
    EXPECT_EQ(options.hangupAfterBlock, 0);
}

TEST(SimulatorOptions, EveryOption) {
    SimOptions options;
    EXPECT_TRUE(Parse({"--port", "8", "--flash", "out.bin", "--initial", "in.bin", "--erase-seconds", "1.5", "--noise",
                 "4", "--refuse-block", "3:2", "--silent-after-block", "7", "--verdict-fail",
                 "--garbage-before-verdict", "6", "--flip-bit-block", "5", "--hangup-after-block", "9", "--pace",
                 "--timeout", "30", "--hangup-at", "erase", "--line", "/dev/ttyUSB1", "--power-up-after", "2.5"},
                &options));
    EXPECT_EQ(options.portNumber, 8);
    EXPECT_EQ(options.flashPath, "out.bin");
    EXPECT_EQ(options.initialPath, "in.bin");
    EXPECT_DOUBLE_EQ(options.eraseSeconds, 1.5);
    EXPECT_EQ(options.noiseBytes, 4);
    EXPECT_EQ(options.refuseBlock, 3);
    EXPECT_EQ(options.refuseCount, 2);
    EXPECT_EQ(options.silentFromBlock, 7);
    EXPECT_TRUE(options.verdictFail);
    EXPECT_EQ(options.garbageBeforeVerdict, 6);
    EXPECT_EQ(options.flipBitBlock, 5);
    EXPECT_EQ(options.hangupAfterBlock, 9);
    EXPECT_EQ(options.hangupAt, HangupMoment::Erase);
    EXPECT_TRUE(options.pace);
    EXPECT_DOUBLE_EQ(options.timeoutSeconds, 30.0);
    EXPECT_EQ(options.linePath, "/dev/ttyUSB1");
    EXPECT_DOUBLE_EQ(options.powerUpAfterSeconds, 2.5);
}

TEST(SimulatorOptions, InlineValuesAndDefaultRefusalCount) {
    SimOptions options;
    EXPECT_TRUE(Parse({"--port=3", "--refuse-block=12", "--erase-seconds=0.25"}, &options));
    EXPECT_EQ(options.portNumber, 3);
    EXPECT_EQ(options.refuseBlock, 12);
    EXPECT_EQ(options.refuseCount, 1);
    EXPECT_DOUBLE_EQ(options.eraseSeconds, 0.25);

    SimOptions help;
    EXPECT_TRUE(Parse({"--help"}, &help));
    EXPECT_TRUE(help.showHelp);
}

TEST(SimulatorOptions, RejectedArguments) {
    const std::vector<std::vector<std::string>> bad = {
        {"--port", "0"},
        {"--port", "9"},
        {"--port", "1x"},
        {"--port", "+2"},
        {"--port"},
        {"--noise", "-1"},
        {"--erase-seconds", "nan"},
        {"--erase-seconds", "-0.5"},
        {"--erase-seconds", "inf"},
        {"--timeout", "0"},
        {"--refuse-block", "0"},
        {"--refuse-block", "2:0"},
        {"--refuse-block", "2:"},
        {"--refuse-block", ":3"},
        {"--flip-bit-block", "2049"},
        {"--flash", ""},
        {"--hangup-at", "boot"},
        {"--pace=yes"},
        {"--line", ""},
        {"--power-up-after", "1"},
        {"--bogus", "1"},
        {"stray"},
    };
    for (const std::vector<std::string>& args : bad) {
        SimOptions options;
        std::string error;
        EXPECT_FALSE(Parse(args, &options, &error)) << testing::PrintToString(args);
        EXPECT_NE(error, "") << testing::PrintToString(args);
    }
}

TEST(SimulatorOptions, HelpDocumentsEveryOption) {
    const std::string help = HelpText();
    for (const char* option : {"--port", "--flash", "--initial", "--erase-seconds", "--noise", "--refuse-block",
                               "--silent-after-block", "--verdict-fail", "--garbage-before-verdict",
                               "--flip-bit-block", "--hangup-after-block", "--hangup-at", "--pace", "--timeout", "--line",
                               "--power-up-after", "--help"}) {
        EXPECT_NE(help.find(option), std::string::npos) << option;
        // Each documented option must also be one the parser knows.
        SimOptions options;
        std::string error;
        Parse({option, "1"}, &options, &error);
        EXPECT_EQ(error.find("unknown option"), std::string::npos) << error;
    }
}

}  // namespace

