// SPDX-License-Identifier: MIT
#include "boot_image.h"

#include <cstdio>
#include <cstring>

#include "image.h"

void PlaceEndMarker(BootImage* image) {
    int firstZeroWord = kBootImageSize;
    for (int offset = 0; offset < kBootImageSize; offset += 4) {
        const uint8_t* word = image->bytes + offset;
        if (word[0] == 0 && word[1] == 0 && word[2] == 0 && word[3] == 0) {
            firstZeroWord = offset;
            break;
        }
    }
    if (firstZeroWord == 0) {
        return;
    }
    static const uint8_t kEndMarker[4] = {0xEC, 0x02, 0x00, 0x10};
    std::memcpy(image->bytes + firstZeroWord - 4, kEndMarker, sizeof kEndMarker);
}

LoaderStatus LoadBootImage(const char* loaderFile, BootImage* image) {
    FileIdentity loader{};
    std::FILE* file = OpenMeasured(loaderFile, &loader);
    if (file == nullptr) {
        return LoaderStatus::CannotOpen;
    }
    const int64_t length = loader.length;
    if (length > kBootImageSize) {
        return LoaderStatus::Invalid;  // the file is left to process exit
    }
    size_t wanted = static_cast<size_t>(length);
    size_t got = wanted == 0 ? 0 : std::fread(image->bytes, 1, wanted, file);
    std::fclose(file);
    if (got != wanted) {
        return LoaderStatus::Invalid;
    }
    std::memset(image->bytes + wanted, 0, kBootImageSize - wanted);
    PlaceEndMarker(image);
    return LoaderStatus::Loaded;
}
