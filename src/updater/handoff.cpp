// SPDX-License-Identifier: MIT
#include "handoff.h"

#include "console.h"

namespace {

const int kBootRomBaud = 9600;
const int kChunkSize = 128;

// The loader names a rate by its position among the line rates.
int PositionOfRate(int32_t baud) {
    for (int i = 0; i < kLineRateCount; ++i) {
        if (kLineRates[i] == baud) {
            return i;
        }
    }
    return -1;
}

}  // namespace

bool IsAcceptedBaudRate(int32_t baud) {
    return PositionOfRate(baud) >= 0;
}

char SpeedCodeFor(int32_t baud) {
    return static_cast<char>('0' + PositionOfRate(baud));
}

PortStatus PreparePort(SerialPort* port, long portNumber) {
    if (Open(port, static_cast<int>(portNumber)) != kSerialOk) {
        return PortStatus::CannotOpen;
    }
    if (Configure(port, kBootRomBaud) != kSerialOk || SetTimeout(port, 0) != kSerialOk ||
        PurgeInput(port) != kSerialOk) {
        return PortStatus::CannotInitialize;
    }
    return PortStatus::Ready;
}

PortStatus HandOffLoader(SerialPort* port, const BootImage& image, int32_t baud) {
    ConsolePrintf("Hold in the small recessed button while powering up the Veskor...");
    if (WaitForChar(port, '<') != kSerialOk) {
        return PortStatus::Lost;
    }
    ClearLine(70);
    ClearLine(34);

    CounterStart("Downloading boot code...");
    for (int offset = 0; offset < kBootImageSize; offset += kChunkSize) {
        Write(port, image.bytes + offset, kChunkSize);  // a failed write is already reported
        CounterUpdate((offset + kChunkSize) * 100 / kBootImageSize);
    }
    ClearLine(30);

    if (WaitForChar(port, '>') != kSerialOk || WaitForChar(port, '?') != kSerialOk) {
        return PortStatus::Lost;
    }
    const uint8_t speedCommand = 'B';
    const uint8_t speedCode = static_cast<uint8_t>(SpeedCodeFor(baud));
    Write(port, &speedCommand, 1);
    Write(port, &speedCode, 1);
    // The loader switches once the code has left the wire; switching earlier would
    // garble the last bytes.
    Pause(port);
    if (Configure(port, baud) != kSerialOk) {
        return port->lost ? PortStatus::Lost : PortStatus::CannotInitialize;
    }
    SetTimeout(port, 20);
    return PortStatus::Ready;
}
