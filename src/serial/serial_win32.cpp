// The serial link on Windows: the COM ports through kernel32's communications calls.
#include <cstdio>

#include "serial.h"

namespace {

const char* const kPortNames[] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};

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

// Takes the result of a kernel32 call and the line it was made on. The last error
// is read first thing, before anything else can overwrite it.
bool SucceededOrReport(BOOL result, int line) {
    if (result != FALSE) {
        return true;
    }
    ReportSystemError(line, GetLastError());
    return false;
}

}  // namespace

int Open(SerialPort* port, int portNumber) {
    if (portNumber < 1 || portNumber > 8) {
        port->handle = INVALID_HANDLE_VALUE;
        return kSerialFailed;
    }
    port->portName = kPortNames[portNumber - 1];
    // Share mode 0: no other program may use the port while we flash.
    port->handle = CreateFileA(port->portName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (port->handle == INVALID_HANDLE_VALUE) {
        return kSerialFailed;  // the updater names the port in its own message
    }
    if (!SucceededOrReport(GetCommState(port->handle, &port->savedState), __LINE__)) {
        return kSerialFailed;
    }
    if (!SucceededOrReport(GetCommTimeouts(port->handle, &port->savedTimeouts), __LINE__)) {
        return kSerialFailed;
    }
    return kSerialOk;
}

int Configure(SerialPort* port, int32_t baud) {
    if (!SucceededOrReport(PurgeComm(port->handle, kPurgeEverything), __LINE__)) {
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
    if (!SucceededOrReport(SetCommState(port->handle, &line), __LINE__)) {
        return kSerialFailed;
    }
    if (!SucceededOrReport(PurgeComm(port->handle, kPurgeBuffers), __LINE__)) {
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
    if (!SucceededOrReport(SetCommTimeouts(port->handle, &timeouts), __LINE__)) {
        return kSerialFailed;
    }
    return kSerialOk;
}

int PurgeInput(SerialPort* port) {
    if (!SucceededOrReport(PurgeComm(port->handle, PURGE_RXCLEAR), __LINE__)) {
        return kSerialFailed;
    }
    return kSerialOk;
}

int Write(SerialPort* port, const void* data, int count) {
    DWORD written = 0;
    const int writeLine = __LINE__ + 1;  // both reports below name the WriteFile call
    const BOOL result = WriteFile(port->handle, data, static_cast<DWORD>(count), &written, nullptr);
    const bool succeeded = SucceededOrReport(result, writeLine);
    // A short write is reported even when the call itself claims success.
    const bool complete = written == static_cast<DWORD>(count);
    if (!complete) {
        std::printf("     Timeout has occured in file %s, line %d \n", __FILE__, writeLine);
    }
    return succeeded && complete ? kSerialOk : kSerialFailed;
}

int ReadByte(SerialPort* port, uint8_t* dest) {
    uint8_t received = 0;
    DWORD bytesRead = 0;
    if (!SucceededOrReport(ReadFile(port->handle, &received, 1, &bytesRead, nullptr), __LINE__)) {
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
