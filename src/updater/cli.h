// SPDX-License-Identifier: MIT
// The command line: run mode, port number and baud rate.
#pragma once

#include <cstdint>

enum class RunMode { Program, Test, Erase };

struct RunSettings {
    RunMode mode;
    const char* imagePath;  // program mode only, as typed
    long portNumber;
    int32_t baudRate;
};

enum class CommandLineVerdict { Accepted, Usage, BadPort, BadBaudRate };

// Decimal conversion as the C library's atoi does it, with 32-bit wrap-around:
// leading white space, one sign, digits up to the first other character.
int32_t ConvertDecimal(const char* text);

// Checks the arguments in the order the user is told about them: count, port, baud
// rate; on Accepted, `settings` holds the run's settings (eraseMode is not touched).
CommandLineVerdict ReadCommandLine(int argc, const char* const* argv, RunSettings* settings);

void PrintUsage();
