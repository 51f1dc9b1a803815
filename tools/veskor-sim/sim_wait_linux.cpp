// SPDX-License-Identifier: MIT
#include <sys/prctl.h>

#include "sim_wait.h"

void RequestPreciseWaits() {
    // Paced replies should leave when they are due, not up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

int PollFor(struct pollfd* fds, nfds_t count, const struct timespec& wait) {
    return ppoll(fds, count, &wait, nullptr);
}
