// SPDX-License-Identifier: MIT
#include "station_args.h"

namespace {

const int kRates[] = {9600, 19200, 28800, 38400, 57600, 115200};

// Plain decimal digits only: "1x" or "+1" in a script is a mistake, not port 1.
bool ReadSmallNumber(const std::string& text, int* value) {
    if (text.empty() || text.size() > 7) {
        return false;
    }
    int number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + (c - '0');
    }
    *value = number;
    return true;
}

bool ReadRate(const std::string& text, int* rate) {
    int number = 0;
    if (!ReadSmallNumber(text, &number)) {
        return false;
    }
    for (int accepted : kRates) {
        if (number == accepted) {
            *rate = number;
            return true;
        }
    }
    return false;
}

}  // namespace

StationArgsVerdict ReadStationArgs(const std::vector<std::string>& args, StationOptions* options,
                                   std::string* problem) {
    *options = StationOptions{};
    bool baudGiven = false;
    bool logGiven = false;
    bool optionsEnded = false;
    std::vector<std::string> operands;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            return StationArgsVerdict::Help;
        }
        if (arg == "--version") {
            return StationArgsVerdict::Version;
        }
        if (arg == "--once") {
            options->once = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        std::string::size_type equals = arg.find('=');
        if (equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        if (name != "--baud" && name != "--log") {
            *problem = "unknown option '" + arg + "'";
            return StationArgsVerdict::Refused;
        }
        if (equals == std::string::npos) {
            if (i + 1 >= args.size()) {
                *problem = name + " needs a value";
                return StationArgsVerdict::Refused;
            }
            value = args[++i];
        }
        bool& given = name == "--baud" ? baudGiven : logGiven;
        if (given) {
            *problem = name + " given twice";
            return StationArgsVerdict::Refused;
        }
        given = true;
        if (name == "--baud" && !ReadRate(value, &options->baud)) {
            *problem = "invalid baud rate '" + value + "' (9600, 19200, 28800, 38400, 57600 or 115200)";
            return StationArgsVerdict::Refused;
        }
        if (name == "--log") {
            if (value.empty()) {
                *problem = "--log needs a file name";
                return StationArgsVerdict::Refused;
            }
            options->logPath = value;
        }
    }

    if (operands.empty()) {
        *problem = "no image given";
        return StationArgsVerdict::Refused;
    }
    options->imagePath = operands[0];
    if (options->imagePath.empty()) {
        *problem = "the image name is empty";
        return StationArgsVerdict::Refused;
    }
    if (operands.size() < 2) {
        *problem = "no port given";
        return StationArgsVerdict::Refused;
    }
    if (operands.size() - 1 > static_cast<size_t>(kMaxStationPorts)) {
        *problem = "at most 8 ports";
        return StationArgsVerdict::Refused;
    }
    for (size_t i = 1; i < operands.size(); ++i) {
        int port = 0;
        if (!ReadSmallNumber(operands[i], &port) || port < 1 || port > kMaxStationPorts) {
            *problem = "invalid port '" + operands[i] + "' (1 to 8)";
            return StationArgsVerdict::Refused;
        }
        for (int earlier : options->ports) {
            if (earlier == port) {
                *problem = "port " + operands[i] + " given twice";
                return StationArgsVerdict::Refused;
            }
        }
        options->ports.push_back(port);
    }
    return StationArgsVerdict::Run;
}

const char* StationUsage() {
    return "Usage: brivane-station [--baud RATE] [--log FILE] [--once] IMAGE PORT...\n"
           "Flashes IMAGE into the Veskor devices on up to eight ports at once, one\n"
           "brivane run per port and board, and starts the next run on a port as soon\n"
           "as one ends.\n"
           "  PORT         1 to 8, as brivane takes it (COMN in this folder, else\n"
           "               /dev/ttyS<N-1>); each at most once\n"
           "  --baud RATE  9600, 19200, 28800, 38400, 57600 or 115200 (default)\n"
           "  --log FILE   append one JSON line per board to FILE\n"
           "  --once       one run per port, then end\n"
           "Ctrl+C once: ports waiting for a board stop, boards in progress finish.\n"
           "Ctrl+C again: those are stopped too.\n"
           "Exit status: 0 every board OK, 1 a board failed, 2 command line refused,\n"
           "3 the image, the log or brivane cannot be used.\n";
}
