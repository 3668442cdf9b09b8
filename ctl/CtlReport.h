// The step test's report: the table and the PASS/FAIL line for a person, one JSON object for
// a script, and an SVG plot of set point and flow against time. No board and no operating
// system here, so the native tests check the writers directly.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "ctl/CtlStepMath.h"

struct BoardInfo {
    int IsController;
    char Name[128];
    char GasSymbol[64];
    char Units[64];
    float FullScale;
};

struct StepRecord {
    double From, To;    // %FS
    double SendSeconds; // when the set point was sent, on the test's clock
    double EndSeconds;  // when the next one was sent, or the test ended
    StepMetrics Metrics;
    int Pass;
};

struct StepReport {
    const char* Port;
    BoardInfo Board;
    double Band;
    StepLimits Limits;
    std::vector<StepRecord> Steps;
    int Pass;
    // Every sample, oldest first, on the test's clock, with the set point it was made under.
    std::vector<double> Time;
    std::vector<float> Flow;
    std::vector<float> SetPoint;
};

std::string StepReportJson(const StepReport& report);
void PrintStepTable(FILE* out, const StepReport& report);
// Returns 1 when the whole plot was written.
int WriteStepSvg(FILE* out, const StepReport& report);
