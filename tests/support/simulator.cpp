#include "simulator.h"

#include <sys/stat.h>

#include <sstream>

bool StartSimulator(const std::string& simulatorPath, const std::string& folder, int port,
                    const std::vector<std::string>& options, RunningProcess* process) {
    std::vector<std::string> argv = {simulatorPath, "--port", std::to_string(port)};
    argv.insert(argv.end(), options.begin(), options.end());
    if (!StartProcess(argv, folder, process)) {
        return false;
    }
    std::string link = folder + "/COM" + std::to_string(port);
    struct stat entry;
    for (int i = 0; i < 500; ++i) {
        if (lstat(link.c_str(), &entry) == 0) {
            return true;
        }
        if (!StillRunningAfter(process, 10)) {
            return false;
        }
    }
    return false;
}

std::map<std::string, std::string> SimulatorSummary(const std::string& err) {
    std::map<std::string, std::string> values;
    size_t start = err.rfind("veskor-sim: boot=");
    if (start == std::string::npos) return values;
    std::istringstream fields(err.substr(start + 12));
    std::string field;
    while (fields >> field) {
        size_t equals = field.find('=');
        if (equals != std::string::npos) values[field.substr(0, equals)] = field.substr(equals + 1);
    }
    return values;
}
