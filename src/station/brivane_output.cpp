// SPDX-License-Identifier: MIT
#include "brivane_output.h"

#include <cstring>

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string Trimmed(const std::string& text) {
    const char* kBlank = " \t\v\f";
    std::string::size_type first = text.find_first_not_of(kBlank);
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
}

// The number in "...(NNN%)" or "... NNN%" at the end of a counter line; -1 when the
// line holds no complete counter.
int CounterValue(const std::string& line) {
    std::string::size_type sign = line.rfind('%');
    if (sign == std::string::npos) {
        return -1;
    }
    std::string::size_type start = sign;
    while (start > 0 && line[start - 1] >= '0' && line[start - 1] <= '9') {
        --start;
    }
    if (start == sign || sign - start > 6) {
        return -1;
    }
    return std::stoi(line.substr(start, sign - start));
}

void Advance(BoardProgress* progress, BoardPhase phase) {
    if (phase > progress->phase) {
        progress->phase = phase;
        progress->percent = 0;
    }
}

// Looks at the line as it stands, before a carriage return or line end clears it.
void Inspect(BoardProgress* progress) {
    const std::string text = Trimmed(progress->line);
    // A counter half rewritten ("( 99%)" becoming "100%)") reads wrong until its
    // last character is in: a value counts only with nothing but blanks (left by an
    // earlier clearing) after the cursor.
    const bool counterWhole = progress->line.find_first_not_of(' ', progress->column) == std::string::npos;
    if (text.empty()) {
        return;
    }
    if (text.find(brivane_text::kButtonPrompt) != std::string::npos) {
        Advance(progress, BoardPhase::WaitingForBoard);
        return;
    }
    if (StartsWith(text, brivane_text::kDownloading)) {
        Advance(progress, BoardPhase::WaitingForBoard);
        Advance(progress, BoardPhase::Loading);
        return;
    }
    // The wait for the device's first sign prints the erase counter too, for every
    // stray byte: only after the loader is it the erase.
    if (StartsWith(text, brivane_text::kErasing) && progress->phase >= BoardPhase::Loading) {
        Advance(progress, BoardPhase::Erasing);
        if (progress->phase == BoardPhase::Erasing) {
            int value = counterWhole ? CounterValue(text) : -1;
            progress->percent = value >= 0 ? value : progress->percent;
        }
        return;
    }
    if (StartsWith(text, brivane_text::kProgramming) && progress->phase >= BoardPhase::Erasing) {
        Advance(progress, BoardPhase::Programming);
        int value = counterWhole ? CounterValue(text) : -1;
        progress->percent = value >= 0 ? value : progress->percent;
    }
}

void EndLine(BoardProgress* progress) {
    Inspect(progress);
    std::string text = Trimmed(progress->line);
    if (!text.empty() && !StartsWith(text, brivane_text::kKeyPrompt)) {
        progress->lastLine = text;
    }
    progress->line.clear();
    progress->column = 0;
}

}  // namespace

void FeedBoardOutput(BoardProgress* progress, const char* data, size_t size) {
    // A line without end (a runaway child) must not grow without bound.
    const size_t kLongestLine = 4096;
    for (size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n') {
            EndLine(progress);
        } else if (c == '\r') {
            Inspect(progress);
            progress->column = 0;
        } else if (c == '\b') {
            if (progress->column > 0) {
                --progress->column;
            }
        } else if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') {
            if (progress->column >= kLongestLine) {
                continue;
            }
            if (progress->column < progress->line.size()) {
                progress->line[progress->column] = c;
            } else {
                progress->line.push_back(c);
            }
            ++progress->column;
        }
    }
    Inspect(progress);
}

std::string BoardMessage(const BoardProgress& progress) {
    std::string pending = Trimmed(progress.line);
    if (!pending.empty() && !StartsWith(pending, brivane_text::kKeyPrompt)) {
        return pending;
    }
    return progress.lastLine;
}

bool ReachedButtonPrompt(const BoardProgress& progress) {
    return progress.phase >= BoardPhase::WaitingForBoard;
}
