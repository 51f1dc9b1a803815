// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "station_child.h"

bool MakeCloseOnExecPipe(int ends[2]) {
    if (pipe(ends) != 0) {
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        int flags = fcntl(ends[i], F_GETFD);
        if (flags < 0 || fcntl(ends[i], F_SETFD, flags | FD_CLOEXEC) != 0) {
            close(ends[0]);
            close(ends[1]);
            return false;
        }
    }
    return true;
}

bool StartChild(const std::string& program, const std::vector<std::string>& args, const ChildGuard& guard,
                Child* child) {
    int output[2];
    if (!MakeCloseOnExecPipe(output)) {
        return false;
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t station = getpid();

    pid_t pid = fork();
    if (pid < 0) {
        close(output[0]);
        close(output[1]);
        return false;
    }
    if (pid == 0) {
        // Only calls that are safe between fork and exec from here on.
        setsid();
        GuardChild(guard, station);
        int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (nothing < 0 || dup2(nothing, 0) < 0 || dup2(output[1], 1) < 0 || dup2(output[1], 2) < 0) {
            _exit(127);
        }
        // brivane starts with the signals as a shell would give them.
        const int kReset[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, SIGCHLD};
        for (int signalNumber : kReset) {
            signal(signalNumber, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(output[1]);
    int flags = fcntl(output[0], F_GETFL);
    if (flags >= 0) {
        fcntl(output[0], F_SETFL, flags | O_NONBLOCK);
    }
    child->pid = pid;
    child->output = output[0];
    return true;
}
