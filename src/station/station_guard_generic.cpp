// SPDX-License-Identifier: MIT
// Any POSIX system: the station holds the only write end of a pipe. For each child a
// small watcher process waits on its read end; when the station ends, however it
// ends, the pipe reports its end and the watcher ends the child (SIGTERM, and SIGKILL
// should that not do within a second and a half).
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "station_child.h"
#include "station_files.h"

namespace {

// Whether the pipe's other side stays open for `ms` (-1: as long as it does).
bool StaysOpen(int fd, int ms) {
    for (;;) {
        struct pollfd waiter = {fd, POLLIN, 0};
        int ready = poll(&waiter, 1, ms);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            return true;
        }
        char byte;
        if (ready < 0 || read(fd, &byte, 1) <= 0) {
            return false;
        }
    }
}

void Watch(int lifeRead, int childAlive, pid_t child) {
    struct pollfd waiters[2] = {{lifeRead, POLLIN, 0}, {childAlive, POLLIN, 0}};
    for (;;) {
        int ready = poll(waiters, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0 || waiters[1].revents != 0) {
            _exit(0);  // the child has ended by itself
        }
        if (waiters[0].revents != 0) {
            break;  // the station has ended: nothing is ever written to the pipe
        }
    }
    kill(child, SIGTERM);
    if (StaysOpen(childAlive, 1500)) {
        kill(child, SIGKILL);
    }
    _exit(0);
}

}  // namespace

bool PrepareChildGuard(ChildGuard* guard) {
    int life[2];
    if (!MakeCloseOnExecPipe(life)) {
        return false;
    }
    guard->lifeRead = life[0];
    guard->lifeWrite = life[1];
    return true;
}

void GuardChild(const ChildGuard& guard, pid_t station) {
    close(guard.lifeWrite);
    // Open in the child across exec, so that it closes when the child ends.
    int alive[2];
    if (pipe(alive) != 0) {
        _exit(127);
    }
    const pid_t child = getpid();
    pid_t watcher = fork();
    if (watcher < 0) {
        _exit(127);
    }
    if (watcher == 0) {
        // Holds nothing of the child's: its output pipe must end with the child.
        for (int fd = 0; fd < 1024; ++fd) {
            if (fd != guard.lifeRead && fd != alive[0]) {
                close(fd);
            }
        }
        Watch(guard.lifeRead, alive[0], child);
    }
    close(alive[0]);
    close(guard.lifeRead);
    // The station may have ended before the watcher was in place; it sees that too.
    if (getppid() != station) {
        _exit(127);
    }
}

std::string OwnExecutablePath(const char* argv0) {
    // Without a system call that names it, the path the program was started by.
    if (argv0 == nullptr || std::string(argv0).find('/') == std::string::npos) {
        return "";
    }
    char resolved[PATH_MAX];
    return realpath(argv0, resolved) != nullptr ? resolved : "";
}
