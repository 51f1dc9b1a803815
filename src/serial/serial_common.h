// What the POSIX and the Win32 back ends share; the updater does not see it.
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

// A port that fails every call would print the same report on every pass of a wait:
// a failure is reported once, until the same operation succeeds again.
bool ShouldReportFailure(SerialPort* port, SerialOperation operation);
void NoteSuccess(SerialPort* port, SerialOperation operation);
