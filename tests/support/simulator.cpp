// SPDX-License-Identifier: MIT
#include "simulator.h"

#include <sys/stat.h>

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
