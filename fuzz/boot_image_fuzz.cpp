// SPDX-License-Identifier: MIT
// The boot image from arbitrary loader files: the input is written as the loader file
// and loaded into a boot image that sits alone in a heap block of exactly its size,
// so that AddressSanitizer sees any write outside the 2048 bytes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "boot_image.h"

namespace {

std::string g_loaderPath;
int g_loader = -1;

[[noreturn]] void Fail(const char* what, size_t size) {
    std::fprintf(stderr, "boot_image_fuzz: %s (loader of %zu bytes)\n", what, size);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A memory file system where there is one: the loader is written for every input.
    char path[64];
    std::snprintf(path, sizeof path, "%s/brivane-loader-fuzz-XXXXXX",
                  access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    g_loader = mkstemp(path);
    if (g_loader < 0) {
        std::perror("mkstemp");
        std::exit(1);
    }
    g_loaderPath = path;
    std::atexit([] { unlink(g_loaderPath.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (ftruncate(g_loader, 0) != 0 ||
        (size > 0 && pwrite(g_loader, data, size, 0) != static_cast<ssize_t>(size))) {
        Fail("cannot write the loader file", size);
    }

    BootImage* image = static_cast<BootImage*>(std::malloc(sizeof(BootImage)));
    // Whatever was in the memory before must not show through.
    std::memset(image->bytes, size > 0 ? data[0] ^ 0x5A : 0xA5, sizeof image->bytes);
    LoaderStatus status = LoadBootImage(g_loaderPath.c_str(), image);

    if (size > static_cast<size_t>(kBootImageSize)) {
        if (status != LoaderStatus::Invalid) Fail("a loader longer than 2048 bytes was taken", size);
        std::free(image);
        return 0;
    }
    if (status != LoaderStatus::Loaded) Fail("a loader of at most 2048 bytes was refused", size);

    // The expected image: the file, zeros up to 2048 bytes, and the marker over the
    // word before the first all-zero word (the last word when there is none).
    uint8_t expected[kBootImageSize] = {};
    if (size > 0) std::memcpy(expected, data, size);
    size_t firstZeroWord = sizeof expected;
    for (size_t word = 0; word + 4 <= sizeof expected; word += 4) {
        if ((expected[word] | expected[word + 1] | expected[word + 2] | expected[word + 3]) == 0) {
            firstZeroWord = word;
            break;
        }
    }
    if (firstZeroWord > 0) {
        expected[firstZeroWord - 4] = 0xEC;
        expected[firstZeroWord - 3] = 0x02;
        expected[firstZeroWord - 2] = 0x00;
        expected[firstZeroWord - 1] = 0x10;
    }
    for (size_t i = 0; i < sizeof expected; ++i) {
        if (image->bytes[i] != expected[i]) {
            std::fprintf(stderr, "byte %zu is %02x, expected %02x\n", i, image->bytes[i], expected[i]);
            Fail("the boot image differs", size);
        }
    }
    // Beyond the file only zeros, except the marker.
    for (size_t i = size; i < sizeof expected; ++i) {
        bool inMarker = firstZeroWord > 0 && i + 4 >= firstZeroWord && i < firstZeroWord;
        if (!inMarker && image->bytes[i] != 0) Fail("non-zero byte after the file", size);
    }
    std::free(image);
    return 0;
}
