// The arithmetic of the main window's readout: heights from the client height, the shrink
// loop that keeps the digits narrower than the screen, the regions and the window sizes.
#pragma once

struct ReadoutHeights {
    int Digit;
    int Label;
    int Info;
};

struct LayoutRect {
    int left, top, right, bottom;
};

struct ReadoutRects {
    LayoutRect Info, FlowLabel, FlowDigit, SetPointLabel, SetPointDigit;
};

// Width in pixels of text drawn with a "tahoma" font of the given height.
typedef int (*MeasureTextFn)(int fontHeight, const char* text, void* context);

// The text whose width sizes the digits: "888.88 " in percent, the gas's format in units, and
// "888.88 " again while no gas is known yet (an empty text would size the digits to nothing).
const char* ReadoutSizingText(int inUnits, const char* flowFormat);

ReadoutHeights BaseReadoutHeights(int clientHeight, int isController);

// Measures text at heights->Digit and shrinks all three heights by 1 % until the text plus
// its margin is narrower than the screen. Returns the last measured width.
int ShrinkReadoutToScreen(ReadoutHeights* heights, const char* text, int screenWidth,
                          MeasureTextFn measure, void* context);

void ComputeReadoutRects(const ReadoutHeights* heights, int textWidth, int isController,
                         ReadoutRects* rects);

// Outer window width that fits the flow digits with a 10 pixel right margin.
int WantedMainWindowWidth(int outerWidth, int clientWidth, int flowDigitRight);

// Outer height after the device kind is known: a controller gains room for its set point rows.
int SizedMainWindowHeight(int outerHeight, int clientHeight, int isController);
