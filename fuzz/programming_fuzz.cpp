// SPDX-License-Identifier: MIT
// Stage 2's blocks and verdict against arbitrary device replies on a scripted port.
// The outcome and every byte sent are worked out independently from the script and
// compared with what ProgramBlocks did.
//
// Input:
//   bytes 0-1  image length, modulo 8 KiB + 1
//   byte 2     bit 0: the file is shorter than the measured length (it shrank);
//              bit 1: reads fail instead of timing out once the script is used up
//   byte 3     how much shorter, in steps of 33 bytes; also seeds the image's bytes
//   the rest   the device's replies, one read each: 0xFE a time-out, 0xFD a failed
//              read, any other value that byte
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "programming.h"
#include "scripted_port.h"

namespace {

const uint8_t kScriptTimeout = 0xFE;
const uint8_t kScriptFailure = 0xFD;
const int64_t kLargestImage = 8 * 1024;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "programming_fuzz: %s\n", what);
    std::abort();
}

std::string WordOf(uint32_t value) {
    std::string word;
    for (int i = 0; i < 4; ++i) word += static_cast<char>((value >> (8 * i)) & 0xFF);
    return word;
}

// What the device says next, in the model: the script, then the end-of-script result.
struct ModelDevice {
    const std::vector<ScriptedRead>* script;
    size_t next;
    int whenEmpty;
    ScriptedRead Read() {
        if (next < script->size()) return (*script)[next++];
        return {whenEmpty, 0};
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The console output of the code under test only slows the fuzzing down.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) Fail("cannot silence stdout");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int64_t imageLength = (data[0] | data[1] << 8) % (kLargestImage + 1);
    const bool shrank = (data[2] & 1) != 0;
    const bool failWhenEmpty = (data[2] & 2) != 0;
    const int64_t shortfall = shrank ? data[3] * 33 : 0;
    const int64_t fileLength = imageLength > shortfall ? imageLength - shortfall : 0;

    std::string content(static_cast<size_t>(fileLength), '\0');
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>((i * 131 + data[3] * 7 + (i >> 8)) & 0xFF);
    }
    // The image file is read from memory: the same stdio reads, without file system calls.
    std::vector<char> fileBytes(content.begin(), content.end());
    fileBytes.push_back('\0');  // fmemopen needs a buffer even for an empty file
    std::FILE* imageFile = fmemopen(fileBytes.data(), content.size(), "rb");
    if (imageFile == nullptr) Fail("cannot open the image in memory");

    std::vector<ScriptedRead> script;
    for (size_t i = 4; i < size; ++i) {
        if (data[i] == kScriptTimeout) {
            script.push_back({kSerialTimeout, 0});
        } else if (data[i] == kScriptFailure) {
            script.push_back({kSerialFailed, 0});
        } else {
            script.push_back({kSerialOk, data[i]});
        }
    }

    // The model: block by block, each sending followed by up to 16 waits, each silent
    // wait by one filler byte; then the verdict, where only "*" is success. Reads that
    // keep failing for 1.9 s of the port's clock (256 ms a read, no success between)
    // mean the port is lost, and no further wait is made.
    ModelDevice device{&script, 0, failWhenEmpty ? kSerialFailed : kSerialTimeout};
    std::string expectedWritten;
    bool expectedSuccess = true;
    int64_t clockMs = 0;
    int64_t failingSinceMs = -1;
    bool lost = false;
    const int64_t blocks = (imageLength + 1023) / 1024;
    for (int64_t b = 0; b < blocks && expectedSuccess; ++b) {
        const int64_t offset = b * 1024;
        const int64_t inImage = imageLength - offset < 1024 ? imageLength - offset : 1024;
        const int64_t inFile = fileLength - offset < 0 ? 0 : (fileLength - offset < 1024 ? fileLength - offset : 1024);
        if (inFile < inImage) {
            expectedSuccess = false;  // the shrunken file ends inside this block
            break;
        }
        std::string block = content.substr(static_cast<size_t>(offset), static_cast<size_t>(inFile));
        block.resize(1024, '\0');
        uint32_t sum = 0;
        for (char c : block) sum += static_cast<unsigned char>(c);
        bool accepted = false;
        for (;;) {
            expectedWritten += block + WordOf(sum);
            bool answered = false;
            for (int wait = 0; wait < 16 && !answered && !lost; ++wait) {
                ScriptedRead reply = device.Read();
                if (reply.result == kSerialOk) {
                    answered = true;
                    accepted = reply.byte == '#';
                    failingSinceMs = -1;
                    continue;
                }
                clockMs += 256;
                if (reply.result != kSerialFailed) {
                    failingSinceMs = -1;
                } else if (failingSinceMs < 0) {
                    failingSinceMs = clockMs;
                }
                lost = failingSinceMs >= 0 && clockMs - failingSinceMs >= 1900;
                expectedWritten += '\xFF';
            }
            if (!answered || accepted) break;
        }
        if (!accepted) expectedSuccess = false;
    }
    if (expectedSuccess) {
        for (;;) {
            ScriptedRead verdict = device.Read();
            if (verdict.result != kSerialOk || verdict.byte == '^') {
                expectedSuccess = false;
                break;
            }
            if (verdict.byte == '*') break;
        }
    }

    ResetScriptedPort();
    scripted.reads.assign(script.begin(), script.end());
    scripted.readsFailWhenEmpty = failWhenEmpty;
    SerialPort port{};
    const bool succeeded = ProgramBlocks(&port, imageFile, imageLength, blocks * 1024);
    std::fclose(imageFile);

    if (succeeded != expectedSuccess) Fail(succeeded ? "success that the replies do not allow" : "failure where the replies mean success");
    if (scripted.written != expectedWritten) Fail("the bytes sent differ from the expected sendings and fillers");
    const size_t unread = device.next < script.size() ? script.size() - device.next : 0;
    if (scripted.reads.size() != unread) Fail("a different number of replies was read");
    if (scripted.timeoutMs != 256) Fail("the block replies were not read with the 256 ms time-out");
    return 0;
}
