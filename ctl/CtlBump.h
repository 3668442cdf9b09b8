// What torvanctl bump-valve did, for whatever keeps a record of the run.
#pragma once

#include <cstdint>
#include <string>

#include "ctl/CtlReport.h"

struct BumpResult {
    // PASS: bumped; FAIL: the flow did not settle in time; ERROR: no board, a meter, a reply
    // missing or refused; ABORTED: Ctrl-C, SIGTERM or SIGHUP.
    TestOutcome Outcome;
    std::string Reason;      // "" for PASS
    uint32_t Drive1, Drive2; // the valve drives found at --sp1 and --sp2 (PASS only)
};

// The last bump of this run.
const BumpResult& LastBumpResult();
