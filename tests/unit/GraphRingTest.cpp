#include <gtest/gtest.h>

#include <vector>

#include "display/GraphRing.h"

namespace {

struct RingFixture {
    GraphRing Ring;
    RingFixture(int lines, int slots) {
        GraphRingClear(&Ring);
        int first = 0;
        EXPECT_EQ(GraphRingSetNumLines(&Ring, lines, &first), 1);
        EXPECT_EQ(first, 1);
        if (slots > 0) {
            EXPECT_EQ(GraphRingResize(&Ring, slots), 1);
        }
    }
    ~RingFixture() { GraphRingFree(&Ring); }
    void Store(float v) {
        float values[GRAPH_RING_LINES] = {v, -v, 0, 0};
        GraphRingStore(&Ring, values);
    }
    // Line 0's samples in drawing order for a plot `width` columns wide.
    std::vector<float> Drawn(int width) const {
        std::vector<float> out;
        int first = GraphRingFirstSlot(&Ring, width);
        for (int j = 0; j < GraphRingColumns(&Ring, width); j++) {
            out.push_back(Ring.LineVals[0][GraphRingSlotOfColumn(&Ring, first, j)]);
        }
        return out;
    }
};

using Floats = std::vector<float>;

} // namespace

TEST(GraphRing, SamplesBeforeTheFirstSizeEventStayInSlotZero) {
    RingFixture f(1, 0);
    // Twelve samples into the ten-float buffers: ASan would catch a write past slot 9.
    for (int i = 1; i <= 12; i++) {
        f.Store(static_cast<float>(i));
    }
    EXPECT_EQ(f.Ring.LineVals[0][0], 12.0f);
    EXPECT_EQ(f.Ring.LineVals[0][1], 0.0f);
    EXPECT_EQ(f.Ring.NumPoints, 0);
    ASSERT_EQ(GraphRingResize(&f.Ring, 5), 1);
    EXPECT_LE(f.Ring.NumPoints, 1);
    EXPECT_EQ(f.Ring.NumSlots, 5);
    f.Store(20.0f);
    f.Store(21.0f);
    EXPECT_EQ(f.Drawn(5).back(), 21.0f);
}

TEST(GraphRing, ResizeKeepsTheNewestAndContinuesAfterThem) {
    struct {
        int Slots;         // ring size before the resize
        int Stored;        // samples 1..Stored stored before it
        int NewSlots;      // size after
        float After;       // one more sample stored after the resize
        Floats Expected;   // line 0 in drawing order, plot as wide as the new ring
        int ExpectedWrite; // WriteIndex right after the resize
    } const cases[] = {
        // full ring [6 7 3 4 5], narrowed: the three newest
        {5, 7, 3, 8, {6, 7, 8}, 0},
        // full ring widened: all five in age order, then the new one
        {5, 7, 8, 8, {3, 4, 5, 6, 7, 8}, 5},
        // part-filled ring widened
        {5, 2, 8, 3, {1, 2, 3}, 2},
        // part-filled ring narrowed below its count
        {10, 6, 4, 7, {4, 5, 6, 7}, 0},
        // full ring, exactly as many slots as samples after a wrap
        {4, 4, 6, 5, {1, 2, 3, 4, 5}, 4},
    };
    for (const auto& c : cases) {
        RingFixture f(2, c.Slots);
        for (int i = 1; i <= c.Stored; i++) {
            f.Store(static_cast<float>(i));
        }
        ASSERT_EQ(GraphRingResize(&f.Ring, c.NewSlots), 1);
        EXPECT_EQ(f.Ring.WriteIndex, c.ExpectedWrite) << c.Slots << "->" << c.NewSlots;
        f.Store(c.After);
        EXPECT_EQ(f.Drawn(c.NewSlots), c.Expected) << c.Slots << "->" << c.NewSlots;
        // The second line moved with the first.
        int first = GraphRingFirstSlot(&f.Ring, c.NewSlots);
        EXPECT_EQ(f.Ring.LineVals[1][first], -c.Expected.front());
    }
}

