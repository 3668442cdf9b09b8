#include "app/GasText.h"

#include <cstdio>

void CleanGasText(char* text) {
    if (!text)
        return;
    char* out = text;
    for (const char* in = text; *in; in++) {
        if (*in == '\r' || *in == '\n')
            continue;
        // Blanks count as leading until the first character that is kept, so a reply of
        // blanks and line ends only comes out empty.
        if (*in == ' ' && out == text)
            continue;
        *out++ = *in;
    }
    *out = '\0';
}

void BuildGasInfo(char* units, size_t unitsSize, char* symbol, size_t symbolSize,
                  float fullScaleFlow, char* gasInfo, size_t gasInfoSize) {
    CleanGasText(units);
    CleanGasText(symbol);
    if (units[0] == '\0')
        snprintf(units, unitsSize, "%s", "G7 Not Set");
    if (symbol[0] == '\0')
        snprintf(symbol, symbolSize, "%s", "G4 Not Set");
    snprintf(gasInfo, gasInfoSize, "%1.4f %s of %s", (double)fullScaleFlow, units, symbol);
}
