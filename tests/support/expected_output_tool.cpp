// expected-output: prints what brivane prints, byte for byte, from the same code as
// the end-to-end tests, for the tests written in shell (tests/e2e/wine_e2e.sh).
//
//   expected-output banner | prompt | usage | invalid-port | invalid-baud | too-large
//   expected-output communicating | erased | erasing | stage-one
//   expected-output announcement MEGABYTES
//   expected-output could-not-open-file NAME | could-not-open-port N | lost-port N
//   expected-output programming ROUNDED_SIZE
//   expected-output programming-until [PERCENT...]
//   expected-output programmed IMAGE | failure IMAGE
//   expected-output summary KEY < simulator-stderr    the value of KEY in its closing line
//
// Exits 2 on a wrong call, and 1 when `summary` finds no such key.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "expected_output.h"

namespace {

bool Number(const std::string& text, long* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    *value = std::strtol(text.c_str(), &end, 10);
    return *end == '\0';
}

bool Numbers(const std::vector<std::string>& texts, std::vector<int>* values) {
    for (const std::string& text : texts) {
        long value = 0;
        if (!Number(text, &value)) return false;
        values->push_back(static_cast<int>(value));
    }
    return true;
}

// The text for `name` and its arguments; false for a wrong call.
bool Expected(const std::string& name, const std::vector<std::string>& args, std::string* text) {
    const std::map<std::string, std::string> fixed = {
        {"banner", kBanner},
        {"prompt", kPrompt},
        {"usage", kUsage},
        {"invalid-port", kInvalidPort},
        {"invalid-baud", kInvalidBaud},
        {"too-large", kTooLarge},
        {"communicating", kCommunicating},
        {"erased", kErased},
        {"erasing", ErasingOutput()},
        {"stage-one", StageOneOutput()},
    };
    auto found = fixed.find(name);
    if (found != fixed.end()) {
        *text = found->second;
        return args.empty();
    }
    long number = 0;
    std::vector<int> percents;
    const bool oneArg = args.size() == 1;
    const bool oneNumber = oneArg && Number(args[0], &number);
    if (name == "announcement" && oneNumber) {
        *text = Announcement(static_cast<int>(number));
    } else if (name == "could-not-open-file" && oneArg) {
        *text = CouldNotOpenFile(args[0]);
    } else if (name == "could-not-open-port" && oneNumber) {
        *text = CouldNotOpenPort(static_cast<int>(number));
    } else if (name == "lost-port" && oneNumber) {
        *text = LostPort(static_cast<int>(number));
    } else if (name == "programming" && oneNumber && number > 0) {
        *text = ProgrammingOutput(number);
    } else if (name == "programming-until" && Numbers(args, &percents)) {
        *text = ProgrammingOutputUntil(percents);
    } else if (name == "programmed" && oneArg) {
        *text = ProgrammedLine(args[0]);
    } else if (name == "failure" && oneArg) {
        *text = FailureLines(args[0]);
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: expected-output NAME [ARGUMENT...]\n");
        return 2;
    }
    const std::string name = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (name == "summary") {
        if (args.size() != 1) {
            std::fprintf(stderr, "usage: expected-output summary KEY < simulator-stderr\n");
            return 2;
        }
        const std::string err((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
        const std::map<std::string, std::string> summary = SimulatorSummary(err);
        auto field = summary.find(args[0]);
        if (field == summary.end()) return 1;
        std::fwrite(field->second.data(), 1, field->second.size(), stdout);
        return 0;
    }
    std::string text;
    if (!Expected(name, args, &text)) {
        std::fprintf(stderr, "expected-output: no text for '%s' with these arguments\n", name.c_str());
        return 2;
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
