#include "serial_common.h"

const char* const kPortNames[8] = {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"};

bool ShouldReportFailure(SerialPort* port, SerialOperation operation) {
    const bool firstFailure = (port->reportedFailures & operation) == 0;
    port->reportedFailures |= operation;
    return firstFailure;
}

void NoteSuccess(SerialPort* port, SerialOperation operation) {
    port->reportedFailures &= ~static_cast<unsigned>(operation);
}
