// SPDX-License-Identifier: MIT
// The key wait and terminal detection on Linux and macOS.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "console.h"
#include "ending_signals.h"

namespace {

int g_terminal = -1;
struct termios g_previousMode;

void RestoreTerminal() {
    if (g_terminal >= 0) {
        tcsetattr(g_terminal, TCSANOW, &g_previousMode);
    }
}

EndingSignalHandlers g_handlersBeforeWait;

// A signal that ends the process during the wait must not leave the terminal raw.
// The handler from before the wait then gets the signal (the serial module's
// removes the port's lock file), or it ends the process as by default.
void RestoreAndPassOn(int signalNumber) {
    RestoreTerminal();
    PassEndingSignalOn(signalNumber, g_handlersBeforeWait);
}

bool ReadWithin(int fd, unsigned char* byte, int milliseconds) {
    struct pollfd waiter = {fd, POLLIN, 0};
    if (poll(&waiter, 1, milliseconds) <= 0) {
        return false;
    }
    return read(fd, byte, 1) == 1;
}

// Function, cursor and editing keys arrive as escape sequences: ESC [ ... final,
// ESC O x. The rest of the sequence follows at once; a lone Escape does not.
void ConsumeEscapeSequence(int fd) {
    unsigned char next = 0;
    if (!ReadWithin(fd, &next, 30)) {
        return;
    }
    if (next == 'O') {
        ReadWithin(fd, &next, 30);
        return;
    }
    if (next != '[') {
        return;
    }
    while (ReadWithin(fd, &next, 30)) {
        if (next >= 0x40 && next <= 0x7E) {
            return;
        }
    }
}

}  // namespace

void WaitForKey() {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    if (tcgetattr(fd, &g_previousMode) != 0) {
        close(fd);
        return;
    }
    struct termios keyMode = g_previousMode;
    keyMode.c_lflag &= ~(ICANON | ECHO | ISIG);
    keyMode.c_iflag &= ~(IXON);
    keyMode.c_cc[VMIN] = 1;
    keyMode.c_cc[VTIME] = 0;

    g_terminal = fd;
    InstallEndingSignalHandler(RestoreAndPassOn, &g_handlersBeforeWait);
    // TCSANOW keeps keys typed earlier in the run: the first of them ends the wait.
    if (tcsetattr(fd, TCSANOW, &keyMode) == 0) {
        unsigned char key = 0;
        ssize_t got;
        do {
            got = read(fd, &key, 1);
        } while (got < 0 && errno == EINTR);
        if (got == 1 && key == 0x1B) {
            ConsumeEscapeSequence(fd);
        }
        RestoreTerminal();
    }
    g_terminal = -1;
    RestoreEndingSignalHandlers(g_handlersBeforeWait);
    close(fd);
}

// The output is a courtesy: a reader that goes away (| head, a pager quit) must not end
// a flash half done. Writes then fail, and nothing depends on them.
void SetUpConsoleForRun() {
    signal(SIGPIPE, SIG_IGN);
}
