#include "tools/LogInterval.h"

namespace {

uint32_t SpinValue(uint32_t position) {
    return (position & 0xFFFF0000u) != 0 ? 0 : position;
}

} // namespace

uint32_t LogIntervalFromSpins(uint32_t minutesPos, uint32_t secondsPos, uint32_t msecPos) {
    return SpinValue(minutesPos) * 60000u + SpinValue(secondsPos) * 1000u + SpinValue(msecPos);
}

int MsecSpinStep(int currentPos, int delta) {
    // Held down, the up-down control accelerates and reports +5 or +20 (or their negatives) in
    // place of +1: every step follows the arrow's direction.
    int next = currentPos;
    if (delta > 0) {
        next = currentPos + LOG_MSEC_STEP;
    } else if (delta < 0) {
        next = currentPos - LOG_MSEC_STEP;
    }
    if (next < 0) {
        next = 0;
    }
    if (next > LOG_MSEC_MAX) {
        next = LOG_MSEC_MAX;
    }
    return next;
}

LogIntervalLayout ComputeLogIntervalLayout(int digitsWidth, int digitsHeight, int cancelWidth,
                                           int cancelHeight) {
    LogIntervalLayout layout;
    int h = digitsHeight;
    layout.FieldX = 50;
    layout.FieldWidth = 2 * digitsWidth;
    layout.FieldHeight = h + 8;
    layout.MinutesY = 20;
    layout.SecondsY = h + 38;
    layout.MsecY = 2 * h + 56;
    layout.TextX = layout.FieldWidth + 60;
    layout.ButtonY = layout.MsecY + h + 28;
    layout.ButtonWidth = cancelWidth + 4;
    layout.ButtonHeight = cancelHeight + 8;
    layout.OkX = 30;
    layout.CancelX = cancelWidth + 64;
    // The outer size leaves room for the caption and frame: one more button height below the
    // buttons stands in for them.
    layout.WindowWidth = layout.CancelX + layout.ButtonWidth + 30;
    layout.WindowHeight = layout.ButtonY + layout.ButtonHeight + layout.ButtonHeight + 10;
    return layout;
}
