#include "scripted_port.h"

#include "serial.h"

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

// The back ends' failure handling, on the virtual clock.
static void NoteFailureNow(SerialPort* port, SerialOperation operation, bool certain) {
    NoteFailure(port, operation, certain, static_cast<uint32_t>(scripted.sleptMs));
}

int Write(SerialPort* port, const void* data, int count) {
    if (scripted.writesFail) {
        NoteFailureNow(port, kOperationWrite, false);  // a code the back end does not know
        return kSerialFailed;
    }
    scripted.written.append(static_cast<const char*>(data), static_cast<size_t>(count));
    scripted.writeSizes.push_back(count);
    NoteSuccess(port, kOperationWrite);
    return kSerialOk;
}

int ReadByte(SerialPort* port, uint8_t* dest) {
    ScriptedRead next = {scripted.readsFailWhenEmpty ? kSerialFailed : kSerialTimeout, 0};
    if (!scripted.reads.empty()) {
        next = scripted.reads.front();
        scripted.reads.pop_front();
    }
    if (next.result == kSerialOk) {
        *dest = next.byte;
        NoteSuccess(port, kOperationRead);
        return kSerialOk;
    }
    ++scripted.readTimeouts;
    scripted.sleptMs += scripted.timeoutMs;
    if (next.result == kSerialFailed) {
        NoteFailureNow(port, kOperationRead, false);
        return kSerialFailed;
    }
    // Nothing came: the back end probes the port, which a vanished device fails.
    if (scripted.probeFails) {
        NoteFailureNow(port, kOperationRead, true);
        return kSerialFailed;
    }
    NoteSuccess(port, kOperationRead);
    return kSerialTimeout;
}

void Pause(SerialPort*) {
    scripted.sleptMs += 100;
}

void Close(SerialPort*) {}

void SerialSleep(int milliseconds) {
    scripted.sleptMs += milliseconds;
}
