// SPDX-License-Identifier: MIT
#include "serial_posix_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ending_signals.h"

namespace {

// The lock taken last, removed at exit and on an ending signal.
DeviceLock g_heldLock;

void ReleaseHeldLock() {
    ReleaseDeviceLock(&g_heldLock);
}

bool SameInode(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The PID at the start of a lock's text: blanks, then digits that end the text or a
// blank (some programs add their name after it). 0 when there is no valid PID.
pid_t PidIn(const char* text, ssize_t length) {
    ssize_t at = 0;
    while (at < length && IsBlank(text[at])) {
        ++at;
    }
    long long pid = 0;
    const ssize_t digitsFrom = at;
    while (at < length && text[at] >= '0' && text[at] <= '9' && pid <= INT_MAX) {
        pid = pid * 10 + (text[at++] - '0');
    }
    const bool ended = at == length || IsBlank(text[at]);
    return at > digitsFrom && ended && pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

// The PID in the lock file at `path`, read without following a link, without blocking
// and without taking a terminal; `identity` gets the opened file's. 0 for a file with
// no valid PID, -1 (errno set) when there is no regular file to read.
pid_t ReadLockPid(const char* path, struct stat* identity) {
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    char text[64];
    ssize_t got = -1;
    if (fstat(fd, identity) == 0 && S_ISREG(identity->st_mode)) {
        got = read(fd, text, sizeof text);
    }
    close(fd);
    if (got < 0) {
        errno = EINVAL;
        return -1;
    }
    return PidIn(text, got);
}

enum LockState { kNoLock, kLiveLock, kStaleLock, kNotALock };

// Judges what is at a lock's name; `identity` gets the device and inode of what was
// judged. Only a regular file is opened. A lock we cannot read counts as live.
LockState JudgeLock(const char* path, struct stat* identity) {
    if (lstat(path, identity) != 0) {
        return kNoLock;
    }
    if (S_ISDIR(identity->st_mode)) {
        return kNotALock;  // cannot be taken over: this folder cannot lock the device
    }
    if (!S_ISREG(identity->st_mode)) {
        return kStaleLock;  // a link, FIFO, socket or device holds no PID
    }
    const pid_t owner = ReadLockPid(path, identity);
    if (owner < 0) {
        return errno == ENOENT ? kNoLock : kLiveLock;
    }
    // Our own PID is stale too: a restarted container gives out the same PIDs again.
    if (owner == 0 || owner == getpid()) {
        return kStaleLock;
    }
    return kill(owner, 0) == 0 || errno == EPERM ? kLiveLock : kStaleLock;
}

uint64_t Unpredictable() {
    static uint64_t counter = 0;
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    uint64_t x = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                 (++counter * 0x9E3779B97F4A7C15ull) ^ reinterpret_cast<uintptr_t>(&now);
    x ^= x >> 33;
    x *= 0xFF51AFD7ED558CCDull;
    return x ^ (x >> 33);
}

// "<folder>/LTMP.<pid>", or with an unpredictable suffix when `unpredictable`.
bool PrivateName(const char* folder, bool unpredictable, char* path, size_t size) {
    const int pid = static_cast<int>(getpid());
    const int length = unpredictable
                           ? std::snprintf(path, size, "%s/LTMP.%d.%016llx", folder, pid,
                                           static_cast<unsigned long long>(Unpredictable()))
                           : std::snprintf(path, size, "%s/LTMP.%d", folder, pid);
    return length > 0 && static_cast<size_t>(length) < size;
}

// A new file of ours in `folder` holding our PID, mode 0644 whatever the umask so that
// other users' programs can judge it. Never opened through a link: a name that is
// taken, by anything, is passed over for another. Returns its descriptor, or -1.
int CreateOwnFile(const char* folder, char* path, size_t size) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (!PrivateName(folder, attempt > 0, path, size)) {
            return -1;
        }
        const int fd =
            open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST) {
            continue;
        }
        if (fd < 0) {
            return -1;
        }
        char pid[16];
        const int length = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
        if (fchmod(fd, 0644) == 0 && write(fd, pid, static_cast<size_t>(length)) == length) {
            return fd;
        }
        close(fd);
        unlink(path);
        return -1;
    }
    return -1;
}

}  // namespace

// Moved to a private name first, so that what is judged again is what is removed.
void RemoveStaleLock(const char* folder, const char* lockPath, const struct stat& judged) {
    char aside[PATH_MAX];
    if (!PrivateName(folder, true, aside, sizeof aside) || rename(lockPath, aside) != 0) {
        return;
    }
    struct stat moved {};
    if (JudgeLock(aside, &moved) == kStaleLock && SameInode(moved, judged)) {
        unlink(aside);
        return;
    }
    [[maybe_unused]] const int relinked = link(aside, lockPath);  // judged by lstat below
    struct stat there;
    if (lstat(lockPath, &there) == 0 && SameInode(there, moved)) {
        unlink(aside);
    }  // else a third run has locked meanwhile; the displaced lock is not ours to remove
}

