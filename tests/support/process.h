// SPDX-License-Identifier: MIT
// Runs the built programs as a user would: in a working directory of the test's
// choosing, standard input from /dev/null, and in a session of their own so that
// they have no terminal unless the test gives them one.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessResult {
    int exitStatus = -1;  // -1 when killed or not ended in time
    bool timedOut = false;
    std::string out;
    std::string err;
};

struct RunningProcess {
    pid_t pid = -1;
    int outPipe = -1;
    int errPipe = -1;
    std::string out;
    std::string err;
    bool reaped = false;
    int waitStatus = 0;
};

// `terminalSlave`, when given, becomes the child's controlling terminal (stdin stays
// /dev/null), and with `outputToTerminal` its standard output and error too (the
// test reads them on the master side); otherwise the child has no terminal at all.
bool StartProcess(const std::vector<std::string>& argv, const std::string& workingDirectory,
                  RunningProcess* process, const std::string& terminalSlave = "",
                  bool outputToTerminal = false);

// Collects output until the process ends or `timeoutMs` passes (then it is killed).
ProcessResult FinishProcess(RunningProcess* process, int timeoutMs);

// Collects output for up to `ms` without ending the process; true while it still runs.
bool StillRunningAfter(RunningProcess* process, int ms);

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& workingDirectory,
                         int timeoutMs);

// A fresh temporary folder, removed by the destructor.
struct TemporaryFolder {
    TemporaryFolder();
    ~TemporaryFolder();
    std::string File(const std::string& name) const { return path + "/" + name; }
    void Write(const std::string& name, const std::string& content) const;
    std::string Read(const std::string& name) const;
    std::string path;
};
