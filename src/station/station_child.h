// SPDX-License-Identifier: MIT
// Starting a brivane run as a child that cannot outlive the station. POSIX.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// What ends every child when the station itself ends without ending them (killed
// outright). Linux: the kernel's parent-death signal. Other systems: a pipe whose
// write end only the station holds, watched for each child by a small process.
struct ChildGuard {
    int lifeRead = -1;
    int lifeWrite = -1;
};

// Platform files implement these two.
bool PrepareChildGuard(ChildGuard* guard);
// In the new child, before exec: from now on the end of `station` ends this process
// with SIGTERM; returns only when that is arranged (else the child leaves at once).
void GuardChild(const ChildGuard& guard, pid_t station);

struct Child {
    pid_t pid = -1;
    int output = -1;  // standard output and error of the child, non-blocking
};

// Runs `program` with `args` (args[0] included) in a session of its own, with no
// controlling terminal, standard input from /dev/null and both outputs to a pipe.
bool StartChild(const std::string& program, const std::vector<std::string>& args, const ChildGuard& guard,
                Child* child);

// A pipe whose two ends are closed on exec; false on failure (nothing left open).
bool MakeCloseOnExecPipe(int ends[2]);
