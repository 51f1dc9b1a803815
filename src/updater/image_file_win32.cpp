#include <sys/stat.h>
#include <sys/types.h>

#include "image_file.h"

std::FILE* OpenRegularFile(const char* path, int64_t* size) {
    // fopen takes the name in the ANSI code page, as the command line gave it.
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    // Refuses what fopen also opens: a device such as NUL or COM1, or a pipe.
    struct _stat64 info;
    if (_fstat64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(file);
        return nullptr;
    }
    *size = info.st_size;
    return file;
}
