// SPDX-License-Identifier: MIT
#include "cli.h"

#include <cstring>

#include "console.h"
#include "handoff.h"
#include "serial.h"

// Set when the run erases the whole flash; the serial module's counter reads it.
bool eraseMode = false;

namespace {

bool IsCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

int32_t ConvertDecimal(const char* text) {
    while (IsCSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    uint32_t value = 0;  // unsigned, so that a long number wraps instead of overflowing
    while (*text >= '0' && *text <= '9') {
        value = value * 10u + static_cast<uint32_t>(*text - '0');
        ++text;
    }
    if (negative) {
        value = 0u - value;
    }
    return static_cast<int32_t>(value);
}

CommandLineVerdict ReadCommandLine(int argc, const char* const* argv, RunSettings* settings) {
    if (argc < 2 || argc > 4) {
        return CommandLineVerdict::Usage;
    }
    settings->portNumber = 1;
    settings->baudRate = 115200;
    if (argc >= 3) {
        settings->portNumber = ConvertDecimal(argv[2]);
        if (settings->portNumber < 1 || settings->portNumber > 8) {
            return CommandLineVerdict::BadPort;
        }
    }
    if (argc == 4) {
        settings->baudRate = ConvertDecimal(argv[3]);
        if (!IsAcceptedBaudRate(settings->baudRate)) {
            return CommandLineVerdict::BadBaudRate;
        }
    }
    settings->imagePath = nullptr;
    if (std::strcmp(argv[1], "testcomm") == 0) {
        settings->mode = RunMode::Test;
    } else if (std::strcmp(argv[1], "erase") == 0) {
        settings->mode = RunMode::Erase;
    } else {
        settings->mode = RunMode::Program;
        settings->imagePath = argv[1];
    }
    return CommandLineVerdict::Accepted;
}

void PrintUsage() {
    ConsolePrintf(
        "Usage: Brivane <filename or 'testcomm' or 'erase'> {<comm port> {<baud rate> }}\n"
        "   Default comm port is 1, default baud rate is 115200\n"
        "   Using 'testcomm' instead of a filename will just test that communications\n"
        "\t\twith the Veskor are working but will not download a file.\n"
        "   Using 'erase' instead of a filename will erase the entire flash memory.\n");
}
