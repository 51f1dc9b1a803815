// SPDX-License-Identifier: MIT
// The signals with which a user or the system ends a run (Ctrl+C, kill, a closed
// terminal, quit), for the code that must tidy up before the process goes: the key
// wait puts the terminal back, the serial port removes its device lock. POSIX only.
#pragma once

#include <signal.h>

const int kEndingSignalCount = 4;
extern const int kEndingSignals[kEndingSignalCount];

// What each ending signal did before a handler was put in place.
struct EndingSignalHandlers {
    struct sigaction previous[kEndingSignalCount];
};

// Installs `handler` for every ending signal that is not ignored (a signal ignored
// from the start, as under nohup, stays ignored) and keeps the earlier handlers.
void InstallEndingSignalHandler(void (*handler)(int), EndingSignalHandlers* saved);
void RestoreEndingSignalHandlers(const EndingSignalHandlers& saved);

// For a handler, once it has tidied up: puts back the earlier handler and raises the
// signal again, so that the earlier handler, or the default end, follows.
void PassEndingSignalOn(int signalNumber, const EndingSignalHandlers& saved);

// Runs `tidyUp` when the process ends: at exit, and before an ending signal ends it
// (so `tidyUp` keeps to calls that are safe in a signal handler). Registered once
// per function; the latest registered runs first.
void TidyUpAtEveryEnd(void (*tidyUp)());

// Holds the ending signals back while a few quick calls must not be cut short;
// RestoreSignalMask lets through what came meanwhile.
sigset_t BlockEndingSignals();
void RestoreSignalMask(const sigset_t& previous);
