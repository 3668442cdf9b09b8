// The checker's own test: traces with a known break of each promise planted in them must each
// be caught, and the same traces without the break must pass.
#pragma once

#include <string>
#include <vector>

#include "tests/chaos/ChaosCheck.h"
#include "tests/chaos/ChaosTrace.h"

// A clean run written out by hand: two runs of a controller with a reconnection between them,
// a log, a set point and a PID value, command lines (one resent after a lost reply), Close and
// Exit.
ChaosTrace ChaosSampleTrace();

struct ChaosPlant {
    const char* Name;
    ChaosInvariant Expected;
    // Plants the fault in *trace; 0 when the trace has no place for it.
    int (*Apply)(ChaosTrace* trace);
};

const std::vector<ChaosPlant>& ChaosPlants();

struct ChaosSelfCheckResult {
    int Caught = 0;
    int Total = 0;
    int CleanBases = 0;             // base traces that passed the checker unchanged
    std::vector<std::string> Lines; // one per plant and per base, for the report
};

// Plants every fault in each base trace it fits; a base must itself be clean.
ChaosSelfCheckResult ChaosRunSelfCheck(const std::vector<ChaosTrace>& bases);
