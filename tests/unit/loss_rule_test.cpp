// SPDX-License-Identifier: MIT
// The rule by which both serial back ends decide that a port is lost and which failures
// they report: it decides when a pulled USB adapter ends a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial_common.h"

namespace {

enum Outcome { kFailed, kFailedCertainly, kSucceeded };

// At `atMs` the operation has `outcome`; a failure is `reported`; the port is `lost` after.
struct Step {
    SerialOperation operation;
    Outcome outcome;
    uint32_t atMs;
    bool reported, lost;
};

TEST(LossRule, LostAfterOneOperationFailedForTwoSecondsAndReportedOncePerOperation) {
    const SerialOperation kRead = kOperationRead, kWrite = kOperationWrite;
    // clang-format off
    const std::vector<Step> kStories[] = {
        // The clock starts at the first failure; each operation is reported once.
        {{kRead, kFailed, 1000, true, false}, {kRead, kFailed, 2000, false, false},
         {kWrite, kFailed, 2800, true, false}, {kRead, kFailed, 2899, false, false},
         {kRead, kFailed, 2900, false, true}},
        // A success starts the clock and the report afresh.
        {{kRead, kFailed, 0, true, false}, {kRead, kSucceeded, 1500, false, false},
         {kRead, kFailed, 1600, true, false}, {kRead, kFailed, 3499, false, false},
         {kRead, kFailed, 3500, false, true}},
        // Each operation has its own clock and report; another's success changes neither.
        {{kWrite, kFailed, 0, true, false}, {kRead, kSucceeded, 1000, false, false},
         {kWrite, kFailed, 1000, false, false}, {kRead, kFailed, 1800, true, false},
         {kRead, kFailed, 2000, false, false}, {kWrite, kFailed, 2000, false, true}},
        // An error that shows the device gone ends it at once.
        {{kRead, kFailed, 0, true, false}, {kRead, kFailedCertainly, 10, false, true}},
    };
    // clang-format on
    for (const auto& story : kStories) {
        SerialPort port{};
        for (const Step& step : story) {
            SCOPED_TRACE("story " + std::to_string(&story - kStories) + " at " +
                         std::to_string(step.atMs));
            if (step.outcome == kSucceeded) {
                NoteSuccess(&port, step.operation);
            } else {
                EXPECT_EQ(
                    NoteFailure(&port, step.operation, step.outcome == kFailedCertainly, step.atMs),
                    step.reported);
            }
            EXPECT_EQ(port.lost, step.lost);
        }
    }
}

}  // namespace
