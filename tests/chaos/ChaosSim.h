// The simulation: one schedule through the program's owner, worker runs, command queue, line
// queue, deferred sends and log, against emulated boards behind simulated ports and a virtual
// clock, single-threaded. The same schedule gives the same trace, entry for entry.
#pragma once

#include "tests/chaos/ChaosSchedule.h"
#include "tests/chaos/ChaosTrace.h"

ChaosTrace ChaosSimulate(const ChaosSchedule& schedule);
