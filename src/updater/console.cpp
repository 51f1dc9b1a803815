// SPDX-License-Identifier: MIT
#include "console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void ConsolePrintf(const char* format, ...) {
    char local[1024];
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(local, sizeof local, format, arguments);
    va_end(arguments);
    if (length >= 0 && static_cast<size_t>(length) < sizeof local) {
        WriteToOutput(local, static_cast<size_t>(length));
    } else if (length >= 0) {
        // A long file name: the message still goes out whole when memory allows.
        char* whole = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
        if (whole != nullptr) {
            std::vsnprintf(whole, static_cast<size_t>(length) + 1, format, again);
            WriteToOutput(whole, static_cast<size_t>(length));
            std::free(whole);
        } else {
            WriteToOutput(local, sizeof local - 1);
        }
    }
    va_end(again);
}

void CounterStart(const char* label) {
    ConsolePrintf("%s(  0%%)", label);
}

void CounterUpdate(int percent) {
    ConsolePrintf("\b\b\b\b\b%3d%%)", percent);
}

void ClearLine(int blanks) {
    ConsolePrintf("\r%*s\r", blanks, "");
}

void PromptForKey() {
    ConsolePrintf("Press any key to continue\n");
    WaitForKey();
}
