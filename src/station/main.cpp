// SPDX-License-Identifier: MIT
#include "station.h"

int main(int argc, char** argv) {
    return RunStation(argc, argv);
}
