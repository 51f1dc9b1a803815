// SPDX-License-Identifier: MIT
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sha256.h"
#include "station_files.h"

namespace {

std::string SystemReason() {
    return std::strerror(errno);
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

std::string BaseName(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string PortEntryName(int portNumber) {
    return "COM" + std::to_string(portNumber);
}

std::string BuiltInPort(int portNumber) {
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

bool IsExecutableFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Copies the open image into the new file, hashing what is written.
bool CopyBytes(int from, int to, const std::string& image, ImageCopy* copy, std::string* problem) {
    Sha256 hash;
    Sha256Start(&hash);
    char buffer[65536];
    int64_t total = 0;
    for (;;) {
        ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            *problem = "cannot read the image '" + image + "': " + SystemReason();
            return false;
        }
        if (got == 0) {
            break;
        }
        total += got;
        if (total > kLargestImage) {
            *problem = "the image '" + image + "' is longer than 2,087,936 bytes";
            return false;
        }
        if (!WriteAll(to, buffer, static_cast<size_t>(got))) {
            *problem = "cannot copy the image to " + copy->path + ": " + SystemReason();
            return false;
        }
        Sha256Add(&hash, buffer, static_cast<size_t>(got));
    }
    copy->bytes = total;
    copy->sha256 = Sha256FinishHex(&hash);
    return true;
}

}  // namespace

std::string TemporaryRoot() {
    const char* fromEnvironment = getenv("TMPDIR");
    if (fromEnvironment != nullptr && fromEnvironment[0] == '/') {
        return fromEnvironment;
    }
    return "/tmp";
}

bool MakeImageCopy(const std::string& image, const std::string& temporaryRoot, ImageCopy* copy,
                   std::string* problem) {
    *copy = ImageCopy{};
    // Looked at before it is opened: a device or a FIFO typed as the image is never opened.
    struct stat named;
    if (stat(image.c_str(), &named) != 0) {
        *problem = "cannot use the image '" + image + "': " + SystemReason();
        return false;
    }
    if (!S_ISREG(named.st_mode)) {
        *problem = "the image '" + image + "' is not a regular file";
        return false;
    }
    if (named.st_size > kLargestImage) {
        *problem = "the image '" + image + "' is longer than 2,087,936 bytes";
        return false;
    }
    // Non-blocking and without a controlling terminal, should it have been replaced
    // by a FIFO or a device since it was looked at.
    int from = open(image.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (from < 0) {
        *problem = "cannot open the image '" + image + "': " + SystemReason();
        return false;
    }
    struct stat opened;
    if (fstat(from, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        close(from);
        *problem = "the image '" + image + "' is not a regular file";
        return false;
    }

    std::string pattern = temporaryRoot + "/brivane-station-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        close(from);
        *problem = "cannot make a private folder in " + temporaryRoot + ": " + SystemReason();
        return false;
    }
    copy->folder = pattern;
    copy->path = copy->folder + "/" + BaseName(image);
    int to = open(copy->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0400);
    if (to < 0) {
        *problem = "cannot copy the image to " + copy->path + ": " + SystemReason();
        close(from);
        RemoveImageCopy(copy);
        return false;
    }
    bool copied = CopyBytes(from, to, image, copy, problem);
    close(from);
    // Read-only whatever the umask left of the mode.
    if (copied && fchmod(to, 0400) != 0) {
        *problem = "cannot make the copy " + copy->path + " read-only: " + SystemReason();
        copied = false;
    }
    if (close(to) != 0 && copied) {
        *problem = "cannot copy the image to " + copy->path + ": " + SystemReason();
        copied = false;
    }
    if (!copied) {
        RemoveImageCopy(copy);
    }
    return copied;
}

void RemoveImageCopy(ImageCopy* copy) {
    if (!copy->path.empty()) {
        unlink(copy->path.c_str());
        copy->path.clear();
    }
    if (!copy->folder.empty()) {
        rmdir(copy->folder.c_str());
        copy->folder.clear();
    }
}

int OpenRecordForAppending(const std::string& path, std::string* problem) {
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = -1;
    // An existing file is appended to; a new one is made only where nothing is.
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        fd = open(path.c_str(), flags);
        if (fd < 0 && errno == ENOENT) {
            fd = open(path.c_str(), flags | O_CREAT | O_EXCL, 0644);
        }
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        const int reason = errno;
        struct stat entry;
        if (lstat(path.c_str(), &entry) == 0 && S_ISLNK(entry.st_mode)) {
            *problem = "cannot append to the log '" + path + "': it is a symbolic link";
        } else if (lstat(path.c_str(), &entry) == 0 && !S_ISREG(entry.st_mode)) {
            *problem = "the log '" + path + "' is not a regular file";
        } else {
            *problem = "cannot append to the log '" + path + "': " + std::strerror(reason);
        }
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        *problem = "the log '" + path + "' is not a regular file";
        return -1;
    }
    int current = fcntl(fd, F_GETFL);
    if (current < 0 || fcntl(fd, F_SETFL, current & ~O_NONBLOCK) != 0) {
        *problem = "cannot append to the log '" + path + "': " + SystemReason();
        close(fd);
        return -1;
    }
    return fd;
}

bool AppendRecordLine(int fd, const std::string& line, std::string* problem) {
    if (!WriteAll(fd, line.data(), line.size())) {
        *problem = "cannot write to the log: " + SystemReason();
        return false;
    }
    if (fsync(fd) != 0) {
        *problem = "cannot flush the log to the disk: " + SystemReason();
        return false;
    }
    return true;
}

bool FindPortDevice(int portNumber, std::string* device) {
    const std::string entry = PortEntryName(portNumber);
    struct stat info;
    if (lstat(entry.c_str(), &info) != 0) {
        *device = BuiltInPort(portNumber);
        return stat(device->c_str(), &info) == 0;
    }
    char resolved[PATH_MAX];
    if (realpath(entry.c_str(), resolved) == nullptr || stat(resolved, &info) != 0) {
        return false;
    }
    *device = resolved;
    return true;
}

std::string PortTargetName(int portNumber) {
    const std::string entry = PortEntryName(portNumber);
    char target[PATH_MAX];
    ssize_t length = readlink(entry.c_str(), target, sizeof target - 1);
    if (length > 0) {
        return std::string(target, static_cast<size_t>(length));
    }
    struct stat info;
    return lstat(entry.c_str(), &info) == 0 ? entry : BuiltInPort(portNumber);
}

std::string StableAdapterName(const std::string& device, const std::string& stableNamesFolder) {
    struct stat target;
    if (stat(device.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) {
        return "";
    }
    DIR* folder = opendir(stableNamesFolder.c_str());
    if (folder == nullptr) {
        return "";
    }
    std::string found;
    while (struct dirent* entry = readdir(folder)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::string path = stableNamesFolder + "/" + entry->d_name;
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == target.st_rdev) {
            // The first in name order, so that the same adapter gets the same name.
            if (found.empty() || path < found) {
                found = path;
            }
        }
    }
    closedir(folder);
    return found;
}

std::string FindBrivane(const char* argv0) {
    std::string own = OwnExecutablePath(argv0);
    std::string::size_type slash = own.rfind('/');
    if (slash != std::string::npos) {
        std::string beside = own.substr(0, slash + 1) + "brivane";
        if (IsExecutableFile(beside)) {
            return beside;
        }
    }
    const char* path = getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type colon = folders.find(':', start);
        std::string folder = folders.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        // An empty entry is the working folder, but only an absolute path is taken:
        // the children run in the working folder, and a relative one would move.
        if (!folder.empty() && folder[0] == '/' && IsExecutableFile(folder + "/brivane")) {
            return folder + "/brivane";
        }
        if (colon == std::string::npos) {
            return "";
        }
        start = colon + 1;
    }
}
