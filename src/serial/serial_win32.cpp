// SPDX-License-Identifier: MIT
// The serial link on Windows: the COM ports through kernel32's communications calls.
#include <cstdio>

#include "console.h"
#include "serial_common.h"

namespace {

const DWORD kPurgeEverything = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
const DWORD kPurgeBuffers = PURGE_TXCLEAR | PURGE_RXCLEAR;

// Two lines: where the failing call sits in this file, then the system's own text
// for the error (which brings its own line break).
void ReportSystemError(int line, DWORD errorCode) {
    ConsolePrintf("       Error detected in file %s, line %d \n", __FILE__, line);
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, errorCode, 0x400, reinterpret_cast<char*>(&text), 0, nullptr);
    if (length != 0 && text != nullptr) {
        ConsolePrintf("  %s\n", text);
    } else {
        ConsolePrintf("  system error %lu\n", static_cast<unsigned long>(errorCode));
    }
    if (text != nullptr) {
        LocalFree(text);
    }
}

// Errors with which Windows drivers answer once the device behind the port is gone
// (a USB adapter pulled out): waiting on such a port would never end.
bool MeansPortLost(DWORD errorCode) {
    switch (errorCode) {
        case ERROR_ACCESS_DENIED:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_GEN_FAILURE:
        case ERROR_HANDLE_EOF:
        case ERROR_INVALID_HANDLE:
        case ERROR_NOT_READY:
        case ERROR_OPERATION_ABORTED:
            return true;
        default:
            return false;
    }
}

// Notes the failure by the loss rule both back ends share (NoteFailure), certain when
// the error says the device is gone or `lostWhateverTheCode` (the failure shows it by
// itself), and reports it unless it already was. Returns whether it printed.
bool ReportFailureAndMarkLoss(SerialPort* port, SerialOperation operation, int line,
                              DWORD errorCode, bool lostWhateverTheCode = false) {
    if (!NoteFailure(port, operation, lostWhateverTheCode || MeansPortLost(errorCode),
                     GetTickCount())) {
        return false;
    }
    ReportSystemError(line, errorCode);
    return true;
}

// Takes the line of a kernel32 call's statement and the call's result. The last error
// is read first thing, before anything else can overwrite it.
bool SucceededOrReport(SerialPort* port, SerialOperation operation, int line, BOOL result) {
    if (result != FALSE) {
        NoteSuccess(port, operation);
        return true;
    }
    ReportFailureAndMarkLoss(port, operation, line, GetLastError());
    return false;
}

// Some drivers keep answering reads with "nothing came" after their device has gone,
// exactly as over a silent device. Reading the line settings works on every port that
// is still there, so its failure means the port is lost, whatever the error code.
bool PortStillThere(SerialPort* port) {
    DCB state{};
    state.DCBlength = sizeof(DCB);
    if (GetCommState(port->handle, &state)) {
        return true;
    }
    ReportFailureAndMarkLoss(port, kOperationRead, __LINE__, GetLastError(), true);
    return false;
}

// A read "without limit" is a series of reads of this length with the port probed
// between them: some drivers never complete an unlimited read once the device is gone.
const DWORD kUnlimitedReadSliceMs = 500;
// Writes may take 2 ms a byte plus 1 s: the longest, a 1 KiB block at 9600 baud, takes
// about 1.1 s, so only a driver that no longer moves data makes a write return short.
const DWORD kWriteMsPerByte = 2;
const DWORD kWriteExtraMs = 1000;

}  // namespace

