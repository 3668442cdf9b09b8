// The step test's report: the table and the PASS/FAIL line for a person, one JSON object for
// a script, and an SVG plot of set point and flow against time. No board and no operating
// system here, so the native tests check the writers directly.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "ctl/CtlStepMath.h"

// What became of a test, as hardware test records say it: PASS and FAIL for a test that ran to
// its end (within its limits or not), ERROR for one that could not be carried out or recorded
// (no board, no reply, a file that cannot be written), ABORTED for one broken off from outside
// (Ctrl-C, SIGTERM, SIGHUP).
enum TestOutcome { OUTCOME_PASS, OUTCOME_FAIL, OUTCOME_ERROR, OUTCOME_ABORTED };
const char* OutcomeName(TestOutcome outcome);
// The outcome of several boards' tests together: ABORTED before ERROR before FAIL before PASS.
TestOutcome WorstOutcome(TestOutcome a, TestOutcome b);

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

// The flow trace the plot draws, kept small however long the test: time is cut into
// buckets and each keeps its lowest and highest sample (in time order), so the plot keeps the
// noise band without every sample. Buckets shorter than the 5 ms between samples keep all.
struct FlowTrace {
    double BucketSeconds;
    long long LastBucket; // -1 before the first sample
    size_t BucketFirst;   // index of the last bucket's first point
    std::vector<double> Time;
    std::vector<float> Flow;
};

// Buckets for a test of about plannedSeconds: some 2000 of them.
void TraceStart(FlowTrace* trace, double plannedSeconds);
void TraceAdd(FlowTrace* trace, double time, float flow);

struct StepReport {
    const char* Port;
    BoardInfo Board;
    double Band;
    StepLimits Limits;
    std::vector<StepRecord> Steps;
    int Pass; // every step within its limits
    TestOutcome Outcome;
    std::string Reason; // why it is not PASS, in words; "" for PASS
    FlowTrace Trace;    // on the test's clock
};

// Board texts are not promised to be UTF-8 (S54 is whatever someone stored): bytes that do not
// form UTF-8 are replaced by U+FFFD, and control characters by blanks.
std::string CleanUtf8(const char* text);
// CleanUtf8, then escaped for XML text and attributes.
std::string XmlEscaped(const char* text);
// CleanUtf8, then one CSV field: quoted (quotes doubled) when it holds a comma or a quote.
std::string CsvField(const char* text);

std::string StepReportJson(const StepReport& report);
void PrintStepTable(FILE* out, const StepReport& report);
// Returns 1 when the whole plot was written.
int WriteStepSvg(FILE* out, const StepReport& report);
