// SPDX-License-Identifier: MIT
// Plain poll() counts whole milliseconds, so paced replies may leave up to a
// millisecond late here.
#include <climits>

#include "sim_wait.h"

void RequestPreciseWaits() {}

int PollFor(struct pollfd* fds, nfds_t count, const struct timespec& wait) {
    // Rounded up: a wait rounded down to 0 ms would return before anything is due,
    // and the loop would spin until it is.
    long long milliseconds =
        static_cast<long long>(wait.tv_sec) * 1000 + (wait.tv_nsec + 999999) / 1000000;
    return poll(fds, count, milliseconds < INT_MAX ? static_cast<int>(milliseconds) : INT_MAX);
}
