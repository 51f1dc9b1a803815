// SPDX-License-Identifier: MIT
// Linux lists every flock in /proc/locks with the device and inode of the locked file,
// so a port can be refused before it is opened even where no lock folder is usable.
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstring>

#include "serial_posix_lock.h"

bool DeviceHeldWithFlock(const char* path) {
    struct stat node;
    std::FILE* locks = nullptr;
    if (stat(path, &node) != 0 || (locks = std::fopen("/proc/locks", "re")) == nullptr) {
        return false;
    }
    // "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF"; a waiter's line has "->" first.
    char line[256];
    bool held = false;
    while (!held && std::fgets(line, sizeof line, locks) != nullptr) {
        char kind[16];
        unsigned int deviceMajor = 0;
        unsigned int deviceMinor = 0;
        unsigned long long inode = 0;
        held = std::sscanf(line, "%*d: %15s %*s %*s %*d %x:%x:%llu", kind, &deviceMajor,
                           &deviceMinor, &inode) == 4 &&
               std::strcmp(kind, "FLOCK") == 0 && deviceMajor == major(node.st_dev) &&
               deviceMinor == minor(node.st_dev) && inode == node.st_ino;
    }
    std::fclose(locks);
    return held;
}
