// The step test's own pieces shared by its files: the plan, a board of a bench, and the
// bench's summary and JSON (CtlStepSummary.cpp).
#pragma once

#include <string>
#include <vector>

#include "ctl/CtlBench.h"
#include "ctl/CtlReport.h"
#include "ctl/CtlStepMath.h"

struct StepPlan {
    std::vector<double> SetPoints;
    double HoldSeconds;
    double Band;
    double SettleForMs;
    StepLimits Limits;
};

struct StepBoard {
    const std::vector<std::string>* Ports;
    int Index;
    const StepPlan* Plan;
    BenchStart* Start;
    int Connected; // the board was found: its test ran, or broke off
    int Code;      // EXIT_DONE, EXIT_LIMIT_FAILED for any failed test, else why it was not run
    std::string Why;
    StepReport Report;
};

// The outcome of the whole bench: the worst of its boards'.
TestOutcome BenchOutcome(const std::vector<StepBoard>& boards);
// The table of every board (worst settle, overshoot and |mean error|, outcome) and a last line
// with the bench's outcome and the boards that did not pass.
void PrintStepSummary(const std::vector<StepBoard>& boards);
// {"version", "outcome", "pass", "boards": [each board's report with its "port"]}.
std::string StepBenchJson(const std::vector<StepBoard>& boards);
