// SPDX-License-Identifier: MIT
// The station's command line: brivane-station [--baud RATE] [--log FILE] [--once] IMAGE PORT...
#pragma once

#include <string>
#include <vector>

const int kMaxStationPorts = 8;
const int kDefaultStationBaud = 115200;

struct StationOptions {
    std::string imagePath;
    std::vector<int> ports;  // 1 to 8, each once, in the order given
    int baud = kDefaultStationBaud;
    std::string logPath;     // empty: no record on disk
    bool once = false;
};

enum class StationArgsVerdict {
    Run,
    Help,     // --help: the usage on standard output, exit 0
    Version,  // --version
    Refused,  // the reason is in `problem`; usage and exit 2
};

StationArgsVerdict ReadStationArgs(const std::vector<std::string>& args, StationOptions* options,
                                   std::string* problem);

const char* StationUsage();
