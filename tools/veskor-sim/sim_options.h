// SPDX-License-Identifier: MIT
// Command-line options of veskor-sim and their parser.
#pragma once

#include <string>
#include <vector>

// Moments of the updater's waits without end at which the device can drop the line.
enum class HangupMoment { None, PowerUp, Sync, Erase };

struct SimOptions {
    int portNumber = 1;             // the link is named COM<portNumber>
    std::string flashPath;          // where to write the flash at the end; empty: nowhere
    std::string initialPath;        // flash content at start; empty: all 0xFF
    double eraseSeconds = 0.0;      // time the erase takes
    long noiseBytes = 0;            // bytes sent before "<"
    long refuseBlock = 0;           // block (from 1) refused although good; 0: none
    long refuseCount = 0;           // how many times it is refused
    long silentFromBlock = 0;       // first block never answered; 0: none
    bool verdictFail = false;       // answer "^" although every block was good
    long garbageBeforeVerdict = 0;  // bytes sent before the verdict
    long flipBitBlock = 0;          // block whose first sending arrives with one bit flipped
    long hangupAfterBlock = 0;      // block after which the simulator hangs up
    HangupMoment hangupAt = HangupMoment::None;
    bool pace = false;              // deliver and answer at the wire's speed
    double timeoutSeconds = 0.0;    // give up when no session end by then; 0: never
    std::string linePath;           // an existing terminal to play the device on; empty: own pty
    double powerUpAfterSeconds = -1.0;  // on a line: power up after this long; < 0: on demand only
    bool showHelp = false;
};

// Parses the arguments after the program name. On failure returns false and
// describes the problem in *error.
bool ParseOptions(const std::vector<std::string>& args, SimOptions* options, std::string* error);

const char* HelpText();
