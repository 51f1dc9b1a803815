#include "image.h"

#include <filesystem>
#include <system_error>

std::FILE* OpenMeasured(const char* path, int64_t* length) {
    namespace fs = std::filesystem;
    std::error_code error;
    // Checked before opening: opening a pipe for reading would wait for a writer.
    if (!fs::is_regular_file(fs::status(path, error)) || error) {
        return nullptr;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    uintmax_t size = fs::file_size(path, error);
    if (error || size > static_cast<uintmax_t>(INT64_MAX - kBlockSize)) {
        std::fclose(file);
        return nullptr;
    }
    *length = static_cast<int64_t>(size);
    return file;
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
