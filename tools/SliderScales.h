// Trackbar scales of the set point and PID dialogs: value <-> thumb position and the label
// texts. Every trackbar is vertical with its largest value at the top (position 0).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int SETPOINT_TRACK_MAX = 1000; // one step is 0.1 % of full scale
constexpr int PID_TRACK_MAX = 65000;

constexpr float PROPORTIONAL_DEFAULT_MAX = 30000.0f;
constexpr double INTEGRAL_TOP = 10.0;
constexpr double DERIVATIVE_TOP = 0.1;

// Set point in percent of full scale.
int SetPointToPosition(float percent);
float SetPointFromPosition(int position);
// The percentage buttons 2000, 2010 ... 2100: per-mille value id * 10 - 20000, or -1 for an
// identifier that is not one of the eleven buttons.
int SetPointButtonPerMille(int id);
float SetPointFromPerMille(int perMille);

// Proportional gain: the top of the slider is proportionalMax; never less than 1.
float ProportionalFromPosition(int position, float proportionalMax);
int ProportionalToPosition(float value, float proportionalMax);
float IntegralFromPosition(int position);
int IntegralToPosition(float value);
float DerivativeFromPosition(int position);
int DerivativeToPosition(float value);
uint32_t CrackingFromPosition(int position, uint32_t crackingMax);
int CrackingToPosition(uint32_t value, uint32_t crackingMax);

// Whether a value posted by a dialog is one its slider can stand for: finite and within the
// slider's ends. Anything else (NaN, infinity, a wild number from another program's message)
// is not passed to the board.
int SetPointAccepted(float percent);
int ProportionalAccepted(float value, float proportionalMax);
int IntegralAccepted(float value);
int DerivativeAccepted(float value);
int CrackingAccepted(long long value, uint32_t crackingMax);

// Label texts; each returns its text, written into buffer (always terminated).
const char* FormatSetPointLabel(char* buffer, size_t size, float percent);   // "%5.2f"
const char* FormatProportionalLabel(char* buffer, size_t size, float value); // "%1.0f"
const char* FormatGainLabel(char* buffer, size_t size, float value);         // "%1.4f"
const char* FormatCrackingLabel(char* buffer, size_t size, uint32_t value);  // "%lu"
