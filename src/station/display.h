// SPDX-License-Identifier: MIT
// What the station shows. On a terminal: one line per port and a line of totals,
// redrawn in place. Elsewhere (a service's journal, a pipe, a file): one time-stamped
// line per change of a port's state.
#pragma once

#include <string>
#include <vector>

#include "brivane_output.h"

// "waiting for a board", "loading", "erasing 45%", "programming 7%", ...
std::string PhaseText(BoardPhase phase, int percent);

// The state without its per-cent figure: a change of it is a change of state.
std::string StateKey(const std::string& stateText);

struct PortView {
    std::string port;        // "COM1"
    std::string device;      // the device the port leads to, or empty
    std::string state;       // "programming 45%", "no adapter", "OK", ...
    double secondsInState = 0;
    std::string lastResult;  // of the port's previous board, while the next is awaited
};

// "0:07", "12:34", "1:02:03".
std::string FormatElapsed(double seconds);

std::string PortLine(const PortView& view);

struct SessionTotals {
    int ok = 0;
    int failed = 0;
    double seconds = 0;
    bool stopping = false;
    int finishing = 0;  // boards still being flashed while the station stops
};

std::string SummaryLine(const SessionTotals& totals);

// The bytes that replace the `previousLines` lines drawn last (the cursor is below
// them) with `messages`, which stay above, and then `lines`; each line is cut to
// `width` - 1 columns so that none wraps and the cursor moves stay right. What is
// below the frame is cleared.
std::string TerminalFrame(int previousLines, const std::vector<std::string>& messages,
                          const std::vector<std::string>& lines, int width);

// A line for the output that is not a terminal: "<time> <text>\n".
std::string ChangeLine(const std::string& timeStamp, const std::string& text);
