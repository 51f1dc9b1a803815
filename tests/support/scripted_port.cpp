// SPDX-License-Identifier: MIT
#include "scripted_port.h"

#include "serial_common.h"

ScriptedPortState scripted;

void ResetScriptedPort() {
    scripted = ScriptedPortState{};
}

void QueueBytes(const std::string& bytes) {
    for (char c : bytes) {
        scripted.reads.push_back({kSerialOk, static_cast<uint8_t>(c)});
    }
}

void QueueSilence(int count) {
    for (int i = 0; i < count; ++i) {
        scripted.reads.push_back({kSerialTimeout, 0});
    }
}

int Open(SerialPort*, int portNumber) {
    return portNumber >= 1 && portNumber <= 8 ? kSerialOk : kSerialFailed;
}

int Configure(SerialPort*, int32_t) {
    return kSerialOk;
}

int SetTimeout(SerialPort*, int16_t milliseconds) {
    scripted.timeoutMs = milliseconds;
    return kSerialOk;
}

int PurgeInput(SerialPort*) {
    return kSerialOk;
}

int Write(SerialPort*, const void* data, int count) {
    if (scripted.writesFail) {
        return kSerialFailed;
    }
    scripted.written.append(static_cast<const char*>(data), static_cast<size_t>(count));
    scripted.writeSizes.push_back(count);
    return kSerialOk;
}

int ReadByte(SerialPort* port, uint8_t* dest) {
    ScriptedRead next = {scripted.readsFailWhenEmpty ? kSerialFailed : kSerialTimeout, 0};
    if (!scripted.reads.empty()) {
        next = scripted.reads.front();
        scripted.reads.pop_front();
    }
    if (next.result != kSerialOk) {
        ++scripted.readTimeouts;
        scripted.sleptMs += scripted.timeoutMs;
    }
    // A failure carries a code not known to mean a loss; silence makes the back end probe.
    const bool probeFailed = next.result == kSerialTimeout && scripted.probeFails;
    if (next.result == kSerialFailed || probeFailed) {
        NoteFailure(port, kOperationRead, probeFailed, static_cast<uint32_t>(scripted.sleptMs));
        return kSerialFailed;
    }
    NoteSuccess(port, kOperationRead);
    if (next.result == kSerialOk) {
        *dest = next.byte;
    }
    return next.result;
}

void Pause(SerialPort*) {
    scripted.sleptMs += 100;
}

void Close(SerialPort*) {}

void SerialSleep(int milliseconds) {
    scripted.sleptMs += milliseconds;
}
