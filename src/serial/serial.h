// SPDX-License-Identifier: MIT
// The serial link to the device: one SerialPort record and the operations on it.
// Operations that can fail return a SerialResult; none of them throws.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <termios.h>

#include "serial_posix_lock.h"
#endif

enum SerialResult : int {
    kSerialOk = 0,
    kSerialTimeout = 1,  // ReadByte only: no byte within the read time-out
    kSerialFailed = 2,
};

struct SerialPort {
#if defined(_WIN32)
    HANDLE handle;               // INVALID_HANDLE_VALUE when opening failed
    const char* portName;        // "COM1" .. "COM8"
    DCB savedState;              // line settings found at opening, never written back
    COMMTIMEOUTS savedTimeouts;  // time-outs found at opening, never written back
#else
    int handle;                 // file descriptor, -1 when opening failed
    const char* portName;       // "COM1" .. "COM8"
    struct termios savedState;  // line settings found at opening, never written back
    struct {
        cc_t minimumBytes;
        cc_t tenthsOfSecond;
    } savedTimeouts;     // VMIN/VTIME found at opening, never written back
    DeviceLock lock;     // the device's lock file while we hold it
#endif
    int readTimeoutMs;          // 0: a read waits without limit
    bool lost;                  // the line hung up or the device went away: nothing will come
    unsigned reportedFailures;  // SerialOperation bits whose failure is reported, no success since
    // Per SerialOperation bit: when its failures began, on the back end's clock.
    uint32_t failingSinceMs[6];
};

// The rates the link can run at, in the order in which the loader numbers them: its
// speed code '0' is 9600 baud, '5' is 115200.
inline constexpr int32_t kLineRates[] = {9600, 19200, 28800, 38400, 57600, 115200};
inline constexpr int kLineRateCount = sizeof kLineRates / sizeof kLineRates[0];

// Process-wide flag owned by the updater; WaitForChar reads it to scale its counter.
extern bool eraseMode;

int Open(SerialPort* port, int portNumber);
int Configure(SerialPort* port, int32_t baud);
int SetTimeout(SerialPort* port, int16_t milliseconds);
int PurgeInput(SerialPort* port);
int Write(SerialPort* port, const void* data, int count);
int ReadByte(SerialPort* port, uint8_t* dest);
void Pause(SerialPort* port);
void Close(SerialPort* port);

// Returns kSerialOk once `awaited` has been read; every other byte or silence costs a
// one-second pass and reprints the erase-progress line. Returns kSerialFailed at once
// when the port is lost, which would otherwise be waited on for ever.
int WaitForChar(SerialPort* port, uint8_t awaited);

// Back-end services shared by the portable parts of the module.
void SerialSleep(int milliseconds);
