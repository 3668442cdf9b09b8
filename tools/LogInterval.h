// The arithmetic of the log interval window: the interval from its three spins, the
// milliseconds spin's step of 100, and where its controls go given measured text sizes.
#pragma once

#include <cstdint>

constexpr int LOG_MSEC_MAX = 1000;
constexpr int LOG_SEC_MAX = 60;
constexpr int LOG_MIN_MAX = 60;
constexpr int LOG_MSEC_STEP = 100;

// Takes the raw UDM_GETPOS results; a result whose high word is set is the spin reporting an
// error and counts as 0.
uint32_t LogIntervalFromSpins(uint32_t minutesPos, uint32_t secondsPos, uint32_t msecPos);

// The position the milliseconds spin moves to for a pending change of delta: up 100 for any
// positive delta, down 100 for any negative one, kept inside 0..LOG_MSEC_MAX.
int MsecSpinStep(int currentPos, int delta);

struct LogIntervalLayout {
    int FieldX, FieldWidth, FieldHeight;
    int MinutesY, SecondsY, MsecY; // field tops, also the label tops
    int TextX;                     // left of the "Minutes", "Seconds", "mSec" labels
    int ButtonY, OkX, CancelX, ButtonWidth, ButtonHeight;
    int WindowWidth, WindowHeight;
};

// digitsWidth/Height: the size of "88888"; cancelWidth/Height: the size of " CANCEL ".
LogIntervalLayout ComputeLogIntervalLayout(int digitsWidth, int digitsHeight, int cancelWidth,
                                           int cancelHeight);
