// SPDX-License-Identifier: MIT
// Opening a file for reading together with what identifies the file that was opened;
// one version per platform.
#pragma once

#include <cstdint>
#include <cstdio>

// The opened file's length, and where the platform can tell, which file it is.
struct FileIdentity {
    int64_t length;
    uint64_t volume;  // device (POSIX) or volume serial number (Windows)
    uint64_t file;    // inode (POSIX) or file index (Windows)
};

// Opens path for binary reading, positioned at its start, and identifies it from the
// open stream. Only a regular file is opened at all: the path is looked at first, so
// that a device typed where a file belongs is never opened. Else nullptr.
std::FILE* OpenRegularFile(const char* path, FileIdentity* identity);
