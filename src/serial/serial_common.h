// SPDX-License-Identifier: MIT
// What the serial back ends share (the POSIX and the Win32 one, and the tests'
// scripted port); the updater does not see it.
#pragma once

#include "serial.h"

// "COM1" .. "COM8": the names in messages, and on Windows the ports themselves.
extern const char* const kPortNames[8];

enum SerialOperation : unsigned {
    kOperationOpen = 1u << 0,
    kOperationConfigure = 1u << 1,
    kOperationSetTimeout = 1u << 2,
    kOperationPurge = 1u << 3,
    kOperationWrite = 1u << 4,
    kOperationRead = 1u << 5,
};

// The rule by which every back end marks a port lost and reports failures. A failed
// call, at `nowMs` on the back end's steady millisecond clock: `certain` when the error
// alone shows that the device is gone. Otherwise the port is lost once the same
// operation has failed for about two seconds without a success between: some drivers
// answer a pulled adapter with error codes of their own. Returns whether to report the
// failure: a port that fails every call would print the same report on every pass of
// a wait, so a failure is reported once, until the same operation succeeds again.
bool NoteFailure(SerialPort* port, SerialOperation operation, bool certain, uint32_t nowMs);
void NoteSuccess(SerialPort* port, SerialOperation operation);
