// Console output helpers: in-place counters, line clearing, the closing prompt.
#pragma once

// Makes every write visible at once, on a terminal, a pipe or a file alike.
void ConsoleInit();

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
