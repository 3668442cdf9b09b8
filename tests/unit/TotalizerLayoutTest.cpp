#include <gtest/gtest.h>

#include <cstring>

#include "display/FormatInfo.h"
#include "display/TotalizerLayout.h"

TEST(TotalizerLayout, HeightsComeFromTheClientHeight) {
    struct {
        int Client, Digit, Button;
    } const cases[] = {
        {100, 78, 18}, {250, 195, 45}, {33, 25, 5}, {0, 0, 0}, {1, 0, 0},
    };
    for (const auto& c : cases) {
        TotalizerHeights h = TotalizerStartHeights(c.Client);
        EXPECT_EQ(h.Digit, c.Digit) << c.Client;
        EXPECT_EQ(h.Button, c.Button) << c.Client;
    }
    TotalizerHeights shrunk = TotalizerShrinkHeights({78, 18});
    EXPECT_EQ(shrunk.Digit, 76); // 7644 / 100
    EXPECT_EQ(shrunk.Button, 17);
}

TEST(TotalizerLayout, ShrinkingStopsAtTheSmallestFont) {
    // A screen narrower than any text: the loop must end.
    TotalizerHeights h = TotalizerStartHeights(1000);
    int rounds = 0;
    while (TotalizerMustShrink(5000, 0, h) && rounds < 10000) {
        h = TotalizerShrinkHeights(h);
        rounds++;
    }
    EXPECT_LT(rounds, 10000);
    EXPECT_LE(h.Digit, 1);
    EXPECT_EQ(TotalizerMustShrink(1920, 1920, {78, 18}), 0);
    EXPECT_EQ(TotalizerMustShrink(1921, 1920, {78, 18}), 1);
}

TEST(TotalizerLayout, ResetSitsCentredUnderTheDigits) {
    LayoutRect digits, reset;
    TotalizerRects(300, 78, 91, 18, &digits, &reset);
    EXPECT_EQ(digits.Left, 0);
    EXPECT_EQ(digits.Top, 0);
    EXPECT_EQ(digits.Right, 300);
    EXPECT_EQ(digits.Bottom, 78);
    EXPECT_EQ(reset.Left, 105); // 150 - 45
    EXPECT_EQ(reset.Top, 78);
    EXPECT_EQ(reset.Right, 196);
    EXPECT_EQ(reset.Bottom, 96);
    LayoutRect outline = TotalizerButtonOutline(reset);
    EXPECT_EQ(outline.Left, 102);
    EXPECT_EQ(outline.Top, 75);
    EXPECT_EQ(outline.Right, 199);
    EXPECT_EQ(outline.Bottom, 99);
    EXPECT_EQ(TotalizerWantedWidth(316, 300, digits), 316);
    EXPECT_EQ(TotalizerWantedWidth(416, 400, digits), 316);
}

TEST(TotalizerLayout, OnlyTheTextRectangleTakesTheClick) {
    const LayoutRect reset = {105, 78, 196, 96};
    struct {
        int X, Y, Inside;
    } const cases[] = {
        {105, 78, 1},  {195, 95, 1},  {150, 85, 1},
        {104, 85, 0},  {102, 85, 0}, // on the left border
        {196, 85, 0},  {198, 85, 0}, // right edge and border
        {150, 77, 0},  {150, 75, 0}, // top border
        {150, 96, 0},  {150, 98, 0}, // bottom border
        {-150, 85, 0}, {150, -85, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TotalizerClickOnReset(reset, c.X, c.Y), c.Inside) << c.X << "," << c.Y;
    }
}

TEST(TotalizerText, DropsDecimalsNeverLeadingDigits) {
    // Worked by hand: the digits are sized for `fits` characters.
    const struct {
        float total;
        int decimals;
        int fits;
        const char* shown;
    } cases[] = {
        {12.5f, 1, 9, "12.5"},             // fits as it is
        {1234567.0f, 1, 9, "1234567.0"},   // exactly the sized width
        {12345678.0f, 1, 9, "12345678"},   // one decimal too many: dropped
        {0.0123f, 5, 7, "0.01230"},        // small totals keep their decimals
        {123456.789f, 3, 7, "123457"},     // two decimals dropped, rounded
        {987654321.0f, 1, 7, "987654336"}, // too big even whole: shown whole (float value)
        {-1234.5f, 1, 7, "-1234.5"},
    };
    for (const auto& c : cases) {
        char text[64];
        int length = FormatTotalizerText(c.total, c.decimals, c.fits, text, sizeof text);
        EXPECT_STREQ(text, c.shown) << c.total;
        EXPECT_EQ(length, (int)strlen(c.shown)) << c.total;
    }
}

TEST(TotalizerText, TheDigitBoxHoldsTheWholeTotal) {
    // Full scale 100: the gas's sizing text is nine 8s ("100.0" and four more) and totals show
    // one decimal until they outgrow it. The box is measured from the sizing text: it must be
    // at least as long as the total shown, or the total's leading digits fall off its left
    // edge.
    const struct {
        float fullScale;
        float total;
        const char* shown;
        const char* sizing;
    } cases[] = {
        {100.0f, 123456789.0f, "123456792", "888888888"}, // decimal dropped: fits whole
        {100.0f, 1234567.0f, "1234567.0", "888888888"},
        {100.0f, 12.5f, "12.5", "888888888"},
        {100.0f, 12345678901.0f, "12345678848", "88888888888"}, // the box grows to it
        {0.0f, 5.0f, "5", "8888888"},                           // before any gas
    };
    for (const auto& c : cases) {
        char format[100] = "";
        int decimals = 0;
        if (c.fullScale > 0.0f)
            GetFormatInfo(c.fullScale, 4, format, sizeof format, &decimals);
        int fits = (int)strlen(format) > 7 ? (int)strlen(format) : 7;
        char text[64];
        int length = FormatTotalizerText(c.total, decimals, fits, text, sizeof text);
        EXPECT_STREQ(text, c.shown) << c.total;
        char sizing[64];
        EXPECT_STREQ(TotalizerSizingText(format, length, sizing, sizeof sizing), c.sizing)
            << c.total;
    }
}
