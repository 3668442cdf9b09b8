// A settle wait with an overall limit: the flow must stay inside [low, high] for durationMs
// worth of consecutive samples, and the wait gives up at the deadline or on Ctrl-C.
#pragma once

#include "device/SerialPort.h"

enum SettleOutcome { SETTLED, SETTLE_TIMED_OUT, SETTLE_INTERRUPTED, SETTLE_NO_READINGS };

struct SettleResult {
    SettleOutcome Outcome;
    double SettleSeconds;  // from startSeconds to the first sample of the final run
    double ElapsedSeconds; // from startSeconds to the end of the wait
    float LastSample;
};

// type: 0 filtered flow ("~GFF"), 1 raw flow ("~GRF"), 2 state samples ("~GSV").
// startSeconds is a DeviceNowSeconds() time, normally when the set point was sent.
SettleResult WaitForSettleBounded(ComHandle handle, int type, float low, float high, int durationMs,
                                  double timeoutSeconds, double startSeconds);
