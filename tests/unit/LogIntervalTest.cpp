#include <gtest/gtest.h>

#include "tools/LogInterval.h"

TEST(LogInterval, SpinsCombineIntoMilliseconds) {
    struct {
        uint32_t Minutes, Seconds, Msec, Expected;
    } const cases[] = {
        {1, 30, 500, 90500},        {60, 60, 1000, 3661000}, {0, 0, 0, 0},
        {0, 0, 100, 100},           {2, 0, 0, 120000},       {0, 59, 0, 59000},
        {0x10000, 5, 0, 5000},      // minutes spin reporting an error counts as 0
        {1, 0xFFFF0003u, 7, 60007}, // so does a seconds error
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LogIntervalFromSpins(c.Minutes, c.Seconds, c.Msec), c.Expected)
            << c.Minutes << " " << c.Seconds << " " << c.Msec;
    }
}

TEST(LogInterval, MillisecondsSpinStepsByAHundred) {
    struct {
        int Position, Delta, Expected;
    } const cases[] = {
        {0, 1, 100},
        {500, -1, 400},
        {500, 1, 600},
        {900, 1, 1000},
        {1000, 1, 1000},
        {0, -1, 0},
        {100, -1, 0},
        // Held arrows accelerate to steps of 5 and 20: still one step of 100 their way.
        {300, 5, 400},
        {300, 20, 400},
        {300, -5, 200},
        {300, -20, 200},
        {1000, 20, 1000},
        {0, -20, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MsecSpinStep(c.Position, c.Delta), c.Expected) << c.Position << " " << c.Delta;
    }
}

TEST(LogInterval, LayoutFollowsTheMeasuredText) {
    // "88888" measured 40 x 16, " CANCEL " 60 x 16.
    LogIntervalLayout l = ComputeLogIntervalLayout(40, 16, 60, 16);
    EXPECT_EQ(l.FieldX, 50);
    EXPECT_EQ(l.FieldWidth, 80);
    EXPECT_EQ(l.FieldHeight, 24);
    EXPECT_EQ(l.MinutesY, 20);
    EXPECT_EQ(l.SecondsY, 54);
    EXPECT_EQ(l.MsecY, 88);
    EXPECT_EQ(l.TextX, 140);
    EXPECT_EQ(l.ButtonY, 132);
    EXPECT_EQ(l.OkX, 30);
    EXPECT_EQ(l.CancelX, 124);
    EXPECT_EQ(l.ButtonWidth, 64);
    EXPECT_EQ(l.ButtonHeight, 24);
    EXPECT_EQ(l.WindowWidth, 218);
    EXPECT_EQ(l.WindowHeight, 190);
    // Fields and labels never overlap the buttons.
    EXPECT_LT(l.MsecY + l.FieldHeight, l.ButtonY);
    EXPECT_LT(l.OkX + l.ButtonWidth, l.CancelX);
}
