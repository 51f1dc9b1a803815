// SPDX-License-Identifier: MIT
// Console output helpers: in-place counters, line clearing, the closing prompt.
#pragma once

#include <cstddef>

// The first thing a run does, before it opens anything: the standard streams are made
// safe. POSIX: descriptors 0, 1 and 2 are open (on /dev/null where one was closed), so
// that no file and no port can take a standard descriptor's place and receive the
// messages; a reader that goes away does not end the run (SIGPIPE ignored). Windows:
// messages go to the standard output handle only if it is valid now, before any port
// exists. Returns false when a closed descriptor cannot be filled: the run must not
// open anything then. Platform back ends implement it.
bool PrepareStandardStreams();

// Windows: on a console, UTF-8 output where the program gets its arguments in UTF-8,
// and QuickEdit off so that a mouse selection cannot pause the run; the console is
// put back as it was at every end, Ctrl+C and a closed window included. Nothing to do
// elsewhere. Platform back ends implement it.
void SetUpConsoleForRun();

// MinGW's C++ formats with its own printf family, which checks as GNU's does.
#ifdef __MINGW32__
#define BRIVANE_PRINTF_FORMAT gnu_printf
#else
#define BRIVANE_PRINTF_FORMAT printf
#endif

// printf for the program's messages: the whole message is formatted first and goes
// out at once, in one write, whatever standard output is.
void ConsolePrintf(const char* format, ...) __attribute__((format(BRIVANE_PRINTF_FORMAT, 1, 2)));

// Writes `length` bytes of a message to standard output in one write where the system
// allows; a failed write is not an error of the run. Platform back ends implement it.
void WriteToOutput(const char* text, size_t length);

// Prints `label` followed by "(  0%)"; CounterUpdate rewrites the number in place.
void CounterStart(const char* label);
void CounterUpdate(int percent);

// Carriage return, `blanks` blanks, carriage return.
void ClearLine(int blanks);

// Prints "Press any key to continue" and waits for one key press.
void PromptForKey();

// Waits for one key press on the terminal itself, not on standard input; returns at
// once when there is no terminal. Platform back ends implement it.
void WaitForKey();