TEST(GraphRing, FirstSlotShowsTheNewestSamplesOldestAtTheLeft) {
    RingFixture f(1, 5);
    for (int i = 1; i <= 7; i++) {
        f.Store(static_cast<float>(i)); // ring now [6 7 3 4 5], next write at slot 2
    }
    struct {
        int Width, FirstSlot;
        Floats Drawn;
    } const cases[] = {
        {3, 4, {5, 6, 7}},
        {5, 2, {3, 4, 5, 6, 7}},
        {9, 0, {6, 7, 3, 4, 5}}, // wider than the samples: from slot 0, as stored
        {1, 1, {7}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GraphRingFirstSlot(&f.Ring, c.Width), c.FirstSlot) << c.Width;
        EXPECT_EQ(f.Drawn(c.Width), c.Drawn) << c.Width;
    }
}

TEST(GraphRing, SampleRowsSpanTheHeight) {
    struct {
        float Value, Min, Max;
        int Bottom, Height, Y;
    } const cases[] = {
        {0.0f, 0.0f, 100.0f, 101, 101, 100}, // minimum on the bottom row
        {100.0f, 0.0f, 100.0f, 101, 101, 0}, // maximum on the top row
        {50.0f, 0.0f, 100.0f, 101, 101, 50},
        {-0.5f, 0.0f, 100.0f, 101, 101, 100},  // cut toward zero, not down
        {-10.0f, 0.0f, 100.0f, 101, 101, 110}, // below the minimum: below the plot
        {-5.5f, -5.5f, 120.0f, 270, 270, 269},
        {120.0f, -5.5f, 120.0f, 270, 270, 0},
        {1.0e30f, 0.0f, 1.0f, 50, 50, 49 - 1000000}, // huge values stay in int range
        {5.0f, 3.0f, 3.0f, 50, 50, 49},              // empty range: bottom row, no division
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GraphSampleY(c.Value, c.Min, c.Max, c.Bottom, c.Height), c.Y) << c.Value;
    }
}

TEST(GraphRing, GraticuleLinesStandAtMultiplesOfTheSpacing) {
    struct {
        int Spacing, Width;
        std::vector<int> Xs;
    } const cases[] = {
        {50, 120, {50, 100}}, {50, 100, {50}}, {50, 49, {}}, {10, 35, {10, 20, 30}}, {0, 100, {}},
    };
    for (const auto& c : cases) {
        int xs[16];
        int n = GraphGraticuleXs(c.Spacing, c.Width, xs, 16);
        EXPECT_EQ(std::vector<int>(xs, xs + n), c.Xs) << c.Spacing << " " << c.Width;
    }
    int two[2];
    EXPECT_EQ(GraphGraticuleXs(10, 1000, two, 2), 2);
}

TEST(GraphRing, PausedSamplesAreDroppedLeavingAGapFreeTrace) {
    RingFixture f(1, 6);
    f.Store(1);
    f.Store(2);
    EXPECT_EQ(GraphRingTogglePause(&f.Ring), 1);
    f.Store(3);
    f.Store(4);
    EXPECT_EQ(GraphRingTogglePause(&f.Ring), 0);
    f.Store(5);
    EXPECT_EQ(f.Drawn(6), (Floats{1, 2, 5}));
}

TEST(GraphRing, LineLimitsAreRefusedNotOverrun) {
    RingFixture f(2, 4);
    int first = 1;
    EXPECT_EQ(GraphRingSetNumLines(&f.Ring, 5, &first), 0);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(f.Ring.NumLines, 2);
    EXPECT_EQ(GraphRingSetNumLines(&f.Ring, -1, &first), 0);
    EXPECT_EQ(GraphRingSetLimits(&f.Ring, 4, 0.0f, 1.0f), 0);
    EXPECT_EQ(GraphRingSetLimits(&f.Ring, -1, 0.0f, 1.0f), 0);
    EXPECT_EQ(GraphRingSetLimits(&f.Ring, 3, -1.0f, 2.0f), 1);
    EXPECT_EQ(f.Ring.LineMax[3], 2.0f);
    // A second call keeps the buffers and empties the ring without asking for a size event.
    f.Store(1);
    EXPECT_EQ(GraphRingSetNumLines(&f.Ring, 4, &first), 1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(f.Ring.NumPoints, 0);
    EXPECT_EQ(f.Ring.NumSlots, 4);
}
