// Shrinking a failing schedule: delta debugging over its events, keeping each smaller schedule
// that still fails with the same promise broken.
#pragma once

#include <functional>

#include "tests/chaos/ChaosSchedule.h"

struct ChaosShrinkResult {
    ChaosSchedule Schedule;
    int Runs; // schedules tried
};

// stillFails(candidate) is 1 when the candidate breaks the same promise. At most maxRuns
// candidates are tried; the smallest failing one found by then is returned.
ChaosShrinkResult ChaosShrink(const ChaosSchedule& failing,
                              const std::function<int(const ChaosSchedule&)>& stillFails,
                              int maxRuns = 4000);
