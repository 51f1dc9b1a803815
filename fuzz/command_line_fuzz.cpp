// SPDX-License-Identifier: MIT
// The command line from arbitrary arguments: decimal conversion against a reference
// worked out another way, and the checks in the order the user is told about them.
//
// Input: the first byte picks how many arguments follow the program name (0..4), the
// rest is split at zero bytes into those arguments (missing ones are empty).
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "handoff.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text) {
    std::fprintf(stderr, "command_line_fuzz: %s for \"%s\"\n", what, text.c_str());
    std::abort();
}

// atoi with 32-bit wrap-around, computed from the run of digits: 10^32 is a multiple
// of 2^32, so only the last 32 digits count; they are read in two 16-digit halves.
int32_t ReferenceDecimal(const std::string& text) {
    size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    size_t end = at;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    std::string digits = text.substr(at, end - at);
    if (digits.size() > 32) digits = digits.substr(digits.size() - 32);
    digits.insert(0, 32 - digits.size(), '0');
    unsigned long long high = std::strtoull(digits.substr(0, 16).c_str(), nullptr, 10);
    unsigned long long low = std::strtoull(digits.substr(16).c_str(), nullptr, 10);
    const unsigned long long tenToSixteen = 10000000000000000ull;
    uint32_t value = static_cast<uint32_t>(high) * static_cast<uint32_t>(tenToSixteen) +
                     static_cast<uint32_t>(low);
    if (negative) value = ~value + 1u;
    // A short enough number must also agree with the C library itself.
    if (end - at <= 9) {
        long direct = std::strtol(text.c_str(), nullptr, 10);
        if (static_cast<int32_t>(direct) != static_cast<int32_t>(value)) {
            Fail("strtol and the digit-run reference disagree", text);
        }
    }
    return static_cast<int32_t>(value);
}

bool OneOfTheSixRates(int32_t baud) {
    switch (baud) {
        case 9600: case 19200: case 28800: case 38400: case 57600: case 115200:
            return true;
        default:
            return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int given = data[0] % 5;
    std::vector<std::string> arguments(static_cast<size_t>(given));
    size_t argument = 0;
    for (size_t i = 1; i < size && argument < arguments.size(); ++i) {
        if (data[i] == 0) {
            ++argument;
        } else {
            arguments[argument] += static_cast<char>(data[i]);
        }
    }

    for (const std::string& text : arguments) {
        if (ConvertDecimal(text.c_str()) != ReferenceDecimal(text)) {
            Fail("ConvertDecimal differs from the reference", text);
        }
    }

    std::vector<const char*> argv = {"brivane"};
    for (const std::string& text : arguments) argv.push_back(text.c_str());
    argv.push_back(nullptr);
    const int argc = given + 1;

    RunSettings settings{};
    settings.portNumber = -12345;
    settings.baudRate = -12345;
    CommandLineVerdict verdict = ReadCommandLine(argc, argv.data(), &settings);

    CommandLineVerdict expected = CommandLineVerdict::Accepted;
    long port = 1;
    int32_t baud = 115200;
    if (argc < 2 || argc > 4) {
        expected = CommandLineVerdict::Usage;
    } else {
        if (argc >= 3) port = ReferenceDecimal(arguments[1]);
        if (argc == 4) baud = ReferenceDecimal(arguments[2]);
        if (port < 1 || port > 8) {
            expected = CommandLineVerdict::BadPort;
        } else if (!OneOfTheSixRates(baud)) {
            expected = CommandLineVerdict::BadBaudRate;
        }
    }
    if (verdict != expected) Fail("unexpected verdict", arguments.empty() ? "" : arguments[0]);
    if (verdict != CommandLineVerdict::Accepted) return 0;

    if (settings.portNumber < 1 || settings.portNumber > 8) Fail("port outside 1..8 accepted", arguments[0]);
    if (!IsAcceptedBaudRate(settings.baudRate) || !OneOfTheSixRates(settings.baudRate)) {
        Fail("baud rate outside the six accepted", arguments[0]);
    }
    if (settings.portNumber != port || settings.baudRate != baud) Fail("settings differ", arguments[0]);
    const char speedCode = SpeedCodeFor(settings.baudRate);
    if (speedCode < '0' || speedCode > '5') Fail("speed code outside 0..5", arguments[0]);
    if (arguments[0] == "testcomm") {
        if (settings.mode != RunMode::Test || settings.imagePath != nullptr) Fail("not test mode", arguments[0]);
    } else if (arguments[0] == "erase") {
        if (settings.mode != RunMode::Erase || settings.imagePath != nullptr) Fail("not erase mode", arguments[0]);
    } else if (settings.mode != RunMode::Program || settings.imagePath != argv[1]) {
        Fail("not program mode with the path as typed", arguments[0]);
    }
    return 0;
}
