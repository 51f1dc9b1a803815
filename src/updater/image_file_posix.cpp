// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image_file.h"

std::FILE* OpenRegularFile(const char* path, FileIdentity* identity) {
    // Opening a terminal raises its DTR and RTS, which may reset a device another
    // program is flashing: a port typed where the image goes is refused unopened.
    struct stat named;
    if (stat(path, &named) != 0 || !S_ISREG(named.st_mode)) {
        return nullptr;
    }
    // Non-blocking and no controlling terminal, should the path have been replaced
    // by a FIFO or a device since it was looked at.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
        return nullptr;
    }
    identity->length = static_cast<int64_t>(info.st_size);
    identity->volume = static_cast<uint64_t>(info.st_dev);
    identity->file = static_cast<uint64_t>(info.st_ino);
    return file;
}
