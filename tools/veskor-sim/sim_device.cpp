// SPDX-License-Identifier: MIT
#include "sim_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

const uint8_t kReady = '<';
const uint8_t kBootImageTaken = '>';
const uint8_t kQuestion = '?';
const uint8_t kSpeedCommand = 'B';
const uint8_t kSyncRequest = '-';
const uint8_t kEraseCommand = 'F';
const uint8_t kEraseDone = '!';
const uint8_t kBlockAccepted = '#';
const uint8_t kBlockRefused = 'E';
const uint8_t kVerdictSuccess = '*';
const uint8_t kVerdictFailure = '^';
const uint8_t kFiller = 0xFF;
const uint8_t kNoiseByte = 'x';
const uint8_t kGarbageByte = 'g';

const uint8_t kBootMarker[4] = {0xEC, 0x02, 0x00, 0x10};

// A "-" this soon after a "?" was sent before that "?" could reach the PC;
// answering it would leave a stray "?" behind the PC's purge.
const int64_t kSyncQuietUs = 100 * 1000;
// The PC sends a filler only after 256 ms of silence; block data always follows
// a reply at once, so a 0xFF after this much quiet cannot be data.
const int64_t kFillerQuietUs = 200 * 1000;
// Before a hang-up the "#" is given this long on the line to reach the PC,
// unless the PC shows it has read it by sending more.
const int64_t kHangupGraceUs = 100 * 1000;

void Send(Device* device, uint8_t byte, long count) {
    device->outbox.insert(device->outbox.end(), static_cast<size_t>(count), byte);
    device->outputPending = true;
}

uint32_t ReadLittleEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void GoSilent(Device* device, SilenceReason reason, const std::string& notice) {
    device->state = DeviceState::Silent;
    device->silenceReason = reason;
    device->notices.push_back(notice);
}

void SendVerdict(Device* device) {
    if (device->options.garbageBeforeVerdict > 0) {
        Send(device, kGarbageByte, device->options.garbageBeforeVerdict);
    }
    device->verdict = static_cast<char>(device->options.verdictFail ? kVerdictFailure : kVerdictSuccess);
    Send(device, static_cast<uint8_t>(device->verdict), 1);
    device->state = DeviceState::Finished;
    device->notices.push_back(std::string("verdict '") + device->verdict + "' sent");
}

// Called whenever the device is ready for the next block (or has none left).
void ExpectNextBlock(Device* device) {
    device->frame.clear();
    if (device->blocksAccepted >= device->totalBlocks) {
        SendVerdict(device);
        return;
    }
    long nextBlock = device->blocksAccepted + 1;
    if (device->options.silentFromBlock != 0 && nextBlock >= device->options.silentFromBlock) {
        GoSilent(device, SilenceReason::SilentAfterBlock,
                 "going silent before block " + std::to_string(nextBlock) + " as asked");
        return;
    }
    device->state = DeviceState::ReceivingBlocks;
}

void FinishErase(Device* device) {
    std::fill(device->flash.begin(), device->flash.begin() + device->eraseLength, 0xFF);
    Send(device, kEraseDone, 1);
    device->totalBlocks = static_cast<long>(device->eraseLength / kBlockSize);
    device->notices.push_back("erase done, expecting " + std::to_string(device->totalBlocks) + " blocks");
    ExpectNextBlock(device);
}

// The line drops at once: nothing is pending for the updater to read first.
bool HangUpAt(Device* device, HangupMoment moment, const char* where) {
    if (device->options.hangupAt != moment) {
        return false;
    }
    device->state = DeviceState::HungUp;
    device->notices.push_back(std::string("hanging up ") + where + " as asked");
    return true;
}

void StartErase(Device* device, int64_t nowUs) {
    device->eraseLength = ReadLittleEndian32(device->eraseBytes.data());
    device->eraseLengthKnown = true;
    if (HangUpAt(device, HangupMoment::Erase, "at the erase")) {
        return;
    }
    if (device->eraseLength % kBlockSize != 0 || device->eraseLength > kFlashSize) {
        GoSilent(device, SilenceReason::InvalidEraseLength,
                 "invalid erase length " + std::to_string(device->eraseLength) + ", the device stops answering");
        return;
    }
    device->notices.push_back("erasing " + std::to_string(device->eraseLength) + " bytes");
    device->state = DeviceState::Erasing;
    device->eraseEndsUs = nowUs + static_cast<int64_t>(device->options.eraseSeconds * 1e6);
    if (device->eraseEndsUs <= nowUs) {
        FinishErase(device);
    }
}

