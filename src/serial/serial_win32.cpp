// The serial link on Windows: the COM ports through kernel32's communications calls.
#include <cstdio>

#include "serial_common.h"

namespace {

const DWORD kPurgeEverything = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
const DWORD kPurgeBuffers = PURGE_TXCLEAR | PURGE_RXCLEAR;

// Two lines: where the failing call sits in this file, then the system's own text
// for the error (which brings its own line break).
void ReportSystemError(int line, DWORD errorCode) {
    std::printf("       Error detected in file %s, line %d \n", __FILE__, line);
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, errorCode, 0x400, reinterpret_cast<char*>(&text), 0, nullptr);
    if (length != 0 && text != nullptr) {
        std::printf("  %s\n", text);
    } else {
        std::printf("  system error %lu\n", static_cast<unsigned long>(errorCode));
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
        case ERROR_GEN_FAILURE:
        case ERROR_OPERATION_ABORTED:
        case ERROR_HANDLE_EOF:
        case ERROR_NOT_READY:
            return true;
        default:
            return false;
    }
}

// Marks the port lost when the error says it is gone, and reports the failure unless
// it already was.
bool ReportFailureAndMarkLoss(SerialPort* port, SerialOperation operation, int line,
                              DWORD errorCode) {
    if (MeansPortLost(errorCode)) {
        port->lost = true;
    }
    if (!ShouldReportFailure(port, operation)) {
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
    // All zero: a read waits until a byte comes. Otherwise the interval and total
    // limits together make a one-byte read give up after `milliseconds` of silence.
    COMMTIMEOUTS timeouts{};
    if (milliseconds != 0) {
        timeouts.ReadIntervalTimeout = static_cast<DWORD>(milliseconds);
        timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(milliseconds);
    }
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
                        : ShouldReportFailure(port, kOperationWrite);
    if (reported) {
        std::printf("     Timeout has occured in file %s, line %d \n", __FILE__, writeLine);
    }
    return kSerialFailed;
}

int ReadByte(SerialPort* port, uint8_t* dest) {
    uint8_t received = 0;
    DWORD bytesRead = 0;
    if (!SucceededOrReport(port, kOperationRead, __LINE__,
                           ReadFile(port->handle, &received, 1, &bytesRead, nullptr))) {
        return kSerialFailed;
    }
    if (bytesRead == 0 && port->readTimeoutMs == 0) {
        // Without a time-out the read only returns with a byte, unless the port is gone.
        ReportFailureAndMarkLoss(port, kOperationRead, __LINE__, ERROR_HANDLE_EOF);
        return kSerialFailed;
    }
    if (bytesRead == 0) {
        return kSerialTimeout;  // dest keeps its value
    }
    *dest = received;
    return kSerialOk;
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
