#include <gtest/gtest.h>

#include "display/ScreenFit.h"

TEST(ScreenFit, WindowsMoveTheLeastDistanceIntoTheWorkArea) {
    // A 1920 x 1040 work area below a 40-pixel bar at the top.
    const struct {
        int Left, Top, Width, Height, WantLeft, WantTop;
    } cases[] = {
        {100, 100, 218, 190, 100, 100},   // inside: stays
        {1880, 100, 218, 190, 1702, 100}, // beside a window at the right edge
        {100, 1000, 218, 190, 100, 890},  // below the bottom
        {1900, 1060, 218, 190, 1702, 890}, {-50, 10, 218, 190, 0, 40}, // left of and above the area
        {100, 100, 2500, 1200, 0, 40},    // larger than the area: top left corner inside
        {1702, 890, 218, 190, 1702, 890}, // touching the right and bottom edges
    };
    for (const auto& c : cases) {
        int left = c.Left, top = c.Top;
        FitIntoArea(&left, &top, c.Width, c.Height, 0, 40, 1920, 1080);
        EXPECT_EQ(left, c.WantLeft) << c.Left << "," << c.Top;
        EXPECT_EQ(top, c.WantTop) << c.Left << "," << c.Top;
    }
}
