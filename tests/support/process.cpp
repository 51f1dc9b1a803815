// SPDX-License-Identifier: MIT
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

long long NowMs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Drains whatever the pipes hold, waiting up to `ms`; false once both are closed.
bool Collect(RunningProcess* process, int ms) {
    struct pollfd pipes[2] = {{process->outPipe, POLLIN, 0}, {process->errPipe, POLLIN, 0}};
    if (process->outPipe < 0 && process->errPipe < 0) {
        return false;
    }
    if (poll(pipes, 2, ms) <= 0) {
        return true;
    }
    int* fds[2] = {&process->outPipe, &process->errPipe};
    std::string* sinks[2] = {&process->out, &process->err};
    for (int i = 0; i < 2; ++i) {
        if (*fds[i] < 0 || pipes[i].revents == 0) continue;
        char buffer[65536];
        ssize_t got = read(*fds[i], buffer, sizeof buffer);
        if (got > 0) {
            sinks[i]->append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            close(*fds[i]);
            *fds[i] = -1;
        }
    }
    return true;
}

bool Reaped(RunningProcess* process) {
    if (!process->reaped && waitpid(process->pid, &process->waitStatus, WNOHANG) == process->pid) {
        process->reaped = true;
    }
    return process->reaped;
}

}  // namespace

bool StartProcess(const std::vector<std::string>& argv, const std::string& workingDirectory,
                  RunningProcess* process, const std::string& terminalSlave, bool outputToTerminal) {
    *process = RunningProcess{};
    int outPipe[2];
    int errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        setsid();
        int tty = -1;
        if (!terminalSlave.empty()) {
            tty = open(terminalSlave.c_str(), O_RDWR);  // becomes the controlling terminal
            if (tty >= 0) ioctl(tty, TIOCSCTTY, 0);
        }
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(outputToTerminal && tty >= 0 ? tty : outPipe[1], 1);
        dup2(outputToTerminal && tty >= 0 ? tty : errPipe[1], 2);
        for (int fd = 3; fd < 256; ++fd) close(fd);
        if (chdir(workingDirectory.c_str()) != 0) _exit(126);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    process->pid = pid;
    process->outPipe = outPipe[0];
    process->errPipe = errPipe[0];
    return true;
}

bool StillRunningAfter(RunningProcess* process, int ms) {
    long long end = NowMs() + ms;
    for (long long now = NowMs(); now < end; now = NowMs()) {
        if (!Collect(process, static_cast<int>(end - now))) {
            usleep(static_cast<useconds_t>((end - now) * 1000));
        }
    }
    return !Reaped(process);
}

ProcessResult FinishProcess(RunningProcess* process, int timeoutMs) {
    ProcessResult result;
    long long deadline = NowMs() + timeoutMs;
    while (Collect(process, 50)) {
        if (NowMs() > deadline) {
            kill(process->pid, SIGKILL);
            result.timedOut = true;
            deadline = NowMs() + 5000;  // still drain what is left
        }
    }
    while (!Reaped(process)) {
        if (NowMs() > deadline && !result.timedOut) {
            kill(process->pid, SIGKILL);
            result.timedOut = true;
        }
        usleep(10000);
    }
    int status = process->waitStatus;
    result.exitStatus = WIFEXITED(status) && !result.timedOut ? WEXITSTATUS(status) : -1;
    result.out = process->out;
    result.err = process->err;
    return result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& workingDirectory,
                         int timeoutMs) {
    RunningProcess process;
    if (!StartProcess(argv, workingDirectory, &process)) {
        return ProcessResult{};
    }
    return FinishProcess(&process, timeoutMs);
}

TemporaryFolder::TemporaryFolder() {
    char pattern[] = "/tmp/brivane-e2e-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path = pattern;
}

TemporaryFolder::~TemporaryFolder() {
    if (!path.empty()) {
        std::string command = "rm -rf '" + path + "'";
        if (std::system(command.c_str()) != 0) std::perror("rm");
    }
}

void TemporaryFolder::Write(const std::string& name, const std::string& content) const {
    std::ofstream file(File(name), std::ios::binary);
    file << content;
}

std::string TemporaryFolder::Read(const std::string& name) const {
    std::ifstream file(File(name), std::ios::binary);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}
