// SPDX-License-Identifier: MIT
// The image file: its measurement, rounding to whole blocks, and the flash size class
// that decides which loader the device gets.
#pragma once

#include <cstdint>
#include <cstdio>

#include "cli.h"
#include "image_file.h"

constexpr int kBlockSize = 1024;
// Images are kept 8 KiB clear of the end of the 1 MB and 2 MB parts.
constexpr int64_t kClassOneLimit = 0xFE000;
constexpr int64_t kClassTwoLimit = 0x1FE000;

constexpr int kSizeClassTooLarge = 0;

// Opens a regular file for binary reading, positioned at its start, and measures it.
// Anything that cannot be measured as a regular file (missing, a directory, a device
// or a pipe) counts as a file that cannot be opened: returns nullptr.
std::FILE* OpenMeasured(const char* path, FileIdentity* measured);

// Whether a file opened again is still the one measured before: same length and, where
// the platform tells, the same file. What is sent must be what the device was sized for.
bool SameFileAndLength(const FileIdentity& before, const FileIdentity& now);

int64_t RoundUpToBlocks(int64_t length);

// 1 for a 1 MB part, 2 for a 2 MB part, kSizeClassTooLarge when it fits neither.
int SizeClassFor(int64_t roundedSize);

// The loader the device needs for this run; test mode takes the 1 MB loader.
const char* LoaderFileFor(RunMode mode, int sizeClass);

// The line that announces the class in program and test mode; nullptr in erase mode.
const char* AnnouncementFor(RunMode mode, int sizeClass);
