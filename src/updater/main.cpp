// SPDX-License-Identifier: MIT
#include "run.h"

int main(int argc, char** argv) {
    return RunUpdater(argc, argv);
}