int Open(SerialPort* port, int portNumber) {
    if (portNumber < 1 || portNumber > 8) {
        port->handle = INVALID_HANDLE_VALUE;
        return kSerialFailed;
    }
    port->portName = kPortNames[portNumber - 1];
    port->readTimeoutMs = 0;
    port->lost = false;
    port->reportedFailures = 0;
    // Share mode 0: no other program may use the port while we flash.
    port->handle = CreateFileA(port->portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (port->handle == INVALID_HANDLE_VALUE) {
        return kSerialFailed;  // the updater names the port in its own message
    }
    // Another program may have left the port in an error state, in which reads and
    // writes fail until the error is cleared.
    DWORD errors = 0;
    if (!SucceededOrReport(port, kOperationOpen, __LINE__,
                           ClearCommError(port->handle, &errors, nullptr))) {
        return kSerialFailed;
    }
    port->savedState.DCBlength = sizeof(DCB);
    if (!SucceededOrReport(port, kOperationOpen, __LINE__,
                           GetCommState(port->handle, &port->savedState))) {
        return kSerialFailed;
    }
    if (!SucceededOrReport(port, kOperationOpen, __LINE__,
                           GetCommTimeouts(port->handle, &port->savedTimeouts))) {
        return kSerialFailed;
    }
    return kSerialOk;
}

int Configure(SerialPort* port, int32_t baud) {
    if (!SucceededOrReport(port, kOperationConfigure, __LINE__,
                           PurgeComm(port->handle, kPurgeEverything))) {
        return kSerialFailed;
    }
    // A fresh record, not the one found at opening: whatever another program left
    // on the port (flow control, parity, error replacement) must not survive.
    DCB line{};
    line.DCBlength = sizeof(DCB);
    line.BaudRate = static_cast<DWORD>(baud);
    line.fBinary = 1;
    line.fDtrControl = DTR_CONTROL_DISABLE;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    line.XonChar = 0x11;
    line.XoffChar = 0x13;
    if (!SucceededOrReport(port, kOperationConfigure, __LINE__,
                           SetCommState(port->handle, &line))) {
        return kSerialFailed;
    }
    if (!SucceededOrReport(port, kOperationConfigure, __LINE__,
                           PurgeComm(port->handle, kPurgeBuffers))) {
        return kSerialFailed;
    }
    return kSerialOk;
}

int SetTimeout(SerialPort* port, int16_t milliseconds) {
    // The interval and total limits together make a one-byte read give up after that
    // long of silence; ReadByte repeats such reads when there is no limit.
    const DWORD readLimitMs =
        milliseconds != 0 ? static_cast<DWORD>(milliseconds) : kUnlimitedReadSliceMs;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = readLimitMs;
    timeouts.ReadTotalTimeoutConstant = readLimitMs;
    timeouts.WriteTotalTimeoutMultiplier = kWriteMsPerByte;
    timeouts.WriteTotalTimeoutConstant = kWriteExtraMs;
    if (!SucceededOrReport(port, kOperationSetTimeout, __LINE__,
                           SetCommTimeouts(port->handle, &timeouts))) {
        return kSerialFailed;
    }
    port->readTimeoutMs = milliseconds;
    return kSerialOk;
}

int PurgeInput(SerialPort* port) {
    if (!SucceededOrReport(port, kOperationPurge, __LINE__,
                           PurgeComm(port->handle, PURGE_RXCLEAR))) {
        return kSerialFailed;
    }
    return kSerialOk;
}

int Write(SerialPort* port, const void* data, int count) {
    DWORD written = 0;
    const int writeLine = __LINE__ + 1;  // both reports below name the WriteFile call
    const BOOL result = WriteFile(port->handle, data, static_cast<DWORD>(count), &written, nullptr);
    const DWORD errorCode = result != FALSE ? ERROR_SUCCESS : GetLastError();
    // A short write is reported even when the call itself claims success.
    if (result != FALSE && written == static_cast<DWORD>(count)) {
        NoteSuccess(port, kOperationWrite);
        return kSerialOk;
    }
    const bool reported =
        result == FALSE ? ReportFailureAndMarkLoss(port, kOperationWrite, writeLine, errorCode)
                        : NoteFailure(port, kOperationWrite, false, GetTickCount());
    if (reported && written != static_cast<DWORD>(count)) {
        ConsolePrintf("     Timeout has occured in file %s, line %d \n", __FILE__, writeLine);
    }
    return kSerialFailed;
}

int ReadByte(SerialPort* port, uint8_t* dest) {
    for (;;) {
        uint8_t received = 0;
        DWORD bytesRead = 0;
        const int readLine = __LINE__ + 1;
        if (ReadFile(port->handle, &received, 1, &bytesRead, nullptr) == FALSE) {
            ReportFailureAndMarkLoss(port, kOperationRead, readLine, GetLastError());
            return kSerialFailed;
        }
        if (bytesRead == 1) {
            NoteSuccess(port, kOperationRead);
            *dest = received;
            return kSerialOk;
        }
        if (!PortStillThere(port)) {
            return kSerialFailed;
        }
        NoteSuccess(port, kOperationRead);
        if (port->readTimeoutMs != 0) {
            return kSerialTimeout;  // dest keeps its value
        }
    }
}

void Pause(SerialPort* /*port*/) {
    // Lets the last bytes at the old speed leave the line before the speed changes.
    Sleep(100);
}

void Close(SerialPort* port) {
    // The settings found at opening are deliberately not put back.
    CloseHandle(port->handle);
}

void SerialSleep(int milliseconds) {
    Sleep(static_cast<DWORD>(milliseconds));
}
