#include "display/FormatInfo.h"

#include <cstdio>
#include <cstring>

int FormatDecimalsFor(float value) {
    char work[100];
    snprintf(work, sizeof work, "%1.9f", (double)value);
    const char* point = strchr(work, '.');
    int pointPos = point ? (int)(point - work) : (int)strlen(work);

    if (work[0] != '0') {
        // At least 1, or negative (the minus sign counts as a leading character).
        if (pointPos >= 4)
            return 0;
        return 4 - pointPos;
    }
    // Below 1: keep three digits after the first significant one. Nine zero decimals count
    // as a first digit at position 9, so zero gets 12 decimals.
    int k = 9;
    if (point) {
        for (int i = 1; i <= 9 && point[i] != '\0'; i++) {
            if (point[i] != '0') {
                k = i;
                break;
            }
        }
    }
    return k + 3;
}

const char* GetFormatInfo(float value, int extraChars, char* sizingOut, size_t sizingSize,
                          int* decimalsOut) {
    int decimals = FormatDecimalsFor(value);
    if (decimalsOut)
        *decimalsOut = decimals;

    char work[100];
    int formatted = snprintf(work, sizeof work, "%1.*f", decimals, (double)value);
    if (formatted < 0)
        formatted = 0;
    int count = formatted + extraChars;
    char sizing[160];
    if (count < 0)
        count = 0;
    if (count > (int)sizeof sizing - 1)
        count = (int)sizeof sizing - 1;
    memset(sizing, '8', (size_t)count);
    sizing[count] = '\0';

    printf("DigitBuff: %s\n", sizing);
    fflush(stdout);

    if (sizingOut && sizingSize > 0) {
        size_t n = strlen(sizing);
        if (n >= sizingSize)
            n = sizingSize - 1;
        memcpy(sizingOut, sizing, n);
        sizingOut[n] = '\0';
    }
    return sizingOut;
}

int FormatReadingText(char* out, size_t size, float value, int decimals) {
    if (!out || size == 0)
        return 0;
    int length = decimals < 0 ? snprintf(out, size, "%3.2f", (double)value)
                              : snprintf(out, size, "%1.*f", decimals, (double)value);
    if (length < 0) {
        out[0] = '\0';
        return 0;
    }
    return length < (int)size ? length : (int)size - 1;
}
