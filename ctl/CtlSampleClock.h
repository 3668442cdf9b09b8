// Times for the board's flow samples. The board makes one every 5 ms on its own clock and
// hands them out in batches. Counting samples gives exact spacing but drifts against the
// host's clock over a long capture, while the host time at which a batch arrives jitters
// with every reply. So each batch's newest sample is anchored to the host time of its
// request, and the offset between the count and the host clock follows those anchors slowly:
// the spacing stays 5 ms and a capture of hours still keeps the host's time.
#pragma once

constexpr double BOARD_SAMPLE_SECONDS = 0.005;

struct SampleClock {
    long long Count; // samples timed so far
    double Offset;   // seconds added to Count x 5 ms
    int Anchored;    // 0 until a batch has set the offset
};

void SampleClockStart(SampleClock* clock);
// Samples went missing (a batch was lost): the next batch sets the offset afresh.
void SampleClockResync(SampleClock* clock);
// Times the n samples of one batch, oldest first, in seconds of the caller's clock;
// hostSeconds is that clock when the batch was asked for.
void SampleClockBatch(SampleClock* clock, double hostSeconds, int n, double* timesOut);
