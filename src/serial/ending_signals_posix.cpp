// SPDX-License-Identifier: MIT
#include <cstdlib>

#include "ending_signals.h"

// SIGINT too: Ctrl+C on the terminal is a key during the key wait, but `kill -INT` is not.
const int kEndingSignals[kEndingSignalCount] = {SIGTERM, SIGHUP, SIGQUIT, SIGINT};

namespace {

sigset_t EndingSignalSet() {
    sigset_t ending;
    sigemptyset(&ending);
    for (int signalNumber : kEndingSignals) {
        sigaddset(&ending, signalNumber);
    }
    return ending;
}

}  // namespace

void InstallEndingSignalHandler(void (*handler)(int), EndingSignalHandlers* saved) {
    for (int i = 0; i < kEndingSignalCount; ++i) {
        sigaction(kEndingSignals[i], nullptr, &saved->previous[i]);
        if (saved->previous[i].sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = handler;
        // A second ending signal waits until the handler is done: a tidy-up is never
        // cut short by another.
        action.sa_mask = EndingSignalSet();
        sigaction(kEndingSignals[i], &action, nullptr);
    }
}

void RestoreEndingSignalHandlers(const EndingSignalHandlers& saved) {
    for (int i = 0; i < kEndingSignalCount; ++i) {
        sigaction(kEndingSignals[i], &saved.previous[i], nullptr);
    }
}

void PassEndingSignalOn(int signalNumber, const EndingSignalHandlers& saved) {
    for (int i = 0; i < kEndingSignalCount; ++i) {
        if (kEndingSignals[i] == signalNumber) {
            sigaction(signalNumber, &saved.previous[i], nullptr);
        }
    }
    raise(signalNumber);  // held until this handler returns
}

sigset_t BlockEndingSignals() {
    const sigset_t ending = EndingSignalSet();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &ending, &previous);
    return previous;
}

void RestoreSignalMask(const sigset_t& previous) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

namespace {

void (*g_tidyUps[4])();
int g_tidyUpCount = 0;
EndingSignalHandlers g_handlersBeforeTidyUp;

void TidyUp() {
    for (int i = g_tidyUpCount - 1; i >= 0; --i) {
        g_tidyUps[i]();
    }
}

void TidyUpAndPassOn(int signalNumber) {
    TidyUp();
    PassEndingSignalOn(signalNumber, g_handlersBeforeTidyUp);
}

}  // namespace

void TidyUpAtEveryEnd(void (*tidyUp)()) {
    for (int i = 0; i < g_tidyUpCount; ++i) {
        if (g_tidyUps[i] == tidyUp) {
            return;
        }
    }
    if (g_tidyUpCount == 0) {
        std::atexit(TidyUp);
        InstallEndingSignalHandler(TidyUpAndPassOn, &g_handlersBeforeTidyUp);
    }
    if (g_tidyUpCount < 4) {
        g_tidyUps[g_tidyUpCount++] = tidyUp;
    }
}
