// SPDX-License-Identifier: MIT
// Line speed and latency settings that plain termios cannot express everywhere.
#pragma once

#include <cstdint>

// Sets both directions of the line to `baud` bits per second, including rates that
// have no B-constant (28800) where the system can set them. Returns 0, or -1 with
// errno set (EINVAL for a rate the system cannot set).
int SetLineSpeed(int fd, int32_t baud);

// The rate the line behind `fd` is set to, as the system holds it (rates without a
// B-constant included); -1 when it cannot be read.
long LineSpeedOf(int fd);

// Whether SetLineSpeed can set a rate that has no B-constant (28800) on this system.
bool AnyRateCanBeSet();

// Asks the driver to hand over received bytes at once; ports that cannot are fine.
// Returns whether it switched the driver's low-latency mode on, so that
// EndLowLatency can leave the adapter as it was found.
bool RequestLowLatency(int fd);
void EndLowLatency(int fd);

// Linux: the driver's serial flags that switch its low latency (ASYNC_LOW_LATENCY)
// `on`, from the `flags` it has now; false when it already is as asked, so that there
// is nothing to switch now, nor to switch back at the end.
bool LowLatencyFlagsToSet(int flags, bool on, int* toSet);
