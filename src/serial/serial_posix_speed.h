// Line speed and latency settings that plain termios cannot express everywhere.
#pragma once

#include <cstdint>

// Sets both directions of the line to `baud` bits per second, including rates that
// have no B-constant (28800) where the system can set them. Returns 0, or -1 with
// errno set (EINVAL for a rate the system cannot set).
int SetLineSpeed(int fd, int32_t baud);

// Asks the driver to hand over received bytes at once; ports that cannot are fine.
void RequestLowLatency(int fd);
