// SPDX-License-Identifier: MIT
// Console output helpers: in-place counters, line clearing, the closing prompt.
#pragma once

// Makes every write visible at once, on a terminal, a pipe or a file alike, and sets
// the console up for the run (SetUpConsoleForRun).
void ConsoleInit();

// MinGW's C++ formats with its own printf family, which checks as GNU's does.
#ifdef __MINGW32__
#define BRIVANE_PRINTF_FORMAT gnu_printf
#else
#define BRIVANE_PRINTF_FORMAT printf
#endif

// printf for the program's messages: the whole message is formatted first and goes
// out in one write (MinGW's printf writes unbuffered output a character at a time).
void ConsolePrintf(const char* format, ...) __attribute__((format(BRIVANE_PRINTF_FORMAT, 1, 2)));

// Prints `label` followed by "(  0%)"; CounterUpdate rewrites the number in place.
void CounterStart(const char* label);
void CounterUpdate(int percent);

// Carriage return, `blanks` blanks, carriage return.
void ClearLine(int blanks);

// Prints "Press any key to continue" and waits for one key press.
void PromptForKey();

// Windows: on a console, UTF-8 output where the program gets its arguments in UTF-8,
// and QuickEdit off so that a mouse selection cannot pause the run; the console is
// put back as it was at every end, Ctrl+C and a closed window included. POSIX: a
// closed output (SIGPIPE) does not end the run. Platform back ends implement it.
void SetUpConsoleForRun();

// Waits for one key press on the terminal itself, not on standard input; returns at
// once when there is no terminal. Platform back ends implement it.
void WaitForKey();