void ReceiveBlockFrame(Device* device) {
    long blockNumber = device->blocksAccepted + 1;
    uint8_t* data = device->frame.data();
    if (device->options.flipBitBlock == blockNumber && !device->bitFlipped) {
        data[kBlockSize / 2] ^= 0x08;
        device->bitFlipped = true;
    }
    uint32_t sum = 0;
    for (size_t i = 0; i < kBlockSize; ++i) {
        sum += data[i];
    }
    uint32_t expected = ReadLittleEndian32(data + kBlockSize);

    if (sum != expected) {
        ++device->badChecksums;
        ++device->refusals;
        Send(device, kBlockRefused, 1);
        device->notices.push_back("block " + std::to_string(blockNumber) + " refused: bad checksum");
        device->frame.clear();
        return;
    }
    if (device->options.refuseBlock == blockNumber && device->forcedRefusalsDone < device->options.refuseCount) {
        ++device->forcedRefusalsDone;
        ++device->refusals;
        Send(device, kBlockRefused, 1);
        device->notices.push_back("block " + std::to_string(blockNumber) + " refused as asked");
        device->frame.clear();
        return;
    }

    std::memcpy(device->flash.data() + (blockNumber - 1) * kBlockSize, data, kBlockSize);
    ++device->blocksAccepted;
    Send(device, kBlockAccepted, 1);
    if (device->options.hangupAfterBlock == blockNumber) {
        device->frame.clear();
        device->state = DeviceState::AwaitingHangup;
        device->notices.push_back("hanging up after block " + std::to_string(blockNumber) + " as asked");
        return;
    }
    ExpectNextBlock(device);
}

bool IsFiller(const Device& device, uint8_t byte, int64_t nowUs) {
    return byte == kFiller && (!device.receivedAny || nowUs - device.lastReceivedUs >= kFillerQuietUs) &&
           (!device.sentAny || nowUs - device.lastSentUs >= kFillerQuietUs);
}

}  // namespace

void InitDevice(Device* device, const SimOptions& options, const std::vector<uint8_t>& initialFlash) {
    *device = Device();
    device->options = options;
    device->flash.assign(kFlashSize, 0xFF);
    std::copy(initialFlash.begin(), initialFlash.begin() + std::min(initialFlash.size(), kFlashSize),
              device->flash.begin());
}

void PowerUpDevice(Device* device) {
    if (device->state != DeviceState::Off || HangUpAt(device, HangupMoment::PowerUp, "at power-up")) {
        return;
    }
    if (device->options.noiseBytes > 0) {
        Send(device, kNoiseByte, device->options.noiseBytes);
    }
    Send(device, kReady, 1);
    device->state = DeviceState::ReceivingBootImage;
    device->notices.push_back("powered up, boot ROM ready");
}

void DeviceReceive(Device* device, uint8_t byte, int64_t nowUs) {
    bool filler = IsFiller(*device, byte, nowUs);
    device->receivedAny = true;
    device->lastReceivedUs = nowUs;

    switch (device->state) {
    case DeviceState::ReceivingBootImage:
        device->bootImage.push_back(byte);
        if (device->bootImage.size() == kBootImageSize) {
            device->boot = CheckBootImage(device->bootImage.data(), kBootImageSize);
            if (device->boot == BootOutcome::Ok) {
                Send(device, kBootImageTaken, 1);
                Send(device, kQuestion, 1);
                device->state = DeviceState::AwaitingSpeedCommand;
                device->notices.push_back("boot image received");
            } else {
                GoSilent(device, SilenceReason::ImplausibleBootImage,
                         "boot image implausible: a real device would crash, this one goes silent");
            }
        }
        return;
    case DeviceState::AwaitingSpeedCommand:
        if (byte == kSpeedCommand) {
            device->state = DeviceState::AwaitingSpeedCode;
            return;
        }
        break;
    case DeviceState::AwaitingSpeedCode:
        if (BaudForSpeedCode(static_cast<char>(byte)) != 0) {
            device->speedCode = static_cast<char>(byte);
            device->state = DeviceState::Synchronising;
            device->notices.push_back(std::string("speed code '") + device->speedCode + "' (" +
                                      std::to_string(BaudForSpeedCode(device->speedCode)) + " baud)");
            return;
        }
        break;
    case DeviceState::Synchronising:
        if (byte == kSyncRequest) {
            ++device->syncs;
            if (HangUpAt(device, HangupMoment::Sync, "at the synchronisation")) {
                return;
            }
            if (!device->answeredSync || nowUs - device->lastSyncAnswerUs >= kSyncQuietUs) {
                Send(device, kQuestion, 1);
                device->answeredSync = true;
                device->lastSyncAnswerUs = nowUs;
            }
            return;
        }
        if (byte == kEraseCommand) {
            device->state = DeviceState::ReceivingEraseLength;
            return;
        }
        break;
    case DeviceState::ReceivingEraseLength:
        device->eraseBytes.push_back(byte);
        if (device->eraseBytes.size() == 4) {
            StartErase(device, nowUs);
        }
        return;
    case DeviceState::ReceivingBlocks:
        if (filler) {
            ++device->fillers;
            return;
        }
        device->frame.push_back(byte);
        if (device->frame.size() == kBlockFrameSize) {
            ReceiveBlockFrame(device);
        }
        return;
    case DeviceState::Silent:
        // The PC's fillers still tell how long it waited for an answer.
        if (filler && device->silenceReason == SilenceReason::SilentAfterBlock) {
            ++device->fillers;
            return;
        }
        break;
    case DeviceState::AwaitingHangup:
        // Once the "#" is out, a byte from the PC shows it has read it: drop the line now.
        if (!device->outputPending) {
            device->state = DeviceState::HungUp;
        }
        return;
    case DeviceState::Off:
    case DeviceState::Erasing:
    case DeviceState::Finished:
    case DeviceState::HungUp:
        break;
    }
    ++device->ignoredBytes;
}

