// SPDX-License-Identifier: MIT
// Stage 2: the loader erases the flash and receives the image in checksummed blocks.
#pragma once

#include <cstdint>
#include <cstdio>

#include "serial.h"

constexpr uint32_t kFullEraseLength = 0x200000;
constexpr int kSilentWaitsPerSending = 16;

// Sum of the block's bytes as unsigned values.
uint32_t BlockChecksum(const uint8_t* block, int size);

// 32-bit values go least significant byte first on the wire.
void EncodeLittleEndian32(uint32_t value, uint8_t out[4]);

// Synchronises with the loader, sends the erase command for `eraseLength` bytes and
// waits, without limit, until the device reports the erase finished. False when the
// port was lost on the way.
bool SynchroniseAndErase(SerialPort* port, uint32_t eraseLength);

// Sends the image's blocks and reads the device's verdict. True only when every
// block was accepted and the device reported success. `imageLength` is the measured
// length; `roundedSize` the whole blocks that the device erased.
bool ProgramBlocks(SerialPort* port, std::FILE* image, int64_t imageLength, int64_t roundedSize);

void PrintProgrammingOutcome(const char* imagePath, bool succeeded);
