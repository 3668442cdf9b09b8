// The figures of one set point step, from the flow samples the board made while the step
// was held. Pure arithmetic: the step test collects the samples, this measures them.
#pragma once

struct StepInput {
    const double* Time; // seconds since the set point was sent, ascending, from 0
    const float* Flow;  // %FS
    int Count;
    double From, To;    // the previous and the new set point, %FS
    double Band;        // %FS either side of To
    double HoldSeconds; // the step's length
    double SettleForMs; // 0: settled means inside the band for the rest of the hold
};

// Figures that do not exist are NaN: no settle, no rise (a step of 0 or one that never
// reaches 90 %), no sample in the last second of the hold.
struct StepMetrics {
    double SettleMs;     // send to the first sample of the run that stays inside the band
    double RiseMs;       // first sample beyond 10 % of the step to the first beyond 90 %
    double OvershootPct; // largest excursion beyond To in the step's direction; 0 for none
    double MeanErrorPct; // mean of flow - To over the last second of the hold
    double NoisePct;     // standard deviation of flow - To over that second
};

StepMetrics AnalyseStep(const StepInput& step);

// The same figures taken one sample at a time, so that a long test keeps no samples: start
// with the step's shape (its Time, Flow and Count are not used), add each sample of the step
// in order (time since the set point was sent), and finish.
struct StepAccumulator {
    StepInput Shape;
    int Needed;          // samples in a row for a settle with SettleForMs; 0 to the end
    int Run;             // samples in a row inside the band so far
    double RunStart;     // time of the first of them
    double SettleAt;     // fixed once a run reaches Needed; NaN until then
    double At10, RiseMs; // NaN until reached
    double Overshoot;    // %FS beyond To in the step's direction
    double TailSum, TailSquares;
    int TailCount;
};
void StepStart(StepAccumulator* step, const StepInput& shape);
void StepAdd(StepAccumulator* step, double time, float flow);
StepMetrics StepFinish(const StepAccumulator& step);

// A negative limit is one not given.
struct StepLimits {
    double MaxSettleMs;
    double MaxOvershootPct;
    double MaxErrorPct;
};

// 1 when every limit given holds; a settle limit fails a step that never settled.
int StepPasses(const StepMetrics& metrics, const StepLimits& limits);
