// SPDX-License-Identifier: MIT
// Waiting for the terminal, the wake-up pipe or the next due time.
#pragma once

#include <poll.h>
#include <time.h>

// Asks the system to end waits as close to their time as it can.
void RequestPreciseWaits();

// poll() for at most `wait`: the result, errno and revents as poll() gives them.
int PollFor(struct pollfd* fds, nfds_t count, const struct timespec& wait);
