// The totalizer window's sizing: digit and button font heights from the client height, the
// digit and RESET rectangles from measured text, the window width, and the RESET hit test.
#pragma once

#include <cstddef>

struct LayoutRect {
    int Left, Top, Right, Bottom;
};

struct TotalizerHeights {
    int Digit;
    int Button;
};

constexpr int TOTALIZER_BUTTON_BORDER = 3;

TotalizerHeights TotalizerStartHeights(int clientHeight);
// 98/100 of each height.
TotalizerHeights TotalizerShrinkHeights(TotalizerHeights heights);
// Whether digits measured `digitsWidth` wide must shrink; stops once the font can't get smaller
// so a tiny screen can't loop forever.
int TotalizerMustShrink(int digitsWidth, int screenWidth, TotalizerHeights heights);

// Digits at the top left; the RESET text centred below them.
void TotalizerRects(int digitsWidth, int digitsHeight, int resetWidth, int resetHeight,
                    LayoutRect* digitRect, LayoutRect* resetRect);
// The drawn button outline: the text rectangle grown by the border on every side.
LayoutRect TotalizerButtonOutline(const LayoutRect& resetRect);
// Inside the text rectangle only (right and bottom edges excluded); the border doesn't count.
int TotalizerClickOnReset(const LayoutRect& resetRect, int x, int y);
// Outer width that makes the client exactly as wide as the digits.
int TotalizerWantedWidth(int outerWidth, int clientWidth, const LayoutRect& digitRect);

// The total as shown: "%1.*f" with `decimals`, dropping decimals while the text is longer than
// `maxChars` (the width the digits were sized for). Leading digits are never dropped: a total
// too large even without decimals is shown whole rather than as a smaller, wrong number.
// Returns the text's length.
int FormatTotalizerText(float total, int decimals, int maxChars, char* out, size_t outSize);

// The text of '8's the digit box is measured with (every digit is as wide as an 8 in the
// digit font): as long as the gas's sizing text format ("8888888" before a gas is known), and
// longer when the total shown needs shownLength characters, so the box always holds the
// whole number. Returns out.
const char* TotalizerSizingText(const char* format, int shownLength, char* out, size_t outSize);
