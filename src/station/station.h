// SPDX-License-Identifier: MIT
// brivane-station: the whole program, from the command line to the exit status.
#pragma once

int RunStation(int argc, char** argv);
