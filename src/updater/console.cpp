#include "console.h"

#include <csignal>
#include <cstdio>

// Unbuffered whatever standard output is: the counters and the button prompt have no
// line end, and a user who pipes the run into a log must still see them at once.
void ConsoleInit() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
#if defined(SIGPIPE)
    // The output is a courtesy: a reader that goes away (| head, a pager quit) must not
    // end a flash half done. Writes then fail, and nothing depends on them.
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

void CounterStart(const char* label) {
    std::printf("%s(  0%%)", label);
}

void CounterUpdate(int percent) {
    std::printf("\b\b\b\b\b%3d%%)", percent);
}

void ClearLine(int blanks) {
    std::printf("\r%*s\r", blanks, "");
}

void PromptForKey() {
    std::printf("Press any key to continue\n");
    std::fflush(stdout);
    WaitForKey();
}
