// SPDX-License-Identifier: MIT
#include "programming.h"

#include <cstring>

#include "console.h"
#include "image.h"

namespace {

const uint8_t kSyncRequest = '-';
const uint8_t kSyncAnswer = '?';
const uint8_t kEraseCommand = 'F';
const uint8_t kEraseDone = '!';
const uint8_t kBlockAccepted = '#';
const uint8_t kFiller = 0xFF;
const uint8_t kVerdictSuccess = '*';
const uint8_t kVerdictFailure = '^';

enum class Reply { Accepted, Refused, Silent };

// Waits for the device's answer to one sending of a block. Each silent wait is
// followed by a filler byte, which completes a block whose bytes the device lost.
Reply AwaitBlockReply(SerialPort* port) {
    for (int wait = 0; wait < kSilentWaitsPerSending && !port->lost; ++wait) {
        uint8_t reply = 0;
        if (ReadByte(port, &reply) == kSerialOk) {
            return reply == kBlockAccepted ? Reply::Accepted : Reply::Refused;
        }
        Write(port, &kFiller, 1);
    }
    return Reply::Silent;
}

// True on "*"; false on "^", silence or a failed read. Other bytes are dropped.
bool ReadVerdict(SerialPort* port) {
    for (;;) {
        uint8_t verdict = 0;
        if (ReadByte(port, &verdict) != kSerialOk || verdict == kVerdictFailure) {
            return false;
        }
        if (verdict == kVerdictSuccess) {
            return true;
        }
    }
}

}  // namespace

uint32_t BlockChecksum(const uint8_t* block, int size) {
    uint32_t sum = 0;
    for (int i = 0; i < size; ++i) {
        sum += block[i];
    }
    return sum;
}

void EncodeLittleEndian32(uint32_t value, uint8_t out[4]) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

bool SynchroniseAndErase(SerialPort* port, uint32_t eraseLength) {
    for (;;) {
        int written = Write(port, &kSyncRequest, 1);
        uint8_t answer = 0;
        int read = ReadByte(port, &answer);
        if (read == kSerialOk && answer == kSyncAnswer) {
            break;
        }
        if (port->lost) {
            return false;
        }
        // A port that fails every call (an adapter pulled out) must not spin the CPU.
        if (written != kSerialOk && read == kSerialFailed) {
            SerialSleep(20);
        }
    }
    PurgeInput(port);

    uint8_t length[4];
    EncodeLittleEndian32(eraseLength, length);
    Write(port, &kEraseCommand, 1);
    Write(port, length, sizeof length);

    ConsolePrintf("Erasing the FLASH...");
    ClearLine(30);
    return WaitForChar(port, kEraseDone) == kSerialOk;
}

bool ProgramBlocks(SerialPort* port, std::FILE* image, int64_t imageLength, int64_t roundedSize) {
    SetTimeout(port, 256);
    ClearLine(32);
    CounterStart("Programming the FLASH...");

    bool failed = false;
    uint8_t block[kBlockSize];
    for (int64_t offset = 0; offset < roundedSize; offset += kBlockSize) {
        int64_t remaining = imageLength - offset;
        size_t expected = remaining < kBlockSize
                              ? static_cast<size_t>(remaining < 0 ? 0 : remaining)
                              : static_cast<size_t>(kBlockSize);
        size_t got = std::fread(block, 1, kBlockSize, image);
        // An image that shrank or could not be read must not be replaced by zeros.
        if (got < expected) {
            failed = true;
            break;
        }
        std::memset(block + got, 0, kBlockSize - got);

        uint8_t checksum[4];
        EncodeLittleEndian32(BlockChecksum(block, kBlockSize), checksum);
        Reply reply;
        do {
            Write(port, block, kBlockSize);
            Write(port, checksum, sizeof checksum);
            reply = AwaitBlockReply(port);
        } while (reply == Reply::Refused);
        if (reply == Reply::Silent) {
            failed = true;
            break;
        }
        CounterUpdate(static_cast<int>((offset + kBlockSize) * 100 / roundedSize));
    }
    ClearLine(30);

    if (!failed && !ReadVerdict(port)) {
        failed = true;
    }
    return !failed;
}

void PrintProgrammingOutcome(const char* imagePath, bool succeeded) {
    if (succeeded) {
        ConsolePrintf("\nSuccessfully programmed '%s'\n", imagePath);
        return;
    }
    ConsolePrintf(
        "Failed to program '%s'\n"
        "You might want to completely erase the Flash\n"
        " and then try programming again.\n"
        " To do this, enter \"brivane erase\"\n",
        imagePath);
}