void DeviceAdvanceClock(Device* device, int64_t nowUs) {
    if (device->state == DeviceState::Erasing && nowUs >= device->eraseEndsUs) {
        FinishErase(device);
    }
    int64_t hangupUs = 0;
    if (device->state == DeviceState::AwaitingHangup && DeviceNextDeadline(*device, &hangupUs) &&
        nowUs >= hangupUs) {
        device->state = DeviceState::HungUp;
    }
}

bool DeviceNextDeadline(const Device& device, int64_t* deadlineUs) {
    if (device.state == DeviceState::Erasing) {
        *deadlineUs = device.eraseEndsUs;
        return true;
    }
    if (device.state == DeviceState::AwaitingHangup && !device.outputPending) {
        *deadlineUs = device.lastSentUs + kHangupGraceUs;
        return true;
    }
    return false;
}

void DeviceNoteSent(Device* device, int64_t nowUs) {
    device->outputPending = false;
    device->sentAny = true;
    device->lastSentUs = std::max(device->lastSentUs, nowUs);
}

int DeviceBaud(const Device& device) {
    return device.speedCode != 0 ? BaudForSpeedCode(device.speedCode) : kBootRomBaud;
}

int BaudForSpeedCode(char code) {
    static const int kRates[] = {9600, 19200, 28800, 38400, 57600, 115200};
    if (code < '0' || code > '5') {
        return 0;
    }
    return kRates[code - '0'];
}

BootOutcome CheckBootImage(const uint8_t* image, size_t size) {
    size_t zeroWord = size;
    for (size_t offset = 0; offset + 4 <= size; offset += 4) {
        if (image[offset] == 0 && image[offset + 1] == 0 && image[offset + 2] == 0 && image[offset + 3] == 0) {
            zeroWord = offset;
            break;
        }
    }
    if (zeroWord == 0) {
        return BootOutcome::Ok;
    }
    return std::memcmp(image + zeroWord - 4, kBootMarker, 4) == 0 ? BootOutcome::Ok : BootOutcome::Implausible;
}

std::string FormatSummary(const Device& device, long lineBaud, const std::string& lineFormat,
                          EndReason end) {
    static const char* const kBootNames[] = {"none", "ok", "implausible"};
    static const char* const kEndNames[] = {"closed", "hangup", "timeout", "signal", "error"};

    std::string eraseBytes;
    for (uint8_t byte : device.eraseBytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        eraseBytes += (eraseBytes.empty() ? "" : ",") + std::string(hex);
    }

    std::string line = "veskor-sim:";
    line += std::string(" boot=") + kBootNames[static_cast<int>(device.boot)];
    line += " speed_code=" + (device.speedCode != 0 ? std::string(1, device.speedCode) : std::string("none"));
    line += " line_baud=" + std::to_string(lineBaud);
    line += " line_format=" + (lineFormat.empty() ? std::string("none") : lineFormat);
    line += " syncs=" + std::to_string(device.syncs);
    line += " erase_length=" + (device.eraseLengthKnown ? std::to_string(device.eraseLength) : std::string("none"));
    line += " erase_bytes=" + (eraseBytes.empty() ? std::string("none") : eraseBytes);
    line += " blocks=" + std::to_string(device.blocksAccepted);
    line += " refusals=" + std::to_string(device.refusals);
    line += " bad_checksums=" + std::to_string(device.badChecksums);
    line += " fillers=" + std::to_string(device.fillers);
    line += " verdict=" + (device.verdict != 0 ? std::string(1, device.verdict) : std::string("none"));
    line += std::string(" end=") + kEndNames[static_cast<int>(end)];
    return line;
}
