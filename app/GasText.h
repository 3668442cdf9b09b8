// The active gas's texts as the board reports them ("G7" units, "G4" symbol) made fit for
// the readout, and the range text built from them.
#pragma once

#include <cstddef>

// Drops leading blanks and every CR and LF in place; other characters stay.
void CleanGasText(char* text);

// Cleans units and symbol, puts "G7 Not Set" / "G4 Not Set" in place of an empty one, and
// writes "%1.4f %s of %s" (full scale, units, symbol) into gasInfo.
void BuildGasInfo(char* units, size_t unitsSize, char* symbol, size_t symbolSize,
                  float fullScaleFlow, char* gasInfo, size_t gasInfoSize);
