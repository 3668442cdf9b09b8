#include "ctl/CtlSampleClock.h"

// How much of the gap to the latest anchor the offset takes up per batch, and the most it
// moves at once: a late reply shifts the times by at most a millisecond, while the drift of
// a board's crystal (well under a millisecond per batch) is followed in full.
constexpr double OFFSET_GAIN = 0.1;
constexpr double OFFSET_STEP_LIMIT = 0.001;

void SampleClockStart(SampleClock* clock) {
    clock->Count = 0;
    clock->Offset = 0.0;
    clock->Anchored = 0;
}

void SampleClockResync(SampleClock* clock) {
    clock->Anchored = 0;
}

void SampleClockBatch(SampleClock* clock, double hostSeconds, int n, double* timesOut) {
    if (n <= 0) {
        return;
    }
    double anchor = hostSeconds - (double)(clock->Count + n - 1) * BOARD_SAMPLE_SECONDS;
    if (!clock->Anchored) {
        clock->Offset = anchor;
        clock->Anchored = 1;
    } else {
        double step = (anchor - clock->Offset) * OFFSET_GAIN;
        if (step > OFFSET_STEP_LIMIT) {
            step = OFFSET_STEP_LIMIT;
        } else if (step < -OFFSET_STEP_LIMIT) {
            step = -OFFSET_STEP_LIMIT;
        }
        clock->Offset += step;
    }
    for (int i = 0; i < n; ++i) {
        timesOut[i] = (double)(clock->Count + i) * BOARD_SAMPLE_SECONDS + clock->Offset;
    }
    clock->Count += n;
}
