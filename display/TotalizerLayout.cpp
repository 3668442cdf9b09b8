#include "display/TotalizerLayout.h"

#include <cstdio>
#include <cstring>

TotalizerHeights TotalizerStartHeights(int clientHeight) {
    return {clientHeight * 78 / 100, clientHeight * 18 / 100};
}

TotalizerHeights TotalizerShrinkHeights(TotalizerHeights heights) {
    return {heights.Digit * 98 / 100, heights.Button * 98 / 100};
}

int TotalizerMustShrink(int digitsWidth, int screenWidth, TotalizerHeights heights) {
    return digitsWidth > screenWidth && heights.Digit > 1;
}

void TotalizerRects(int digitsWidth, int digitsHeight, int resetWidth, int resetHeight,
                    LayoutRect* digitRect, LayoutRect* resetRect) {
    *digitRect = {0, 0, digitsWidth, digitsHeight};
    int left = digitsWidth / 2 - resetWidth / 2;
    *resetRect = {left, digitsHeight, left + resetWidth, digitsHeight + resetHeight};
}

LayoutRect TotalizerButtonOutline(const LayoutRect& resetRect) {
    return {resetRect.Left - TOTALIZER_BUTTON_BORDER, resetRect.Top - TOTALIZER_BUTTON_BORDER,
            resetRect.Right + TOTALIZER_BUTTON_BORDER, resetRect.Bottom + TOTALIZER_BUTTON_BORDER};
}

int TotalizerClickOnReset(const LayoutRect& resetRect, int x, int y) {
    return x >= resetRect.Left && x < resetRect.Right && y >= resetRect.Top && y < resetRect.Bottom;
}

int TotalizerWantedWidth(int outerWidth, int clientWidth, const LayoutRect& digitRect) {
    return (outerWidth - clientWidth) + digitRect.Right;
}

int FormatTotalizerText(float total, int decimals, int maxChars, char* out, size_t outSize) {
    if (out == nullptr || outSize == 0) {
        return 0;
    }
    if (decimals < 0) {
        decimals = 0;
    }
    int length = 0;
    for (int d = decimals; d >= 0; d--) {
        length = snprintf(out, outSize, "%1.*f", d, static_cast<double>(total));
        if (length <= maxChars) {
            break;
        }
    }
    if (length < 0) {
        out[0] = '\0';
        return 0;
    }
    return length < static_cast<int>(outSize) ? length : static_cast<int>(outSize) - 1;
}

const char* TotalizerSizingText(const char* format, int shownLength, char* out, size_t outSize) {
    if (out == nullptr || outSize == 0) {
        return out;
    }
    size_t length = format != nullptr && format[0] != '\0' ? strlen(format) : 7;
    if (shownLength > 0 && static_cast<size_t>(shownLength) > length) {
        length = static_cast<size_t>(shownLength);
    }
    if (length > outSize - 1) {
        length = outSize - 1;
    }
    memset(out, '8', length);
    out[length] = '\0';
    return out;
}
