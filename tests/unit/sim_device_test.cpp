// SPDX-License-Identifier: MIT
// Unit tests for the simulated device's protocol logic (no terminal involved).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <csignal>
#include <unistd.h>

#include "expected_output.h"
#include "process.h"
#include "pty_pair.h"
#include "serial_posix_speed.h"
#include "sim_device.h"

// Names in failure messages rather than the enums' bytes.
static void PrintTo(DeviceState state, std::ostream* out) {
    static const char* const kNames[] = {"Off",      "ReceivingBootImage",   "AwaitingSpeedCommand",
                                         "AwaitingSpeedCode", "Synchronising", "ReceivingEraseLength",
                                         "Erasing",  "ReceivingBlocks",      "Finished",
                                         "Silent",   "AwaitingHangup",       "HungUp"};
    *out << "DeviceState::" << kNames[static_cast<int>(state)];
}

static void PrintTo(BootOutcome outcome, std::ostream* out) {
    static const char* const kNames[] = {"None", "Ok", "Implausible"};
    *out << "BootOutcome::" << kNames[static_cast<int>(outcome)];
}

namespace {

const int64_t kMs = 1000;

// Takes what the device sent, as if the line carried it at once.
std::string TakeOutput(Device* device) {
    std::string sent(device->outbox.begin(), device->outbox.end());
    device->outbox.clear();
    DeviceNoteSent(device, device->lastReceivedUs);
    return sent;
}

void Feed(Device* device, const std::vector<uint8_t>& bytes, int64_t nowUs) {
    for (uint8_t byte : bytes) {
        DeviceReceive(device, byte, nowUs);
    }
}

std::vector<uint8_t> LittleEndian(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

// A boot image whose first all-zero word is at `zeroWordOffset`, preceded by `marker`.
std::vector<uint8_t> BootImageWithZeroWordAt(size_t zeroWordOffset, const std::vector<uint8_t>& marker) {
    std::vector<uint8_t> image(kBootImageSize, 0x5A);
    if (zeroWordOffset < kBootImageSize) {
        for (size_t i = 0; i < 4; ++i) {
            image[zeroWordOffset + i] = 0;
        }
    }
    if (zeroWordOffset >= 4) {
        std::copy(marker.begin(), marker.end(), image.begin() + static_cast<long>(zeroWordOffset) - 4);
    }
    return image;
}

const std::vector<uint8_t> kGoodMarker = {0xEC, 0x02, 0x00, 0x10};

std::vector<uint8_t> RandomBlock(std::mt19937* random) {
    std::vector<uint8_t> block(kBlockSize);
    for (uint8_t& byte : block) {
        byte = static_cast<uint8_t>((*random)());
    }
    return block;
}

// The flash's content at block `index` (from 0).
std::vector<uint8_t> FlashBlock(const Device& device, size_t index) {
    auto start = device.flash.begin() + static_cast<long>(index * kBlockSize);
    return std::vector<uint8_t>(start, start + static_cast<long>(kBlockSize));
}

std::vector<uint8_t> Frame(const std::vector<uint8_t>& block, uint32_t checksumAdjustment = 0) {
    uint32_t sum = 0;
    for (uint8_t byte : block) {
        sum += byte;
    }
    std::vector<uint8_t> frame = block;
    std::vector<uint8_t> checksum = LittleEndian(sum + checksumAdjustment);
    frame.insert(frame.end(), checksum.begin(), checksum.end());
    return frame;
}

// Takes a device through stage 1, the synchronisation and the erase command.
// Returns the time reached.
int64_t BringToBlocks(Device* device, char speedCode, uint32_t eraseLength) {
    int64_t now = 1000 * kMs;
    PowerUpDevice(device);
    Feed(device, BootImageWithZeroWordAt(64, kGoodMarker), now);
    Feed(device, {'B', static_cast<uint8_t>(speedCode)}, now);
    now += 150 * kMs;
    Feed(device, {'-'}, now);
    std::vector<uint8_t> command = {'F'};
    std::vector<uint8_t> length = LittleEndian(eraseLength);
    command.insert(command.end(), length.begin(), length.end());
    Feed(device, command, now);
    TakeOutput(device);
    return now;
}

TEST(SimulatedDevice, BootImageCheck) {
    EXPECT_EQ(CheckBootImage(BootImageWithZeroWordAt(0, {}).data(), kBootImageSize), BootOutcome::Ok);
    EXPECT_EQ(CheckBootImage(BootImageWithZeroWordAt(4, kGoodMarker).data(), kBootImageSize), BootOutcome::Ok);
    EXPECT_EQ(CheckBootImage(BootImageWithZeroWordAt(1000, kGoodMarker).data(), kBootImageSize), BootOutcome::Ok);
    // No zero word at all: the marker must close the image.
    EXPECT_EQ(CheckBootImage(BootImageWithZeroWordAt(kBootImageSize, kGoodMarker).data(), kBootImageSize),
              BootOutcome::Ok);
    EXPECT_EQ(CheckBootImage(BootImageWithZeroWordAt(kBootImageSize, {0xEC, 0x02, 0x00, 0x11}).data(),
                             kBootImageSize),
              BootOutcome::Implausible);
    EXPECT_EQ(CheckBootImage(BootImageWithZeroWordAt(1000, {0x10, 0x00, 0x02, 0xEC}).data(), kBootImageSize),
              BootOutcome::Implausible);

    // Only word-aligned zero runs count: zeros straddling two words are data.
    std::vector<uint8_t> image = BootImageWithZeroWordAt(512, kGoodMarker);
    for (size_t i = 102; i < 106; ++i) {
        image[i] = 0;
    }
    EXPECT_EQ(CheckBootImage(image.data(), kBootImageSize), BootOutcome::Ok);
    // An earlier aligned zero word without the marker in front of it spoils the image.
    for (size_t i = 100; i < 104; ++i) {
        image[i] = 0;
    }
    EXPECT_EQ(CheckBootImage(image.data(), kBootImageSize), BootOutcome::Implausible);
}

TEST(SimulatedDevice, StageOneExchange) {
    SimOptions options;
    options.noiseBytes = 3;
    Device device;
    InitDevice(&device, options, {});

    Feed(&device, {'B', '5'}, 0);  // before power-up the device hears nothing
    EXPECT_TRUE(device.outbox.empty());
    EXPECT_EQ(device.ignoredBytes, 2);

    PowerUpDevice(&device);
    EXPECT_EQ(TakeOutput(&device), std::string(static_cast<size_t>(options.noiseBytes), 'x') + "<");

    std::vector<uint8_t> image = BootImageWithZeroWordAt(8, kGoodMarker);
    Feed(&device, std::vector<uint8_t>(image.begin(), image.end() - 1), 20 * kMs);
    EXPECT_TRUE(device.outbox.empty());
    Feed(&device, {image.back()}, 20 * kMs);
    EXPECT_EQ(device.boot, BootOutcome::Ok);
    EXPECT_EQ(TakeOutput(&device), ">?");
    EXPECT_EQ(DeviceBaud(device), kBootRomBaud);

    Feed(&device, {'x', 'B', '9', '4'}, 30 * kMs);  // stray bytes and a bad code are skipped
    EXPECT_EQ(device.speedCode, '4');
    EXPECT_EQ(DeviceBaud(device), BaudForSpeedCode('4'));
    EXPECT_EQ(device.state, DeviceState::Synchronising);
}

TEST(SimulatedDevice, ImplausibleBootImageSilencesDevice) {
    Device device;
    InitDevice(&device, SimOptions(), {});
    PowerUpDevice(&device);
    TakeOutput(&device);
    Feed(&device, BootImageWithZeroWordAt(100, {1, 2, 3, 4}), kMs);
    EXPECT_EQ(device.boot, BootOutcome::Implausible);
    Feed(&device, {'B', '5', '-'}, 2 * kMs);
    EXPECT_TRUE(device.outbox.empty());
    EXPECT_EQ(device.speedCode, 0);
}

TEST(SimulatedDevice, SpeedCodeRates) {
    int previous = 0;
    for (char code = '0'; code <= '5'; ++code) {
        EXPECT_GT(BaudForSpeedCode(code), previous);
        previous = BaudForSpeedCode(code);
    }
    EXPECT_EQ(BaudForSpeedCode('0'), kBootRomBaud);
    EXPECT_EQ(BaudForSpeedCode('6'), 0);
    EXPECT_EQ(BaudForSpeedCode('/'), 0);
    EXPECT_EQ(BaudForSpeedCode('B'), 0);
}

TEST(SimulatedDevice, SyncAnswersAreSpacedOut) {
    Device device;
    InitDevice(&device, SimOptions(), {});
    PowerUpDevice(&device);
    Feed(&device, BootImageWithZeroWordAt(0, {}), 0);
    Feed(&device, {'B', '5'}, 0);
    TakeOutput(&device);

    int64_t now = 500 * kMs;
    Feed(&device, {'-'}, now);
    EXPECT_EQ(TakeOutput(&device), "?");
    // A second request sent before the first answer arrived gets none.
    Feed(&device, {'-'}, now + 20 * kMs);
    Feed(&device, {'-'}, now + 99 * kMs);
    EXPECT_TRUE(device.outbox.empty());
    Feed(&device, {'-'}, now + 100 * kMs);
    EXPECT_EQ(TakeOutput(&device), "?");
    EXPECT_EQ(device.syncs, 4);
}

TEST(SimulatedDevice, EraseTakesItsTimeAndClearsFlash) {
    SimOptions options;
    options.eraseSeconds = 0.25;
    std::vector<uint8_t> initial(3 * kBlockSize, 0x11);
    Device device;
    InitDevice(&device, options, initial);
    EXPECT_EQ(device.flash.size(), kFlashSize);
    EXPECT_EQ(device.flash[initial.size()], 0xFF);

    const uint32_t eraseLength = 2 * kBlockSize;
    int64_t now = BringToBlocks(&device, '5', eraseLength);
    EXPECT_EQ(device.state, DeviceState::Erasing);
    int64_t deadline = 0;
    EXPECT_TRUE(DeviceNextDeadline(device, &deadline));
    EXPECT_EQ(deadline, now + static_cast<int64_t>(options.eraseSeconds * 1e6));

    DeviceAdvanceClock(&device, deadline - 1);
    EXPECT_TRUE(device.outbox.empty());
    DeviceAdvanceClock(&device, deadline);
    EXPECT_EQ(TakeOutput(&device), "!");
    EXPECT_EQ(device.totalBlocks, static_cast<long>(eraseLength / kBlockSize));
    EXPECT_EQ(device.flash[0], 0xFF);
    EXPECT_EQ(device.flash[eraseLength - 1], 0xFF);
    EXPECT_EQ(device.flash[eraseLength], initial[eraseLength]);
    EXPECT_FALSE(DeviceNextDeadline(device, &deadline));
}

TEST(SimulatedDevice, ProgrammingWritesBlocksAndVerdict) {
    std::mt19937 random(7);
    Device device;
    InitDevice(&device, SimOptions(), {});
    const long blockCount = 3;
    int64_t now = BringToBlocks(&device, '5', static_cast<uint32_t>(blockCount * kBlockSize));
    EXPECT_EQ(device.eraseLength, blockCount * kBlockSize);
    EXPECT_EQ(device.eraseBytes, LittleEndian(static_cast<uint32_t>(blockCount * kBlockSize)));

    std::vector<std::vector<uint8_t>> blocks;
    for (long i = 0; i < blockCount; ++i) {
        blocks.push_back(RandomBlock(&random));
        blocks.back()[0] = 0xFF;  // data starting with 0xFF right after a reply is not a filler
        Feed(&device, Frame(blocks.back()), now);
        now += kMs;
    }
    EXPECT_EQ(TakeOutput(&device), std::string(static_cast<size_t>(blockCount), '#') + "*");
    EXPECT_EQ(device.blocksAccepted, blockCount);
    EXPECT_EQ(device.fillers, 0);
    for (long i = 0; i < blockCount; ++i) {
        EXPECT_EQ(FlashBlock(device, static_cast<size_t>(i)), blocks[i]);
    }
    EXPECT_EQ(device.flash[blockCount * kBlockSize], 0xFF);
    Feed(&device, {'#'}, now);  // after the verdict nothing more is expected
    EXPECT_TRUE(device.outbox.empty());
}

TEST(SimulatedDevice, BadChecksumIsRefusedAndNotWritten) {
    std::mt19937 random(11);
    Device device;
    InitDevice(&device, SimOptions(), {});
    int64_t now = BringToBlocks(&device, '3', kBlockSize);
    std::vector<uint8_t> block = RandomBlock(&random);

    Feed(&device, Frame(block, 1), now);
    EXPECT_EQ(TakeOutput(&device), "E");
    Feed(&device, Frame(block, 1u << 24), now);  // all four checksum bytes count
    EXPECT_EQ(TakeOutput(&device), "E");
    EXPECT_EQ(device.badChecksums, 2);
    EXPECT_EQ(device.refusals, 2);
    EXPECT_EQ(device.blocksAccepted, 0);
    EXPECT_EQ(device.flash[0], 0xFF);
    EXPECT_EQ(device.flash[kBlockSize - 1], 0xFF);

    Feed(&device, Frame(block), now + kMs);
    EXPECT_EQ(TakeOutput(&device), "#*");
    EXPECT_EQ(FlashBlock(device, 0), block);
}

TEST(SimulatedDevice, ForcedRefusals) {
    std::mt19937 random(13);
    SimOptions options;
    options.refuseBlock = 2;
    options.refuseCount = 3;
    Device device;
    InitDevice(&device, options, {});
    int64_t now = BringToBlocks(&device, '5', 2 * kBlockSize);

    Feed(&device, Frame(RandomBlock(&random)), now);
    EXPECT_EQ(TakeOutput(&device), "#");
    std::vector<uint8_t> second = Frame(RandomBlock(&random));
    for (long i = 0; i < options.refuseCount; ++i) {
        Feed(&device, second, now);
        EXPECT_EQ(TakeOutput(&device), "E");
    }
    Feed(&device, second, now);
    EXPECT_EQ(TakeOutput(&device), "#*");
    EXPECT_EQ(device.refusals, options.refuseCount);
    EXPECT_EQ(device.badChecksums, 0);
}

TEST(SimulatedDevice, FlippedBitOnFirstSendingOnly) {
    std::mt19937 random(17);
    SimOptions options;
    options.flipBitBlock = 2;
    Device device;
    InitDevice(&device, options, {});
    int64_t now = BringToBlocks(&device, '5', 3 * kBlockSize);

    std::vector<uint8_t> first = RandomBlock(&random);
    std::vector<uint8_t> second = RandomBlock(&random);
    Feed(&device, Frame(first), now);
    Feed(&device, Frame(second), now);
    EXPECT_EQ(TakeOutput(&device), "#E");
    Feed(&device, Frame(second), now);
    EXPECT_EQ(TakeOutput(&device), "#");
    EXPECT_EQ(device.badChecksums, 1);
    EXPECT_EQ(device.refusals, 1);
    EXPECT_EQ(device.blocksAccepted, 2);
    EXPECT_EQ(FlashBlock(device, 1), second);
}

TEST(SimulatedDevice, FillersAfterSilenceAreDropped) {
    std::mt19937 random(19);
    Device device;
    InitDevice(&device, SimOptions(), {});
    int64_t now = BringToBlocks(&device, '5', kBlockSize);
    std::vector<uint8_t> frame = Frame(RandomBlock(&random));

    // Part of the block arrives, then the PC waits and sends fillers.
    Feed(&device, std::vector<uint8_t>(frame.begin(), frame.begin() + 100), now);
    now += 256 * kMs;
    Feed(&device, {0xFF}, now);
    now += 256 * kMs;
    Feed(&device, {0xFF}, now);
    EXPECT_EQ(device.fillers, 2);
    EXPECT_EQ(device.frame.size(), 100u);
    Feed(&device, std::vector<uint8_t>(frame.begin() + 100, frame.end()), now);
    EXPECT_EQ(TakeOutput(&device), "#*");

    // A reply still held back by a slow line does not hide the fillers sent meanwhile.
    Device paced;
    InitDevice(&paced, SimOptions(), {});
    now = BringToBlocks(&paced, '0', 2 * kBlockSize);
    Feed(&paced, Frame(RandomBlock(&random)), now);
    EXPECT_TRUE(paced.outputPending);
    Feed(&paced, {0xFF}, now + 256 * kMs);
    EXPECT_EQ(paced.fillers, 1);
    EXPECT_TRUE(paced.frame.empty());

    // A 0xFF only 199 ms after the last byte is data.
    Device other;
    InitDevice(&other, SimOptions(), {});
    now = BringToBlocks(&other, '5', kBlockSize);
    Feed(&other, {0x01}, now);
    Feed(&other, {0xFF}, now + 199 * kMs);
    EXPECT_EQ(other.fillers, 0);
    EXPECT_EQ(other.frame.size(), 2u);
}

TEST(SimulatedDevice, SilentAfterBlock) {
    std::mt19937 random(23);
    SimOptions options;
    options.silentFromBlock = 2;
    Device device;
    InitDevice(&device, options, {});
    int64_t now = BringToBlocks(&device, '5', 3 * kBlockSize);

    std::vector<uint8_t> first = RandomBlock(&random);
    Feed(&device, Frame(first), now);
    EXPECT_EQ(TakeOutput(&device), "#");
    Feed(&device, Frame(RandomBlock(&random)), now);
    for (int wait = 1; wait <= 16; ++wait) {
        Feed(&device, {0xFF}, now + wait * 256 * kMs);
    }
    EXPECT_TRUE(device.outbox.empty());
    EXPECT_EQ(device.blocksAccepted, 1);
    EXPECT_EQ(device.fillers, 16);
    EXPECT_EQ(device.flash[kBlockSize], 0xFF);
}

TEST(SimulatedDevice, HangupAfterBlock) {
    std::mt19937 random(29);
    SimOptions options;
    options.hangupAfterBlock = 1;
    Device device;
    InitDevice(&device, options, {});
    int64_t now = BringToBlocks(&device, '5', 2 * kBlockSize);

    Feed(&device, Frame(RandomBlock(&random)), now);
    EXPECT_EQ(TakeOutput(&device), "#");
    EXPECT_EQ(device.state, DeviceState::AwaitingHangup);
    int64_t deadline = 0;
    EXPECT_TRUE(DeviceNextDeadline(device, &deadline));
    EXPECT_GT(deadline, now);
    DeviceAdvanceClock(&device, deadline - 1);
    EXPECT_EQ(device.state, DeviceState::AwaitingHangup);
    Feed(&device, {0x42}, deadline - 1);  // the PC started the next block
    EXPECT_EQ(device.state, DeviceState::HungUp);

    // While the "#" has not left, neither time nor the PC's bytes bring the hang-up.
    Device timed;
    InitDevice(&timed, options, {});
    now = BringToBlocks(&timed, '5', 2 * kBlockSize);
    Feed(&timed, Frame(RandomBlock(&random)), now);
    EXPECT_FALSE(DeviceNextDeadline(timed, &deadline));
    Feed(&timed, {0xFF}, now + 300 * kMs);
    DeviceAdvanceClock(&timed, now + 300 * kMs);
    EXPECT_EQ(timed.state, DeviceState::AwaitingHangup);
    EXPECT_EQ(TakeOutput(&timed), "#");
    EXPECT_TRUE(DeviceNextDeadline(timed, &deadline));
    EXPECT_GT(deadline, now + 300 * kMs);
    DeviceAdvanceClock(&timed, deadline);
    EXPECT_EQ(timed.state, DeviceState::HungUp);

    // At the updater's waits without end the line drops at once, instead of the answer.
    const struct {
        HangupMoment moment;
        long syncs;
        bool eraseLengthKnown;
    } kMoments[] = {{HangupMoment::PowerUp, 0, false}, {HangupMoment::Sync, 1, false},
                    {HangupMoment::Erase, 1, true}};
    for (const auto& expected : kMoments) {
        SimOptions at;
        at.hangupAt = expected.moment;
        Device early;
        InitDevice(&early, at, {});
        BringToBlocks(&early, '5', kBlockSize);
        EXPECT_EQ(early.state, DeviceState::HungUp);
        EXPECT_EQ(early.syncs, expected.syncs);
        EXPECT_EQ(early.eraseLengthKnown, expected.eraseLengthKnown);
        EXPECT_EQ(early.totalBlocks, 0);
    }
}

TEST(SimulatedDevice, GarbageAndFailingVerdict) {
    SimOptions options;
    options.garbageBeforeVerdict = 5;
    options.verdictFail = true;
    Device device;
    InitDevice(&device, options, {});
    PowerUpDevice(&device);
    Feed(&device, BootImageWithZeroWordAt(0, {}), 0);
    // An erase length of 0 means no blocks: the verdict follows the erase at once.
    Feed(&device, {'B', '0', '-', 'F', 0, 0, 0, 0}, 0);
    std::string expected = "<>?";
    expected += "?!" + std::string(static_cast<size_t>(options.garbageBeforeVerdict), 'g') + "^";
    EXPECT_EQ(TakeOutput(&device), expected);
    EXPECT_EQ(device.verdict, '^');
    EXPECT_EQ(device.state, DeviceState::Finished);
}

TEST(SimulatedDevice, InvalidEraseLengthSilencesDevice) {
    // The last one is valid if its most significant byte were lost.
    for (uint32_t length : {static_cast<uint32_t>(kBlockSize + 1), static_cast<uint32_t>(kFlashSize + kBlockSize),
                            static_cast<uint32_t>((1u << 24) + kBlockSize)}) {
        Device device;
        InitDevice(&device, SimOptions(), {});
        int64_t now = BringToBlocks(&device, '5', length);
        EXPECT_EQ(device.state, DeviceState::Silent);
        EXPECT_TRUE(device.eraseLengthKnown);
        EXPECT_EQ(device.eraseLength, length);
        Feed(&device, std::vector<uint8_t>(kBlockFrameSize, 0), now);
        EXPECT_TRUE(device.outbox.empty());
        EXPECT_EQ(device.blocksAccepted, 0);
    }
}

// Arbitrary bytes in every state must neither crash the device nor break its invariants.
TEST(SimulatedDevice, ArbitraryBytes) {
    std::mt19937 random(31);
    for (int round = 0; round < 200; ++round) {
        SimOptions options;
        options.refuseBlock = round % 3;
        options.refuseCount = 1;
        options.flipBitBlock = round % 4;
        Device device;
        InitDevice(&device, options, {});
        int64_t now = 0;
        PowerUpDevice(&device);
        // Some rounds get past stage 1 so stage 2 sees noise too.
        if (round % 2 == 0) {
            Feed(&device, BootImageWithZeroWordAt(0, {}), now);
            Feed(&device, {'B', '5', '-', 'F', 0, 0x0C, 0, 0}, now);
        }
        for (int i = 0; i < 20000; ++i) {
            now += static_cast<int64_t>(random() % 300) * kMs / 10;
            uint8_t byte = static_cast<uint8_t>(random());
            DeviceReceive(&device, byte, now);
            DeviceAdvanceClock(&device, now);
        }
        EXPECT_EQ(device.flash.size(), kFlashSize);
        if (device.totalBlocks != 0) {
            EXPECT_LE(device.blocksAccepted, device.totalBlocks);
        }
        EXPECT_LT(device.frame.size(), kBlockFrameSize);
    }
}

TEST(SimulatedDevice, SummaryLine) {
    std::mt19937 random(37);
    SimOptions options;
    options.flipBitBlock = 1;
    Device device;
    InitDevice(&device, options, {});
    int64_t now = BringToBlocks(&device, '2', 2 * kBlockSize);
    std::vector<uint8_t> block = RandomBlock(&random);
    Feed(&device, Frame(block), now);
    Feed(&device, Frame(block), now);
    Feed(&device, Frame(block), now);
    const long lineBaud = BaudForSpeedCode('2');

    std::string line = FormatSummary(device, lineBaud, "8N1", EndReason::Closed);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    std::istringstream words(line);
    std::string word;
    words >> word;
    EXPECT_EQ(word, "veskor-sim:");
    std::vector<std::pair<std::string, std::string>> fields;
    while (words >> word) {
        size_t equals = word.find('=');
        EXPECT_NE(equals, std::string::npos);
        fields.emplace_back(word.substr(0, equals), word.substr(equals + 1));
    }
    const std::vector<std::string> keys = {"boot",   "speed_code", "line_baud", "line_format", "syncs",   "erase_length",
                                           "erase_bytes", "blocks", "refusals", "bad_checksums", "fillers",
                                           "verdict", "end"};
    EXPECT_EQ(fields.size(), keys.size());
    for (size_t i = 0; i < fields.size() && i < keys.size(); ++i) {
        EXPECT_EQ(fields[i].first, keys[i]);
    }
    if (fields.size() == keys.size()) {
        char eraseBytes[32];
        std::vector<uint8_t> length = LittleEndian(static_cast<uint32_t>(2 * kBlockSize));
        std::snprintf(eraseBytes, sizeof eraseBytes, "%02x,%02x,%02x,%02x", length[0], length[1], length[2],
                      length[3]);
        const std::vector<std::string> values = {"ok", "2", std::to_string(lineBaud), "8N1",
                                                 std::to_string(device.syncs), std::to_string(2 * kBlockSize),
                                                 eraseBytes, "2", "1", "1", "0", "*", "closed"};
        for (size_t i = 0; i < values.size(); ++i) {
            EXPECT_EQ(fields[i].second, values[i]) << keys[i];
        }
    }

    Device fresh;
    InitDevice(&fresh, SimOptions(), {});
    std::string idle = FormatSummary(fresh, 0, "", EndReason::Timeout);
    for (const char* expected : {" boot=none ", " speed_code=none ", " line_baud=0 ", " line_format=none ", " erase_length=none ",
                                 " erase_bytes=none ", " verdict=none ", " end=timeout"}) {
        EXPECT_NE(idle.find(expected), std::string::npos);
    }
    EXPECT_NE(FormatSummary(fresh, 0, "", EndReason::Hangup).find(" end=hangup"), std::string::npos);
    EXPECT_NE(FormatSummary(fresh, 0, "", EndReason::Signal).find(" end=signal"), std::string::npos);
    EXPECT_NE(FormatSummary(fresh, 0, "", EndReason::Error).find(" end=error"), std::string::npos);
}

// The program itself on a line it did not create: the test holds the other end.
TEST(SimulatedDevice, PlaysAnExistingLine) {
    PtyPair pair;
    ASSERT_TRUE(OpenPtyPair(&pair));
    TemporaryFolder folder;
    RunningProcess sim;
    ASSERT_TRUE(StartProcess({VESKOR_SIM_PATH, "--line", pair.slavePath, "--timeout", "30"},
                             folder.path, &sim));
    while (sim.err.find("ready") == std::string::npos && StillRunningAfter(&sim, 10)) {
    }
    EXPECT_EQ(LineSpeedOf(pair.master), kBootRomBaud);
    EXPECT_EQ(ReadExactly(pair.master, 1, 300), "");  // no power-up by itself
    kill(sim.pid, SIGUSR1);
    EXPECT_EQ(ReadExactly(pair.master, 1, 5000), "<");

    std::vector<uint8_t> image = BootImageWithZeroWordAt(8, kGoodMarker);
    const char code = AnyRateCanBeSet() ? '2' : '4';
    EXPECT_EQ(write(pair.master, image.data(), image.size()), static_cast<ssize_t>(image.size()));
    EXPECT_EQ(ReadExactly(pair.master, 2, 5000), ">?");
    const char speedCommand[] = {'B', code};
    EXPECT_EQ(write(pair.master, speedCommand, 2), 2);
    for (int i = 0; i < 300 && LineSpeedOf(pair.master) != BaudForSpeedCode(code); ++i) {
        usleep(10000);
    }
    EXPECT_EQ(LineSpeedOf(pair.master), BaudForSpeedCode(code));
    EXPECT_EQ(write(pair.master, "-", 1), 1);
    EXPECT_EQ(ReadExactly(pair.master, 1, 5000), "?");

    // The quiet line ends the session.
    ProcessResult result = FinishProcess(&sim, 15000);
    ClosePtyPair(&pair);
    EXPECT_EQ(result.exitStatus, 0) << result.err;
    EXPECT_NE(result.err.find(" syncs=1 "), std::string::npos) << result.err;
    EXPECT_EQ(SimulatorSummary(result.err)["end"], "closed");
}

}  // namespace

