#include "display/ReadoutLayout.h"

const char* ReadoutSizingText(int inUnits, const char* flowFormat) {
    if (inUnits && flowFormat != nullptr && flowFormat[0] != '\0')
        return flowFormat;
    return "888.88 ";
}

ReadoutHeights BaseReadoutHeights(int clientHeight, int isController) {
    int base = isController ? clientHeight * 100 / 180 : clientHeight;
    ReadoutHeights h;
    h.Digit = base * 66 / 100;
    h.Label = base * 14 / 100;
    h.Info = base * 18 / 100;
    return h;
}

int ShrinkReadoutToScreen(ReadoutHeights* heights, const char* text, int screenWidth,
                          MeasureTextFn measure, void* context) {
    int width = measure(heights->Digit, text, context);
    // A font height of 0 asks GDI for its default size, which may still be too wide; stop at
    // one pixel rather than loop forever on a tiny screen.
    while (width + 19 >= screenWidth && heights->Digit > 1) {
        heights->Digit = heights->Digit * 99 / 100;
        heights->Label = heights->Label * 99 / 100;
        heights->Info = heights->Info * 99 / 100;
        width = measure(heights->Digit, text, context);
    }
    return width;
}

static LayoutRect MakeRect(int left, int top, int right, int bottom) {
    LayoutRect r = {left, top, right, bottom};
    return r;
}

void ComputeReadoutRects(const ReadoutHeights* h, int tw, int isController, ReadoutRects* r) {
    int ih = h->Info, lh = h->Label, dh = h->Digit;
    r->Info = MakeRect(0, 0, tw, ih);
    r->FlowLabel = MakeRect(10, ih, tw + 10, ih + lh);
    r->FlowDigit = MakeRect(10, ih + lh, tw + 10, ih + lh + dh);
    if (isController) {
        r->SetPointLabel = MakeRect(10, ih + lh + dh, tw + 10, ih + 2 * lh + dh);
        r->SetPointDigit = MakeRect(10, ih + 2 * lh + dh, tw + 10, ih + 2 * lh + 2 * dh);
    } else {
        r->SetPointLabel = MakeRect(0, 0, 0, 0);
        r->SetPointDigit = MakeRect(0, 0, 0, 0);
    }
}

int WantedMainWindowWidth(int outerWidth, int clientWidth, int flowDigitRight) {
    return (outerWidth - clientWidth) + flowDigitRight + 10;
}

int SizedMainWindowHeight(int outerHeight, int clientHeight, int isController) {
    return isController ? outerHeight + clientHeight * 80 / 100 : outerHeight;
}
