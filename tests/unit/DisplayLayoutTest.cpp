#include <gtest/gtest.h>

#include "display/ReadoutLayout.h"

namespace {

struct HeightCase {
    int clientHeight;
    int controller;
    int digit, label, info;
};

// B = Hc (meter) or Hc*100/180 (controller); Dh = B*66/100, Lh = B*14/100, Ih = B*18/100.
const HeightCase kHeightCases[] = {
    {300, 0, 198, 42, 54}, {540, 1, 198, 42, 54}, {539, 1, 197, 41, 53}, // B = 299
    {145, 0, 95, 20, 26},  {145, 1, 52, 11, 14},                         // B = 80
    {0, 0, 0, 0, 0},
};

struct FakeMeasurer {
    int perPixel;
    int fixed; // when non-zero, the width whatever the height (a font GDI will not shrink)
    int calls;
    int lastHeight;
};

int MeasureFake(int height, const char*, void* context) {
    FakeMeasurer* m = (FakeMeasurer*)context;
    m->calls++;
    m->lastHeight = height;
    return m->fixed ? m->fixed : height * m->perPixel;
}

void ExpectRect(const LayoutRect& r, int l, int t, int rt, int b, const char* name) {
    EXPECT_EQ(r.left, l) << name;
    EXPECT_EQ(r.top, t) << name;
    EXPECT_EQ(r.right, rt) << name;
    EXPECT_EQ(r.bottom, b) << name;
}

} // namespace

TEST(DisplayLayout, HeightsFromClientHeight) {
    for (const HeightCase& c : kHeightCases) {
        ReadoutHeights h = BaseReadoutHeights(c.clientHeight, c.controller);
        EXPECT_EQ(h.Digit, c.digit) << c.clientHeight << " controller " << c.controller;
        EXPECT_EQ(h.Label, c.label) << c.clientHeight << " controller " << c.controller;
        EXPECT_EQ(h.Info, c.info) << c.clientHeight << " controller " << c.controller;
    }
}

TEST(DisplayLayout, MeterRegionsStackUnderTheStrip) {
    ReadoutHeights h = BaseReadoutHeights(300, 0);
    ReadoutRects r;
    ComputeReadoutRects(&h, 200, 0, &r);
    ExpectRect(r.Info, 0, 0, 200, 54, "info");
    ExpectRect(r.FlowLabel, 10, 54, 210, 96, "flow label");
    ExpectRect(r.FlowDigit, 10, 96, 210, 294, "flow digits");
    ExpectRect(r.SetPointLabel, 0, 0, 0, 0, "set point label");
}

TEST(DisplayLayout, ControllerAddsTheSetPointRows) {
    ReadoutHeights h = BaseReadoutHeights(540, 1);
    ReadoutRects r;
    ComputeReadoutRects(&h, 200, 1, &r);
    ExpectRect(r.FlowDigit, 10, 96, 210, 294, "flow digits");
    ExpectRect(r.SetPointLabel, 10, 294, 210, 336, "set point label");
    ExpectRect(r.SetPointDigit, 10, 336, 210, 534, "set point digits");
}

TEST(DisplayLayout, ShrinksUntilNarrowerThanTheScreen) {
    // Width = 2 px per pixel of height; screen 300: the text must end below 281.
    // 198 drops by 2 per step (h*99/100 for 100 < h < 200) to 140: 29 steps.
    FakeMeasurer m = {2, 0, 0, 0};
    ReadoutHeights h = {198, 42, 54};
    int width = ShrinkReadoutToScreen(&h, "888.88 ", 300, MeasureFake, &m);
    EXPECT_EQ(h.Digit, 140);
    EXPECT_EQ(h.Label, 13); // below 100 each step takes one pixel
    EXPECT_EQ(h.Info, 25);
    EXPECT_EQ(width, 280);
    EXPECT_EQ(m.calls, 30);
    EXPECT_EQ(m.lastHeight, 140);
}

TEST(DisplayLayout, NoShrinkWhenItFits) {
    FakeMeasurer m = {1, 0, 0, 0};
    ReadoutHeights h = {198, 42, 54};
    int width = ShrinkReadoutToScreen(&h, "888.88 ", 1920, MeasureFake, &m);
    EXPECT_EQ(width, 198);
    EXPECT_EQ(h.Digit, 198);
    EXPECT_EQ(m.calls, 1);
}

TEST(DisplayLayout, ShrinkStopsWhenTheTextNeverFits) {
    FakeMeasurer m = {0, 5000, 0, 0};
    ReadoutHeights h = {198, 42, 54};
    int width = ShrinkReadoutToScreen(&h, "888.88 ", 300, MeasureFake, &m);
    EXPECT_EQ(width, 5000);
    EXPECT_EQ(h.Digit, 1);
    EXPECT_LT(m.calls, 1000);
}

struct WidthCase {
    int outer, client, digitRight, wanted;
};

TEST(DisplayLayout, WindowWidthFitsTheDigits) {
    const WidthCase cases[] = {
        {320, 304, 210, 236}, // frame 16 + 210 + 10
        {320, 312, 302, 320}, // already right
        {345, 337, 500, 518},
    };
    for (const WidthCase& c : cases)
        EXPECT_EQ(WantedMainWindowWidth(c.outer, c.client, c.digitRight), c.wanted);
}

TEST(DisplayLayout, OneTimeHeightGrowsOnlyForAController) {
    EXPECT_EQ(SizedMainWindowHeight(194, 145, 0), 194);
    EXPECT_EQ(SizedMainWindowHeight(194, 145, 1), 310); // + 145*80/100 = 116
    EXPECT_EQ(SizedMainWindowHeight(300, 250, 1), 500);
}
