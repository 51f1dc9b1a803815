// SPDX-License-Identifier: MIT
// A pseudo-terminal pair for tests of the serial back end: the test plays the device
// on the master side while the updater's code opens the slave through a COMN link.
#pragma once

#include <cstdint>
#include <string>

struct PtyPair {
    int master = -1;
    std::string slavePath;
};

// Opens a pair, in raw mode unless a cooked terminal is asked for (a pseudo-terminal
// has one set of modes, seen from both sides); returns false on failure.
bool OpenPtyPair(PtyPair* pair, bool raw = true);
void ClosePtyPair(PtyPair* pair);

// The lock file that brivane takes in /run/lock for the terminal at `slavePath`.
std::string DeviceLockFile(const std::string& slavePath);

// Reads exactly `count` bytes from `fd`, waiting at most `timeoutMs` for each.
std::string ReadExactly(int fd, size_t count, int timeoutMs);
