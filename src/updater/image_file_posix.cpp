#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image_file.h"

std::FILE* OpenRegularFile(const char* path, int64_t* size) {
    // Non-blocking so that a FIFO does not wait for a writer; and a device named by
    // mistake does not become the controlling terminal.
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
    *size = static_cast<int64_t>(info.st_size);
    return file;
}
