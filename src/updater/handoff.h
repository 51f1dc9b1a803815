// SPDX-License-Identifier: MIT
// Stage 1: the device's boot ROM receives the boot image, and the loader it starts
// moves the link to the chosen speed.
#pragma once

#include <cstdint>

#include "boot_image.h"
#include "serial.h"

// The rates the loader can switch the link to.
bool IsAcceptedBaudRate(int32_t baud);

// The character that names an accepted `baud` in the loader's speed command.
char SpeedCodeFor(int32_t baud);

enum class PortStatus { Ready, CannotOpen, CannotInitialize, Lost };

// Opens the port and sets it to 9600 baud, reads without time limit, input purged.
PortStatus PreparePort(SerialPort* port, long portNumber);

// Downloads the boot image and switches both ends to `baud`, leaving the port with a
// 20 ms read time-out: Ready, CannotInitialize when the new rate cannot be set, or Lost.
PortStatus HandOffLoader(SerialPort* port, const BootImage& image, int32_t baud);
