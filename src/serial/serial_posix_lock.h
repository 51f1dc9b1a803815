// SPDX-License-Identifier: MIT
// The device lock that serial programs on Linux and the BSDs agree on: a file
// "LCK..<device>" holding its owner's PID, in a lock folder. It is taken before the
// device is opened, since opening a terminal raises DTR and RTS, which resets some
// devices in the middle of another program's flash. The folders are writable by every
// user, so everything found there is treated as hostile.
#pragma once

#include <limits.h>
#include <sys/stat.h>
#include <sys/types.h>

struct DeviceLock {
    char file[PATH_MAX];  // the lock file while we hold it, else empty
    dev_t device;         // its identity, so that only our own lock is ever removed
    ino_t inode;
};

enum LockResult : int {
    kLockTaken = 0,
    kLockHeld = 1,         // another live program holds the device: do not open it
    kLockUnavailable = 2,  // no folder could take the lock, and nobody is seen holding the device
};

// Takes the lock of the device at `devicePath` in the first of `folders` where it can
// be taken, after taking over a stale lock (no valid PID, a dead PID, or our own). A
// live lock in any of the folders refuses the device, whether or not we may write
// there; so does, where the system shows it, a flock that another process holds on the
// device node. A taken lock also goes at exit and with an ending signal.
LockResult TakeDeviceLock(const char* devicePath, const char* const folders[], int folderCount,
                          DeviceLock* lock);

// Removes the lock at `lockPath` in `folder`, judged stale as the file `judged` (its
// device and inode), only if it is still that file and still stale: a lock that another
// run put in its place meanwhile, or rewrote in place, goes back.
void RemoveStaleLock(const char* folder, const char* lockPath, const struct stat& judged);

// Removes the lock file if it is still ours, and forgets it.
void ReleaseDeviceLock(DeviceLock* lock);

// Whether a process holds the device node at `path` with flock; only Linux
// shows this (/proc/locks), elsewhere the answer is always no.
bool DeviceHeldWithFlock(const char* path);
