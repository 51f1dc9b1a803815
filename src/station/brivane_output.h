// SPDX-License-Identifier: MIT
// Reads what a brivane run prints into the board's progress. brivane's messages are
// fixed; the texts the station looks for are all here. Its counters update in place
// with backspaces and carriage returns, so the output is read as a terminal would
// show it, one line at a time, whatever pieces the pipe delivers.
#pragma once

#include <cstddef>
#include <string>

namespace brivane_text {
// Printed once brivane has the port and waits for the device to power up.
inline const char kButtonPrompt[] = "Hold in the small recessed button";
inline const char kDownloading[] = "Downloading boot code...";
inline const char kErasing[] = "Erasing the FLASH...";
inline const char kProgramming[] = "Programming the FLASH...";
// The closing key prompt: never the message of a board.
inline const char kKeyPrompt[] = "Press any key to continue";
}  // namespace brivane_text

// In the order a run goes through them; a run never goes back.
enum class BoardPhase {
    Starting,         // brivane checks its files and opens the port
    WaitingForBoard,  // the button prompt is out: the port is ours, no board yet
    Loading,          // the loader goes to the boot ROM
    Erasing,
    Programming,
};

struct BoardProgress {
    BoardPhase phase = BoardPhase::Starting;
    int percent = 0;         // of Erasing and Programming
    std::string line;        // the line being written, as a terminal shows it
    size_t column = 0;       // where the next character lands in `line`
    std::string lastLine;    // the last finished line worth reporting, trimmed
};

void FeedBoardOutput(BoardProgress* progress, const char* data, size_t size);

// The run's last line of output that is not the closing key prompt (the line still
// being written counts, when it holds anything), trimmed; empty when there is none.
std::string BoardMessage(const BoardProgress& progress);

// Whether the run got as far as the button prompt: from then on the port was its own.
bool ReachedButtonPrompt(const BoardProgress& progress);
