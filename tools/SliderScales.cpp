#include "tools/SliderScales.h"

#include <cmath>
#include <cstdio>

// Position for a value on a slider whose top (position 0) stands for top and whose bottom
// (trackMax) for 0: trackMax - trunc(value / top * trackMax). Values come from the board's
// registers and may lie outside the slider or be NaN; they are pinned to its ends before the
// conversion to int, which would be undefined for them.
static int PositionForFraction(double value, double top, int trackMax) {
    if (!(top > 0.0) || std::isnan(value))
        return trackMax;
    double steps = std::trunc(value / top * trackMax);
    if (steps <= 0.0)
        return trackMax;
    if (steps >= trackMax)
        return 0;
    return trackMax - static_cast<int>(steps);
}

static int ClampPosition(int position, int trackMax) {
    if (position < 0)
        return 0;
    if (position > trackMax)
        return trackMax;
    return position;
}

static float ValueAtPosition(int position, int trackMax, double top) {
    position = ClampPosition(position, trackMax);
    return static_cast<float>(static_cast<double>(trackMax - position) / trackMax * top);
}

int SetPointToPosition(float percent) {
    return PositionForFraction(percent, 100.0, SETPOINT_TRACK_MAX);
}

float SetPointFromPosition(int position) {
    return ValueAtPosition(position, SETPOINT_TRACK_MAX, 100.0);
}

int SetPointButtonPerMille(int id) {
    if (id < 2000 || id > 2100 || id % 10 != 0)
        return -1;
    return id * 10 - 20000;
}

float SetPointFromPerMille(int perMille) {
    return static_cast<float>(perMille / 1000.0 * 100.0);
}

float ProportionalFromPosition(int position, float proportionalMax) {
    float value = ValueAtPosition(position, PID_TRACK_MAX, proportionalMax);
    // The board's loop does nothing useful with a proportional gain below 1.
    return value < 1.0f ? 1.0f : value;
}

int ProportionalToPosition(float value, float proportionalMax) {
    return PositionForFraction(value, proportionalMax, PID_TRACK_MAX);
}

float IntegralFromPosition(int position) {
    return ValueAtPosition(position, PID_TRACK_MAX, INTEGRAL_TOP);
}

int IntegralToPosition(float value) {
    return PositionForFraction(value, INTEGRAL_TOP, PID_TRACK_MAX);
}

float DerivativeFromPosition(int position) {
    return ValueAtPosition(position, PID_TRACK_MAX, DERIVATIVE_TOP);
}

// The scale works on the decimal 0.1: a gain the board reports as 0.05 (a float a little
// above it) then sits exactly half way, and 0.1f, a little above 0.1, pins to the top.
int DerivativeToPosition(float value) {
    return PositionForFraction(value, DERIVATIVE_TOP, PID_TRACK_MAX);
}

uint32_t CrackingFromPosition(int position, uint32_t crackingMax) {
    position = ClampPosition(position, PID_TRACK_MAX);
    // Integer arithmetic: max * steps fits 64 bits and the division truncates exactly.
    uint64_t steps = static_cast<uint64_t>(PID_TRACK_MAX - position);
    return static_cast<uint32_t>(crackingMax * steps / PID_TRACK_MAX);
}

int CrackingToPosition(uint32_t value, uint32_t crackingMax) {
    if (crackingMax == 0)
        return PID_TRACK_MAX;
    uint64_t steps = static_cast<uint64_t>(value) * PID_TRACK_MAX / crackingMax;
    if (steps >= static_cast<uint64_t>(PID_TRACK_MAX))
        return 0;
    return PID_TRACK_MAX - static_cast<int>(steps);
}

// The slider's own ends are floats made from the decimal top (0.1 becomes 0.1f, a little
// above it), so the comparison is made in float.
static int WithinSlider(float value, float bottom, double top) {
    return std::isfinite(value) && value >= bottom && value <= static_cast<float>(top);
}

int SetPointAccepted(float percent) {
    return WithinSlider(percent, 0.0f, 100.0);
}

int ProportionalAccepted(float value, float proportionalMax) {
    return WithinSlider(value, 1.0f, proportionalMax);
}

int IntegralAccepted(float value) {
    return WithinSlider(value, 0.0f, INTEGRAL_TOP);
}

int DerivativeAccepted(float value) {
    return WithinSlider(value, 0.0f, DERIVATIVE_TOP);
}

int CrackingAccepted(long long value, uint32_t crackingMax) {
    return value >= 0 && value <= static_cast<long long>(crackingMax);
}

const char* FormatSetPointLabel(char* buffer, size_t size, float percent) {
    std::snprintf(buffer, size, "%5.2f", static_cast<double>(percent));
    return buffer;
}

const char* FormatProportionalLabel(char* buffer, size_t size, float value) {
    std::snprintf(buffer, size, "%1.0f", static_cast<double>(value));
    return buffer;
}

const char* FormatGainLabel(char* buffer, size_t size, float value) {
    std::snprintf(buffer, size, "%1.4f", static_cast<double>(value));
    return buffer;
}

const char* FormatCrackingLabel(char* buffer, size_t size, uint32_t value) {
    std::snprintf(buffer, size, "%lu", static_cast<unsigned long>(value));
    return buffer;
}
