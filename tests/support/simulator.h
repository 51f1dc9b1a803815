// Starting veskor-sim for a test and reading what it reports.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "process.h"

// Starts the simulator in `folder` on port `port` and waits until its COMN link is
// there; false (with the reason in `process->err`) when it never appears.
bool StartSimulator(const std::string& simulatorPath, const std::string& folder, int port,
                    const std::vector<std::string>& options, RunningProcess* process);

// The simulator's closing line "veskor-sim: key=value ..." as a map.
std::map<std::string, std::string> SimulatorSummary(const std::string& err);
