// SPDX-License-Identifier: MIT
#include "display.h"

#include <cstdio>

std::string PhaseText(BoardPhase phase, int percent) {
    switch (phase) {
        case BoardPhase::Starting:
            return "starting";
        case BoardPhase::WaitingForBoard:
            return "waiting for a board";
        case BoardPhase::Loading:
            return "loading";
        case BoardPhase::Erasing:
            return "erasing " + std::to_string(percent) + "%";
        case BoardPhase::Programming:
            break;
    }
    return "programming " + std::to_string(percent) + "%";
}

std::string StateKey(const std::string& stateText) {
    std::string::size_type sign = stateText.rfind('%');
    if (sign == std::string::npos || sign + 1 != stateText.size()) {
        return stateText;
    }
    std::string::size_type space = stateText.rfind(' ', sign);
    return space == std::string::npos ? stateText : stateText.substr(0, space);
}

std::string FormatElapsed(double seconds) {
    long whole = seconds < 0 ? 0 : static_cast<long>(seconds);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    }
    return text;
}

std::string PortLine(const PortView& view) {
    char line[512];
    std::snprintf(line, sizeof line, "%-5s %-22.22s %-34.34s %7s", view.port.c_str(),
                  view.device.empty() ? "-" : view.device.c_str(), view.state.c_str(),
                  FormatElapsed(view.secondsInState).c_str());
    std::string text = line;
    if (!view.lastResult.empty()) {
        text += "   last: " + view.lastResult;
    }
    return text;
}

std::string SummaryLine(const SessionTotals& totals) {
    std::string text = "OK " + std::to_string(totals.ok) + "   failed " + std::to_string(totals.failed) +
                       "   session " + FormatElapsed(totals.seconds);
    if (totals.stopping && totals.finishing > 0) {
        text += "   stopping: " + std::to_string(totals.finishing) +
                (totals.finishing == 1 ? " board finishing" : " boards finishing") +
                " (Ctrl+C again stops them)";
    } else if (totals.stopping) {
        text += "   stopping";
    }
    return text;
}

namespace {

// A device name comes from a link anyone may have made: control characters in it
// must not reach the terminal as commands.
std::string Printable(const std::string& text) {
    std::string shown = text;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return shown;
}

// Cuts to `columns` characters, counting a UTF-8 sequence as one.
std::string CutToColumns(const std::string& text, int columns) {
    int count = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
            continue;
        }
        if (count == columns) {
            return text.substr(0, i);
        }
        ++count;
    }
    return text;
}

}  // namespace

std::string TerminalFrame(int previousLines, const std::vector<std::string>& messages,
                          const std::vector<std::string>& lines, int width) {
    const int columns = width > 1 ? width - 1 : 1;
    std::string out;
    if (previousLines > 0) {
        out += "\r\x1b[" + std::to_string(previousLines) + "A";
    }
    for (const std::vector<std::string>* group : {&messages, &lines}) {
        for (const std::string& line : *group) {
            out += "\r\x1b[2K";
            out += CutToColumns(Printable(line), columns);
            out += '\n';
        }
    }
    // Whatever the terminal echoed below the frame (a "^C") goes too.
    out += "\x1b[J";
    return out;
}

std::string ChangeLine(const std::string& timeStamp, const std::string& text) {
    return timeStamp + " " + Printable(text) + "\n";
}
