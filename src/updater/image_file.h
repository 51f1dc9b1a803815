// Opening a file for reading together with the size of what was opened; one version
// per platform.
#pragma once

#include <cstdint>
#include <cstdio>

// Opens path for binary reading, positioned at its start, and gives its size taken
// from the open stream. Anything but a regular file is closed again: nullptr.
std::FILE* OpenRegularFile(const char* path, int64_t* size);
