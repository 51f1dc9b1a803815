// SPDX-License-Identifier: MIT
// expected-output NAME [ARGUMENT...]: prints what brivane prints, byte for byte, from
// the same code as the end-to-end tests, for the tests written in shell
// (tests/e2e/wine_e2e.sh). NAME is one of the entries below; exits 2 for any other.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "expected_output.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 1 ? 2 : 1), argv + argc);
    const std::string first = args.empty() ? "" : args[0];
    const int number = std::atoi(first.c_str());
    std::vector<int> numbers;
    for (const std::string& arg : args) numbers.push_back(std::atoi(arg.c_str()));
    const std::map<std::string, std::function<std::string()>> texts = {
        {"banner", [] { return kBanner; }},
        {"prompt", [] { return kPrompt; }},
        {"usage", [] { return kUsage; }},
        {"invalid-port", [] { return kInvalidPort; }},
        {"invalid-baud", [] { return kInvalidBaud; }},
        {"too-large", [] { return kTooLarge; }},
        {"communicating", [] { return kCommunicating; }},
        {"erased", [] { return kErased; }},
        {"erasing", [] { return ErasingOutput(); }},
        {"stage-one", [] { return StageOneOutput(); }},
        {"announcement", [&] { return Announcement(number); }},
        {"could-not-open-file", [&] { return CouldNotOpenFile(first); }},
        {"could-not-open-port", [&] { return CouldNotOpenPort(number); }},
        {"lost-port", [&] { return LostPort(number); }},
        {"programming", [&] { return ProgrammingOutput(number); }},
        {"programming-until", [&] { return ProgrammingOutputUntil(numbers); }},
        {"programmed", [&] { return ProgrammedLine(first); }},
        {"failure", [&] { return FailureLines(first); }},
    };
    auto text = argc > 1 ? texts.find(argv[1]) : texts.end();
    if (text == texts.end()) {
        std::fprintf(stderr, "usage: expected-output NAME [ARGUMENT...]; see %s\n", __FILE__);
        return 2;
    }
    const std::string bytes = text->second();
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
