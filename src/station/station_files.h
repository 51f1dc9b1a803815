// SPDX-License-Identifier: MIT
// The files the station works with: the private copy of the image, the record, the
// ports' devices and the brivane program. POSIX.
#pragma once

#include <cstdint>
#include <string>

// brivane refuses anything longer.
const int64_t kLargestImage = 2087936;

struct ImageCopy {
    std::string folder;  // private to this user (0700), made for this session
    std::string path;    // the copy, read-only, under the image's own base name
    int64_t bytes = 0;
    std::string sha256;  // of the very bytes written to the copy
};

// Copies `image` into a new folder under `temporaryRoot`. Only a regular file is
// opened, never a device or a FIFO; false with the reason in `problem`.
bool MakeImageCopy(const std::string& image, const std::string& temporaryRoot, ImageCopy* copy,
                   std::string* problem);
void RemoveImageCopy(ImageCopy* copy);

// Where the private folder goes: $TMPDIR when it is an absolute path, else /tmp.
std::string TemporaryRoot();

// Opens the record for appending, creating it when it does not exist. Only a regular
// file is taken, never through a symbolic link at its last component, and a FIFO
// never blocks the open. Returns the descriptor, or -1 with the reason in `problem`.
int OpenRecordForAppending(const std::string& path, std::string* problem);

// Appends one line with a single write (continued only if the system takes part of
// it) and flushes it to the disk; false with the reason in `problem`.
bool AppendRecordLine(int fd, const std::string& line, std::string* problem);

// The device port N leads to now: the entry COMN in the working folder, resolved,
// when there is one, else /dev/ttyS<N-1>. False when that device does not exist (a
// link to a USB adapter that is not plugged in). Looks, never opens.
bool FindPortDevice(int portNumber, std::string* device);

// What port N names, even without its device: the link's target as written, or
// /dev/ttyS<N-1>.
std::string PortTargetName(int portNumber);

// The entry of `stableNamesFolder` (on Linux /dev/serial/by-id) that leads to the
// same device as `device`, as a path; empty when none does.
std::string StableAdapterName(const std::string& device, const std::string& stableNamesFolder);

// brivane next to the station's own executable, else on PATH; empty when neither.
std::string FindBrivane(const char* argv0);

// Where the running program's executable is, as well as the system tells; empty
// when it cannot be told. Platform files implement it.
std::string OwnExecutablePath(const char* argv0);
