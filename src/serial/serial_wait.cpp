#include "console.h"
#include "serial.h"

// The erase takes about 140 passes for the whole part and about 23 for an image,
// so the counter reaches 100 near the typical end; it is not capped.
static int ProgressPercent(int passes) {
    return passes * 100 / (eraseMode ? 140 : 23);
}

int WaitForChar(SerialPort* port, uint8_t awaited) {
    int passes = 0;
    for (;;) {
        uint8_t received = 0;
        if (ReadByte(port, &received) == kSerialOk && received == awaited) {
            return kSerialOk;
        }
        if (port->lost) {
            return kSerialFailed;
        }
        SerialSleep(1000);
        ++passes;
        ConsolePrintf("\rErasing the FLASH... %3d%%", ProgressPercent(passes));
    }
}

bool ShouldReportFailure(SerialPort* port, SerialOperation operation) {
    const bool firstFailure = (port->reportedFailures & operation) == 0;
    port->reportedFailures |= operation;
    return firstFailure;
}

void NoteSuccess(SerialPort* port, SerialOperation operation) {
    port->reportedFailures &= ~static_cast<unsigned>(operation);
}

// Long enough for a passing fault to clear, short enough that a lost port ends the run
// at the third pass of WaitForChar, whose reads come a second apart.
static const uint32_t kLostAfterFailingMs = 1900;

static_assert(kOperationRead == 1u << 5 &&
                  sizeof SerialPort::failingSinceMs == 6 * sizeof(uint32_t),
              "one start time per operation");

bool NoteFailure(SerialPort* port, SerialOperation operation, bool certain, uint32_t nowMs) {
    int bit = 0;
    while ((operation >> bit) != 1u) {
        ++bit;
    }
    const bool firstFailure = ShouldReportFailure(port, operation);
    if (firstFailure) {
        port->failingSinceMs[bit] = nowMs;
    }
    // The unsigned difference stays right when the clock wraps.
    if (certain || nowMs - port->failingSinceMs[bit] >= kLostAfterFailingMs) {
        port->lost = true;
    }
    return firstFailure;
}
