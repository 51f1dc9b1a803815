// SPDX-License-Identifier: MIT
// What a brivane run's end means for the board and for its port, and the board's
// line in the record (JSON Lines).
#pragma once

#include <cstdint>
#include <string>

#include "brivane_output.h"

enum class BoardResult { Ok, DeviceRefused, FileProblem, PortUnavailable, PortLost, Stopped, Crashed };

// How a child ended, as waitpid tells it, and what the station knows of it.
struct ChildEnd {
    bool exited = false;      // ended through exit: `exitStatus` holds its status
    int exitStatus = 0;
    int signalNumber = 0;     // else the signal that ended it
    bool reachedPrompt = false;    // it printed the button prompt: the port was its own
    bool boardStarted = false;     // a board answered: the loader went out
    bool stoppedByStation = false;  // the station sent it an ending signal
};

BoardResult ClassifyEnd(const ChildEnd& end);

// The record's name of a result: "ok", "device-refused", ...
const char* ResultName(BoardResult result);

// A few words for the display: "OK", "FAILED: device refused the image", ...
std::string ResultText(BoardResult result, const ChildEnd& end);

// Whether the end is a board's, to record: a run stopped by the station before any
// board came was none, and a port found in use is tried again without a record
// unless each port runs only once.
bool EndIsRecorded(const ChildEnd& end, BoardResult result, bool once);

enum class PortNext {
    StartAgain,  // as soon as the port's device is there
    TryLater,    // the port is in use: a few seconds on
    Done,        // nothing more on this port
};

// After a run on a port: a run that ended before the button prompt for a reason
// other than the port (a missing loader, brivane not runnable) would end the same
// way at once if started again, so the port is done.
PortNext NextForPort(const ChildEnd& end, BoardResult result, bool once, bool stopping);

enum class StopAction { None, End, Kill };

// What a running child gets when the station's stop reaches `level`: 1, the first
// stop, ends the runs that have no board yet and lets boards in progress finish; 2,
// the second, ends those too; 3 kills whatever still runs. `endSent` and `killSent`
// say what the child already got.
StopAction StopActionFor(int level, bool boardStarted, bool endSent, bool killSent);

// One board in the record.
struct BoardRecord {
    std::string time;  // the end of the run, UTC, YYYY-MM-DDTHH:MM:SSZ
    std::string port;  // "COM2"
    std::string device;
    std::string adapter;  // empty: the system gave it no stable name (null)
    std::string image;
    int64_t imageBytes = 0;
    std::string imageSha256;
    int baud = 0;
    bool hasExitStatus = false;  // false: a signal ended the run (null)
    int exitStatus = 0;
    std::string result;
    double seconds = 0;
    std::string message;
};

// One JSON object and its line end. Text that is not valid UTF-8 keeps its valid
// parts; each byte that is not is written as U+FFFD.
std::string FormatRecordLine(const BoardRecord& record);

// "2024-05-01T12:34:56Z" for seconds since the epoch.
std::string UtcTimeStamp(int64_t secondsSinceEpoch);
