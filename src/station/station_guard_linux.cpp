// SPDX-License-Identifier: MIT
// Linux: the kernel sends each child SIGTERM when the station ends, however it ends.
#include <limits.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "station_child.h"
#include "station_files.h"

bool PrepareChildGuard(ChildGuard*) {
    return true;
}

void GuardChild(const ChildGuard&, pid_t station) {
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
        _exit(127);
    }
    // The station may have ended before the signal was asked for.
    if (getppid() != station) {
        _exit(127);
    }
}

std::string OwnExecutablePath(const char*) {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : "";
}
