// Unit tests for veskor-sim's command-line parser.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "sim_options.h"

namespace {


bool Parse(const std::vector<std::string>& args, SimOptions* options, std::string* error = nullptr) {
    std::string ignored;
    return ParseOptions(args, options, error != nullptr ? error : &ignored);
}

TEST(SimulatorOptions, Defaults) {
    SimOptions options;
    EXPECT_TRUE(Parse({}, &options));
    EXPECT_TRUE(options.portNumber == 1);
    EXPECT_TRUE(options.timeoutSeconds == 600.0);
    EXPECT_TRUE(options.eraseSeconds == 0.0);
    EXPECT_TRUE(options.flashPath.empty() && options.initialPath.empty());
    EXPECT_TRUE(!options.pace && !options.verdictFail && !options.showHelp);
    EXPECT_TRUE(options.refuseBlock == 0 && options.silentFromBlock == 0 && options.flipBitBlock == 0 &&
          options.hangupAfterBlock == 0);
}

TEST(SimulatorOptions, EveryOption) {
    SimOptions options;
    EXPECT_TRUE(Parse({"--port", "8", "--flash", "out.bin", "--initial", "in.bin", "--erase-seconds", "1.5", "--noise",
                 "4", "--refuse-block", "3:2", "--silent-after-block", "7", "--verdict-fail",
                 "--garbage-before-verdict", "6", "--flip-bit-block", "5", "--hangup-after-block", "9", "--pace",
                 "--timeout", "30", "--hangup-at", "erase"},
                &options));
    EXPECT_TRUE(options.portNumber == 8);
    EXPECT_TRUE(options.flashPath == "out.bin");
    EXPECT_TRUE(options.initialPath == "in.bin");
    EXPECT_TRUE(options.eraseSeconds == 1.5);
    EXPECT_TRUE(options.noiseBytes == 4);
    EXPECT_TRUE(options.refuseBlock == 3 && options.refuseCount == 2);
    EXPECT_TRUE(options.silentFromBlock == 7);
    EXPECT_TRUE(options.verdictFail);
    EXPECT_TRUE(options.garbageBeforeVerdict == 6);
    EXPECT_TRUE(options.flipBitBlock == 5);
    EXPECT_TRUE(options.hangupAfterBlock == 9);
    EXPECT_EQ(options.hangupAt, HangupMoment::Erase);
    EXPECT_TRUE(options.pace);
    EXPECT_TRUE(options.timeoutSeconds == 30.0);
}

TEST(SimulatorOptions, InlineValuesAndDefaultRefusalCount) {
    SimOptions options;
    EXPECT_TRUE(Parse({"--port=3", "--refuse-block=12", "--erase-seconds=0.25"}, &options));
    EXPECT_TRUE(options.portNumber == 3);
    EXPECT_TRUE(options.refuseBlock == 12 && options.refuseCount == 1);
    EXPECT_TRUE(options.eraseSeconds == 0.25);

    SimOptions help;
    EXPECT_TRUE(Parse({"--help"}, &help) && help.showHelp);
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
        {"--bogus", "1"},
        {"stray"},
    };
    for (const std::vector<std::string>& args : bad) {
        SimOptions options;
        std::string error;
        bool accepted = Parse(args, &options, &error);
        EXPECT_TRUE(!accepted);
        EXPECT_TRUE(!error.empty());
        if (accepted) {
            std::fprintf(stderr, "  accepted: %s\n", args[0].c_str());
        }
    }
}

TEST(SimulatorOptions, HelpDocumentsEveryOption) {
    const std::string help = HelpText();
    for (const char* option : {"--port", "--flash", "--initial", "--erase-seconds", "--noise", "--refuse-block",
                               "--silent-after-block", "--verdict-fail", "--garbage-before-verdict",
                               "--flip-bit-block", "--hangup-after-block", "--hangup-at", "--pace", "--timeout", "--help"}) {
        EXPECT_TRUE(help.find(option) != std::string::npos);
        // Each documented option must also be one the parser knows.
        SimOptions options;
        std::string error;
        Parse({option, "1"}, &options, &error);
        EXPECT_TRUE(error.find("unknown option") == std::string::npos);
    }
}

}  // namespace

