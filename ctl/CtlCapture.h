// What torvanctl capture did on each board, for whatever keeps a record of the run.
#pragma once

#include <string>
#include <vector>

#include "ctl/CtlReport.h"

struct CaptureResult {
    std::string Port;
    std::string File; // the CSV ("standard output" for one board without --out)
    long Samples;     // rows written
    // PASS: captured for as long as asked (or until Ctrl-C without a duration); ABORTED: a
    // capture with a duration cut short; ERROR: no board, a board that stopped sending
    // samples, a file that could not be written.
    TestOutcome Outcome;
    std::string Reason; // "" for PASS
};

// One per board of this run's capture, in the order the ports were named.
const std::vector<CaptureResult>& CaptureResults();
