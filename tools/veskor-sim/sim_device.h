// SPDX-License-Identifier: MIT
// The simulated device: boot ROM (stage 1) and loader (stage 2) as one state
// machine fed with received bytes and the current time. It never touches a
// terminal: the bytes it wants to send collect in `outbox` and the caller
// moves them to the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim_options.h"

const size_t kFlashSize = 2 * 1024 * 1024;
const size_t kBootImageSize = 2048;
const size_t kBlockSize = 1024;
const size_t kBlockFrameSize = kBlockSize + 4;  // data, then the checksum LSB first
const int kBootRomBaud = 9600;

enum class BootOutcome { None, Ok, Implausible };

enum class DeviceState {
    Off,                   // waiting for the power-up
    ReceivingBootImage,
    AwaitingSpeedCommand,  // "B"
    AwaitingSpeedCode,     // '0'..'5'
    Synchronising,         // answering "-" with "?" until "F"
    ReceivingEraseLength,
    Erasing,
    ReceivingBlocks,
    Finished,              // verdict sent
    Silent,                // ignores everything (crashed or told to)
    AwaitingHangup,        // about to drop the line
    HungUp,
};

enum class SilenceReason { None, ImplausibleBootImage, InvalidEraseLength, SilentAfterBlock };

enum class EndReason { Closed, Hangup, Timeout, Signal, Error };

struct Device {
    SimOptions options;
    DeviceState state = DeviceState::Off;
    SilenceReason silenceReason = SilenceReason::None;
    std::vector<uint8_t> flash;
    std::vector<uint8_t> outbox;        // bytes to send, oldest first
    std::vector<std::string> notices;   // events worth telling the user, oldest first

    std::vector<uint8_t> bootImage;
    BootOutcome boot = BootOutcome::None;
    char speedCode = 0;                 // 0: none received

    long syncs = 0;
    bool answeredSync = false;
    int64_t lastSyncAnswerUs = 0;

    std::vector<uint8_t> eraseBytes;
    bool eraseLengthKnown = false;
    uint32_t eraseLength = 0;
    int64_t eraseEndsUs = 0;

    long totalBlocks = 0;
    std::vector<uint8_t> frame;         // the block being received
    long blocksAccepted = 0;
    long refusals = 0;
    long badChecksums = 0;
    long fillers = 0;
    long forcedRefusalsDone = 0;
    bool bitFlipped = false;
    char verdict = 0;                   // 0: none sent

    long ignoredBytes = 0;              // bytes that arrived in a state that does not expect them
    bool receivedAny = false;
    int64_t lastReceivedUs = 0;         // arrival of the last byte
    bool sentAny = false;
    int64_t lastSentUs = 0;             // when the line last took everything the device sent
    bool outputPending = false;         // sent bytes the line has not taken yet
};

// `initialFlash` may be shorter than the flash; the rest is 0xFF.
void InitDevice(Device* device, const SimOptions& options, const std::vector<uint8_t>& initialFlash);

// The boot ROM starts: noise bytes, then "<".
void PowerUpDevice(Device* device);

// `nowUs` is the byte's arrival at the simulator.
void DeviceReceive(Device* device, uint8_t byte, int64_t nowUs);

// Runs what time alone triggers: the end of the erase, the hang-up.
void DeviceAdvanceClock(Device* device, int64_t nowUs);

// The next time DeviceAdvanceClock has something to do; false when nothing is due.
bool DeviceNextDeadline(const Device& device, int64_t* deadlineUs);

// The caller reports that every byte taken from the outbox so far is on the line.
void DeviceNoteSent(Device* device, int64_t nowUs);

// The rate the device's UART runs at now: 9600 until the speed code, then the code's rate.
int DeviceBaud(const Device& device);

// The rates the device runs at, 9600 .. 115200 for '0'..'5'; 0 for anything else. The
// simulator's one list of them.
int BaudForSpeedCode(char code);

// Ok when the word before the first all-zero word is EC 02 00 10 (or the image
// starts with a zero word, which means no marker); `size` must be kBootImageSize.
BootOutcome CheckBootImage(const uint8_t* image, size_t size);

// The machine-readable line, without a newline.
// `lineFormat` describes the updater's line settings as DescribeSlaveLine gives them.
std::string FormatSummary(const Device& device, long lineBaud, const std::string& lineFormat,
                          EndReason end);
