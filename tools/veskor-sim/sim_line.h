// SPDX-License-Identifier: MIT
// An existing terminal as the device's line (--line): a serial port wired to the
// updater's port, or the host end of a virtual machine's UART.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

struct SerialLine {
    int fd = -1;  // non-blocking
    std::string path;
    struct termios saved;  // the settings found, put back at the end
};

// Opens `path`, which must be a terminal, raw 8N1 without flow control at 9600 baud.
bool OpenSerialLine(const std::string& path, SerialLine* line, std::string* error);

// Lets what was written leave at the old rate, then moves the line to `baud`.
bool SetSerialLineBaud(const SerialLine& line, long baud, std::string* error);

void CloseSerialLine(SerialLine* line);

enum class LineRead { Data, None, Lost };

LineRead ReadSerialLine(const SerialLine& line, std::vector<uint8_t>* data);
