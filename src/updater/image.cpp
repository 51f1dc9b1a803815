// SPDX-License-Identifier: MIT
#include "image.h"

std::FILE* OpenMeasured(const char* path, FileIdentity* measured) {
    FileIdentity identity{};
    std::FILE* file = OpenRegularFile(path, &identity);
    if (file == nullptr) {
        return nullptr;
    }
    // Rounding up to whole blocks must not overflow.
    if (identity.length < 0 || identity.length > INT64_MAX - kBlockSize) {
        std::fclose(file);
        return nullptr;
    }
    *measured = identity;
    return file;
}

bool SameFileAndLength(const FileIdentity& before, const FileIdentity& now) {
    return before.length == now.length && before.volume == now.volume && before.file == now.file;
}

int64_t RoundUpToBlocks(int64_t length) {
    return (length + (kBlockSize - 1)) & ~static_cast<int64_t>(kBlockSize - 1);
}

int SizeClassFor(int64_t roundedSize) {
    if (roundedSize < kClassOneLimit) {
        return 1;
    }
    if (roundedSize < kClassTwoLimit) {
        return 2;
    }
    return kSizeClassTooLarge;
}

const char* LoaderFileFor(RunMode mode, int sizeClass) {
    if (mode == RunMode::Erase) {
        return "bootcode_mac2M_erase.bin";
    }
    return sizeClass == 2 ? "bootcode_mac2M.bin" : "bootcode_mac.bin";
}

const char* AnnouncementFor(RunMode mode, int sizeClass) {
    if (mode == RunMode::Erase) {
        return nullptr;
    }
    return sizeClass == 2 ? "\nProgramming 2 MB Flash code\n" : "\nProgramming 1 MB Flash code\n";
}