namespace {

// The PID goes into a file of our own first, which is then linked into place: the lock
// never exists without its owner's PID in it.
LockResult TakeLockIn(const char* folder, const char* lockPath, DeviceLock* lock) {
    char own[PATH_MAX];
    const int fd = CreateOwnFile(folder, own, sizeof own);
    if (fd < 0) {
        return kLockUnavailable;
    }
    struct stat ours;
    const bool known = fstat(fd, &ours) == 0;
    LockResult result = kLockUnavailable;
    for (int attempt = 0; known && attempt < 3 && result == kLockUnavailable; ++attempt) {
        // What the name holds afterwards decides, not link's result: over NFS a link
        // that was made can be reported as failed.
        [[maybe_unused]] const int linked = link(own, lockPath);
        struct stat found;
        if (lstat(lockPath, &found) == 0 && SameInode(found, ours)) {
            result = kLockTaken;
            break;
        }
        switch (JudgeLock(lockPath, &found)) {
            case kLiveLock:
                result = kLockHeld;
                break;
            case kStaleLock:
                RemoveStaleLock(folder, lockPath, found);
                break;
            case kNoLock:
                break;  // gone meanwhile, or links cannot be made here: tried again
            case kNotALock:
                attempt = 3;
                break;
        }
    }
    unlink(own);
    close(fd);
    if (result == kLockTaken) {
        std::memcpy(lock->file, lockPath, sizeof lock->file);
        lock->device = ours.st_dev;
        lock->inode = ours.st_ino;
    }
    return result;
}

// "/dev/ttyUSB0" gives "ttyUSB0", "/dev/pts/3" gives "pts_3", other paths their last part.
void LockNameFor(const char* device, char* name, size_t size) {
    const char* relative = std::strncmp(device, "/dev/", 5) == 0 ? device + 5 : device;
    if (relative == device && std::strrchr(device, '/') != nullptr) {
        relative = std::strrchr(device, '/') + 1;
    }
    std::snprintf(name, size, "%s", relative);
    for (char* c = name; *c != '\0'; ++c) {
        *c = *c == '/' ? '_' : *c;
    }
}

// Whether folders[index] is one of the folders before it under another name: on Debian
// /var/lock is a link to /run/lock. Each folder is judged and tried once.
bool SeenEarlier(const char* const folders[], int index) {
    struct stat folder;
    if (stat(folders[index], &folder) != 0) {
        return false;
    }
    for (int i = 0; i < index; ++i) {
        struct stat earlier;
        if (stat(folders[i], &earlier) == 0 && SameInode(earlier, folder)) {
            return true;
        }
    }
    return false;
}

bool LockPathIn(const char* folder, const char* name, char* path, size_t size) {
    const int length = std::snprintf(path, size, "%s/LCK..%s", folder, name);
    return length > 0 && static_cast<size_t>(length) < size;
}

}  // namespace

LockResult TakeDeviceLock(const char* devicePath, const char* const folders[], int folderCount,
                          DeviceLock* lock) {
    lock->file[0] = '\0';
    char device[PATH_MAX];
    if (realpath(devicePath, device) == nullptr) {
        return kLockUnavailable;  // nothing there; the open will fail
    }
    char name[PATH_MAX];
    LockNameFor(device, name, sizeof name);
    // Held back, so that no end comes between making a file and noting it for removal.
    const sigset_t previousMask = BlockEndingSignals();
    LockResult result = kLockUnavailable;
    char lockPath[PATH_MAX];
    for (int i = 0; i < folderCount && result != kLockHeld; ++i) {
        struct stat found;
        if (!SeenEarlier(folders, i) && LockPathIn(folders[i], name, lockPath, sizeof lockPath) &&
            JudgeLock(lockPath, &found) == kLiveLock) {
            result = kLockHeld;
        }
    }
    if (result != kLockHeld && DeviceHeldWithFlock(device)) {
        result = kLockHeld;
    }
    for (int i = 0; i < folderCount && result == kLockUnavailable; ++i) {
        if (!SeenEarlier(folders, i) && LockPathIn(folders[i], name, lockPath, sizeof lockPath)) {
            result = TakeLockIn(folders[i], lockPath, lock);
        }
    }
    if (result == kLockTaken) {
        g_heldLock = *lock;
        TidyUpAtEveryEnd(ReleaseHeldLock);
    }
    RestoreSignalMask(previousMask);
    return result;
}

// Also the ending-signal handler's, so it keeps to calls that are safe there.
void ReleaseDeviceLock(DeviceLock* lock) {
    if (lock->file[0] == '\0') {
        return;
    }
    struct stat found;
    if (ReadLockPid(lock->file, &found) == getpid() && found.st_dev == lock->device &&
        found.st_ino == lock->inode) {
        unlink(lock->file);
    }
    if (lock != &g_heldLock && std::strcmp(lock->file, g_heldLock.file) == 0) {
        g_heldLock.file[0] = '\0';
    }
    lock->file[0] = '\0';
}
