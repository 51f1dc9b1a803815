// SPDX-License-Identifier: MIT
// A serial port played from a script, linked in place of a real back end: the
// device's answers are queued in advance, everything the updater sends is recorded,
// and sleeps advance a virtual clock instead of taking time.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct ScriptedRead {
    int result;    // kSerialOk, kSerialTimeout or kSerialFailed
    uint8_t byte;  // meaningful with kSerialOk
};

struct ScriptedPortState {
    std::deque<ScriptedRead> reads;  // when empty, every read times out
    bool writesFail = false;
    bool readsFailWhenEmpty = false;
    // Silence makes the back end probe the port, and the probe fails: the port is gone.
    bool probeFails = false;
    std::string written;             // every byte written, in order
    std::vector<int> writeSizes;     // the size of each Write call
    long long sleptMs = 0;           // virtual time spent in sleeps
    long long readTimeouts = 0;      // reads that ended without a byte
    int16_t timeoutMs = 0;
};

extern ScriptedPortState scripted;

void ResetScriptedPort();
void QueueBytes(const std::string& bytes);
void QueueSilence(int count);
