// SPDX-License-Identifier: MIT
// One whole run of the updater, from the banner to the closing key press.
#pragma once

// Exit statuses, for scripts.
enum ExitStatus {
    kExitDone = 0,           // programmed, erased, or communication proven
    kExitDeviceRefused = 1,  // the device did not take the image
    kExitCommandLine = 2,    // usage, port or baud rate refused
    kExitFileProblem = 3,    // image or loader unusable, image too large
    kExitPortProblem = 4,    // the serial port could not be opened or initialised, or was lost
};

int RunUpdater(int argc, const char* const* argv);
