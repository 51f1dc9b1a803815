// SPDX-License-Identifier: MIT
#include "console.h"
#include "run.h"

int main(int argc, char** argv) {
    // Before anything is opened, so that nothing opened can become standard output.
    if (!PrepareStandardStreams()) {
        return kExitPortProblem;  // the port cannot be opened safely
    }
    return RunUpdater(argc, argv);
}
