// The serial link to the device: one SerialPort record and the operations on it.
// Operations that can fail return a SerialResult; none of them throws.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <termios.h>
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
    } savedTimeouts;    // VMIN/VTIME found at opening, never written back
    char lockFile[64];  // the device's lock file while we hold it, else empty
#endif
    int readTimeoutMs;          // 0: a read waits without limit
    bool lost;                  // the line hung up or the device went away: nothing will come
    unsigned reportedFailures;  // SerialOperation bits whose failure is reported, no success since
    // Per SerialOperation bit: when its failures began, on the back end's clock.
    uint32_t failingSinceMs[6];
};

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

// A failed call, at `nowMs` on the back end's steady millisecond clock; returns whether
// to report it (as ShouldReportFailure). `certain`: the failure alone shows that the
// device is gone. Otherwise the port is lost once the same operation has failed for
// about two seconds without a success between: some drivers answer a pulled adapter
// with error codes of their own.
bool NoteFailure(SerialPort* port, SerialOperation operation, bool certain, uint32_t nowMs);
