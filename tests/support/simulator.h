// SPDX-License-Identifier: MIT
// Starting veskor-sim for a test; SimulatorSummary (expected_output.h) reads its report.
#pragma once

#include <string>
#include <vector>

#include "process.h"

// Starts the simulator in `folder` on port `port` and waits until its COMN link is
// there; false (with the reason in `process->err`) when it never appears.
bool StartSimulator(const std::string& simulatorPath, const std::string& folder, int port,
                    const std::vector<std::string>& options, RunningProcess* process);
