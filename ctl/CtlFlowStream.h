// Every flow sample the board makes, in order and timed: the board keeps the samples made
// since the last "~GAFV" (at most 250, 1.25 s worth), so reading every 100 ms loses none.
#pragma once

#include "ctl/CtlSampleClock.h"
#include "device/BoardRecords.h"

// How often the stream asks the board for its samples.
constexpr double FLOW_STREAM_PERIOD_SECONDS = 0.1;

struct FlowStream {
    SampleClock Clock;
    double OriginSeconds; // DeviceNowSeconds() at the start: time 0 of every sample
    int FailedInRow;
};

// Takes the samples made before now off the board and starts the clock at 0: now, or at
// originSeconds (a DeviceNowSeconds() time just past) when it is not negative, so that the
// streams of several boards share one time origin. Returns an exit code.
int FlowStreamStart(FlowStream* stream, double originSeconds = -1.0);
// Seconds since the stream started.
double FlowStreamNow(const FlowStream* stream);
// The samples made since the last read, oldest first, with their times. Returns how many, or
// -1 (reported) when the board stopped answering. A lost or overfull batch is reported on
// standard error and the stream goes on.
int FlowStreamRead(FlowStream* stream, float* flows, double* times);
