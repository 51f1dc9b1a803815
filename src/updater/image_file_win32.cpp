// SPDX-License-Identifier: MIT
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include "image_file.h"

std::FILE* OpenRegularFile(const char* path, FileIdentity* identity) {
    // fopen would open a device such as COM7 or NUL typed where the image goes, and
    // opening a port disturbs a device that another program may be flashing.
    struct _stat64 named;
    if (_stat64(path, &named) != 0 || (named.st_mode & _S_IFMT) != _S_IFREG) {
        return nullptr;
    }
    // fopen takes the name in the process's code page, as the command line gave it.
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        std::fclose(file);
        return nullptr;
    }
    identity->length =
        static_cast<int64_t>((uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow);
    identity->volume = info.dwVolumeSerialNumber;
    identity->file = (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    return file;
}
