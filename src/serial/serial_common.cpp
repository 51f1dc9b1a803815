// SPDX-License-Identifier: MIT
#include "serial_common.h"

const char* const kPortNames[8] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};

void NoteSuccess(SerialPort* port, SerialOperation operation) {
    port->reportedFailures &= ~static_cast<unsigned>(operation);
}

// Long enough for a passing fault to clear, short enough that a lost port ends the run
// at the third pass of WaitForChar, whose reads come a second apart.
const uint32_t kLostAfterFailingMs = 1900;

static_assert(kOperationRead == 1u << 5 &&
                  sizeof SerialPort::failingSinceMs == 6 * sizeof(uint32_t),
              "one start time per operation");

bool NoteFailure(SerialPort* port, SerialOperation operation, bool certain, uint32_t nowMs) {
    int bit = 0;
    while ((operation >> bit) != 1u) {
        ++bit;
    }
    const bool firstFailure = (port->reportedFailures & operation) == 0;
    port->reportedFailures |= operation;
    if (firstFailure) {
        port->failingSinceMs[bit] = nowMs;
    }
    // The unsigned difference stays right when the clock wraps.
    if (certain || nowMs - port->failingSinceMs[bit] >= kLostAfterFailingMs) {
        port->lost = true;
    }
    return firstFailure;
}
