// SPDX-License-Identifier: MIT
// The boot image: the loader file the device's boot ROM receives, zero-filled to a
// fixed size and closed by an end marker.
#pragma once

#include <cstdint>

constexpr int kBootImageSize = 2048;

struct BootImage {
    uint8_t bytes[kBootImageSize];
};

enum class LoaderStatus { Loaded, CannotOpen, Invalid };

// Writes 0xEC 0x02 0x00 0x10 over the last word before the first all-zero word (the
// last word of the image when there is none); nothing when the first word is zero.
void PlaceEndMarker(BootImage* image);

// Reads the loader file into `image`, zero-fills the rest and places the marker.
// Invalid: longer than the boot image, or shorter than measured when read.
LoaderStatus LoadBootImage(const char* loaderFile, BootImage* image);
