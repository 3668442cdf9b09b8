#include "display/TotalizerLayout.h"

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
