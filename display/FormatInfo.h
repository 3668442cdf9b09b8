// How many decimal places a flow or a total is shown with, and the string of '8's that is as
// wide as the widest such number (it sizes the digit fonts).
#pragma once

#include <cstddef>

// Chooses about four significant digits for value; writes a sizing string of '8's, as long as
// the formatted value plus extraChars, into sizingOut (cut to sizingSize) and the number of
// decimals into decimalsOut. Prints "DigitBuff: <sizing string>" on stdout. Returns sizingOut.
const char* GetFormatInfo(float value, int extraChars, char* sizingOut, size_t sizingSize,
                          int* decimalsOut);

// The decimals rule alone (no output, no printing).
int FormatDecimalsFor(float value);

// Room for any reading's text.
constexpr size_t READING_TEXT_SIZE = 64;

// The text a reading is shown with: a percentage with two decimals when decimals is negative,
// else the value with that many decimals. Cut to size - 1 characters; returns the length.
int FormatReadingText(char* out, size_t size, float value, int decimals);
