// SPDX-License-Identifier: MIT
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
