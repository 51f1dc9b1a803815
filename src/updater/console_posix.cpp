// SPDX-License-Identifier: MIT
// The console on Linux, macOS and the BSDs: the standard streams, the output and the
// key wait.
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

// A key outside ASCII (é, €, a Cyrillic letter) arrives as one UTF-8 character: its
// first byte tells how many more follow at once.
void ConsumeRestOfCharacter(int fd, unsigned char first) {
    int following = first >= 0xC2 && first <= 0xDF   ? 1
                    : first >= 0xE0 && first <= 0xEF ? 2
                    : first >= 0xF0 && first <= 0xF4 ? 3
                                                     : 0;
    unsigned char next = 0;
    while (following-- > 0 && ReadWithin(fd, &next, 30)) {
    }
}

// Function, cursor and editing keys arrive as escape sequences: ESC [ ... final,
// ESC O x; Alt with a key as ESC and the key's character. The rest follows at once; a
// lone Escape has none.
void ConsumeRestOfKey(int fd, unsigned char first) {
    if (first != 0x1B) {
        ConsumeRestOfCharacter(fd, first);
        return;
    }
    unsigned char next = 0;
    if (!ReadWithin(fd, &next, 30)) {
        return;
    }
    if (next == 'O') {
        ReadWithin(fd, &next, 30);
        return;
    }
    if (next != '[') {
        ConsumeRestOfCharacter(fd, next);
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
        if (got == 1) {
            ConsumeRestOfKey(fd, key);
        }
        RestoreTerminal();
    }
    g_terminal = -1;
    RestoreEndingSignalHandlers(g_handlersBeforeWait);
    close(fd);
}

bool PrepareStandardStreams() {
    // A standard descriptor left closed (`brivane fw.bin >&-`, a careless service
    // manager) would be the next file opened: the port itself, which would then get
    // every message in place of the device's commands.
    for (int standard = 0; standard <= 2; ++standard) {
        if (fcntl(standard, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        const int placeholder = open("/dev/null", O_RDWR | O_NOCTTY);
        if (placeholder < 0) {
            return false;
        }
        // The lowest free descriptor is this one, the ones below being open.
        if (placeholder != standard) {
            dup2(placeholder, standard);
            close(placeholder);
        }
    }
    // The output is a courtesy: a reader that goes away (| head, a pager quit) must not
    // end a flash half done. Writes then fail, and nothing depends on them.
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void SetUpConsoleForRun() {}

void WriteToOutput(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t written = write(STDOUT_FILENO, text, length);
        if (written > 0) {
            text += written;
            length -= static_cast<size_t>(written);
        } else if (written == 0 || errno != EINTR) {
            return;
        }
    }
}
