#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tools/SliderScales.h"

namespace {

struct PercentPosition {
    float percent;
    int position;
};

TEST(SetPointScale, OpeningPositionTruncatesTowardZero) {
    const PercentPosition cases[] = {
        {50.0f, 500},  {33.33f, 667}, {100.0f, 0}, {0.0f, 1000}, {10.0f, 900},
        {99.99f, 1},   {0.09f, 1000}, {150.0f, 0}, // above full scale: pinned to the top
        {-5.0f, 1000},                             // below zero: pinned to the bottom
    };
    for (const auto& c : cases)
        EXPECT_EQ(SetPointToPosition(c.percent), c.position) << c.percent;
    EXPECT_EQ(SetPointToPosition(NAN), 1000);
    EXPECT_EQ(SetPointToPosition(INFINITY), 0);
}

TEST(SetPointScale, PositionGivesPercentWithTheTopAtHundred) {
    const PercentPosition cases[] = {
        {50.0f, 500}, {100.0f, 0}, {0.0f, 1000}, {33.3f, 667}, {0.1f, 999}, {99.9f, 1},
    };
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(SetPointFromPosition(c.position), c.percent) << c.position;
}

TEST(SetPointScale, ButtonsGiveTenPercentSteps) {
    struct {
        int id;
        int perMille;
        float percent;
    } cases[] = {
        {2000, 0, 0.0f},    {2010, 100, 10.0f},   {2050, 500, 50.0f},
        {2090, 900, 90.0f}, {2100, 1000, 100.0f},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SetPointButtonPerMille(c.id), c.perMille) << c.id;
        EXPECT_FLOAT_EQ(SetPointFromPerMille(c.perMille), c.percent) << c.id;
        // The button moves the thumb to where a drag would show the same value.
        EXPECT_FLOAT_EQ(SetPointFromPosition(SETPOINT_TRACK_MAX - c.perMille), c.percent);
    }
    for (int id : {1016, 1017, 1999, 2005, 2099, 2110, 2})
        EXPECT_EQ(SetPointButtonPerMille(id), -1) << id;
}

struct ValuePosition {
    float value;
    int position;
};

TEST(PidScales, ProportionalSpansZeroToItsMaximum) {
    const ValuePosition toPosition[] = {
        {30000.0f, 0}, {0.0f, 65000}, {15000.0f, 32500}, {7500.0f, 48750}, {45000.0f, 0},
    };
    for (const auto& c : toPosition)
        EXPECT_EQ(ProportionalToPosition(c.value, 30000.0f), c.position) << c.value;
    const ValuePosition fromPosition[] = {
        {30000.0f, 0}, {15000.0f, 32500}, {7500.0f, 48750}, {1.0f, 65000}, {1.0f, 64999},
    };
    for (const auto& c : fromPosition)
        EXPECT_FLOAT_EQ(ProportionalFromPosition(c.position, 30000.0f), c.value) << c.position;
    // Another maximum scales the same way.
    EXPECT_EQ(ProportionalToPosition(50.0f, 100.0f), 32500);
    EXPECT_FLOAT_EQ(ProportionalFromPosition(0, 100.0f), 100.0f);
}

TEST(PidScales, ProportionalAtTheBottomShowsZeroAndTheFirstStepUpAtLeastOne) {
    char label[32];
    EXPECT_EQ(ProportionalToPosition(0.0f, PROPORTIONAL_DEFAULT_MAX), PID_TRACK_MAX);
    EXPECT_STREQ(FormatProportionalLabel(label, sizeof label, 0.0f), "0");
    float firstStep = ProportionalFromPosition(PID_TRACK_MAX - 1, PROPORTIONAL_DEFAULT_MAX);
    EXPECT_GE(firstStep, 1.0f);
    EXPECT_STREQ(FormatProportionalLabel(label, sizeof label, firstStep), "1");
    // 1000 steps up: 1000 / 65000 * 30000 = 461.54.
    EXPECT_STREQ(
        FormatProportionalLabel(label, sizeof label, ProportionalFromPosition(64000, 30000.0f)),
        "462");
}

TEST(PidScales, IntegralAndDerivative) {
    const ValuePosition integral[] = {
        {10.0f, 0}, {2.5f, 48750}, {0.0f, 65000}, {5.0f, 32500}, {12.0f, 0},
    };
    for (const auto& c : integral) {
        EXPECT_EQ(IntegralToPosition(c.value), c.position) << c.value;
        if (c.value <= 10.0f) {
            EXPECT_FLOAT_EQ(IntegralFromPosition(c.position), c.value) << c.position;
        }
    }
    const ValuePosition derivative[] = {
        {0.1f, 0},
        {0.05f, 32500},
        {0.0f, 65000},
        {0.025f, 48750},
    };
    for (const auto& c : derivative) {
        EXPECT_EQ(DerivativeToPosition(c.value), c.position) << c.value;
        EXPECT_FLOAT_EQ(DerivativeFromPosition(c.position), c.value) << c.position;
    }
}

TEST(PidScales, CrackingTruncatesAndReachesItsMaximumAtTheTop) {
    const uint32_t max = 8388480;
    struct {
        int position;
        uint32_t value;
    } fromPosition[] = {
        {0, 8388480u},     {65000, 0u},
        {32500, 4194240u}, {1, 8388350u}, // 8388480 * 64999 / 65000 = 8388350.95, truncated
        {64999, 129u},                    // 8388480 / 65000 = 129.05
    };
    for (const auto& c : fromPosition)
        EXPECT_EQ(CrackingFromPosition(c.position, max), c.value) << c.position;
    struct {
        uint32_t value;
        int position;
    } toPosition[] = {
        {8388480u, 0}, {0u, 65000}, {4194240u, 32500},
        {8388350u, 2}, // 8388350 * 65000 / 8388480 = 64998.99, truncated to 64998
        {129u, 65000}, // 0.9996 of a step
        {130u, 64999},
    };
    for (const auto& c : toPosition)
        EXPECT_EQ(CrackingToPosition(c.value, max), c.position) << c.value;
    EXPECT_EQ(CrackingToPosition(9000000u, max), 0);
    EXPECT_EQ(CrackingToPosition(5u, 0u), PID_TRACK_MAX);
    EXPECT_EQ(CrackingFromPosition(0, 0xFFFFFFFFu), 0xFFFFFFFFu);
    char label[32];
    EXPECT_STREQ(FormatCrackingLabel(label, sizeof label, CrackingFromPosition(0, max)), "8388480");
    EXPECT_STREQ(FormatCrackingLabel(label, sizeof label, CrackingFromPosition(65000, max)), "0");
}

TEST(PidScales, PositionsOutsideTheTrackArePinned) {
    EXPECT_FLOAT_EQ(IntegralFromPosition(-10), 10.0f);
    EXPECT_FLOAT_EQ(IntegralFromPosition(70000), 0.0f);
    EXPECT_EQ(CrackingFromPosition(-1, 1000u), 1000u);
    EXPECT_EQ(CrackingFromPosition(65001, 1000u), 0u);
    EXPECT_FLOAT_EQ(SetPointFromPosition(1200), 0.0f);
    EXPECT_EQ(IntegralToPosition(NAN), PID_TRACK_MAX);
    EXPECT_EQ(ProportionalToPosition(100.0f, 0.0f), PID_TRACK_MAX);
}

// Every value a slider can post is accepted, the ends included; whatever lies beyond them or
// is not a number at all is not.
TEST(SliderRanges, AcceptWhatTheSlidersCanPostAndNothingElse) {
    struct Case {
        const char* Name;
        int Accepted;
        int Expected;
    };
    const float max = PROPORTIONAL_DEFAULT_MAX;
    const Case cases[] = {
        {"set point at the top", SetPointAccepted(SetPointFromPosition(0)), 1},
        {"set point at the bottom", SetPointAccepted(SetPointFromPosition(SETPOINT_TRACK_MAX)), 1},
        {"set point 100.5", SetPointAccepted(100.5f), 0},
        {"set point -0.1", SetPointAccepted(-0.1f), 0},
        {"set point NaN", SetPointAccepted(NAN), 0},
        {"set point infinite", SetPointAccepted(INFINITY), 0},
        {"proportional at the top", ProportionalAccepted(ProportionalFromPosition(0, max), max), 1},
        {"proportional at the bottom",
         ProportionalAccepted(ProportionalFromPosition(PID_TRACK_MAX, max), max), 1},
        {"proportional 0.5", ProportionalAccepted(0.5f, max), 0},
        {"proportional above its maximum", ProportionalAccepted(30001.0f, max), 0},
        {"proportional -infinity", ProportionalAccepted(-INFINITY, max), 0},
        {"integral at the top", IntegralAccepted(IntegralFromPosition(0)), 1},
        {"integral at the bottom", IntegralAccepted(IntegralFromPosition(PID_TRACK_MAX)), 1},
        {"integral 10.01", IntegralAccepted(10.01f), 0},
        {"integral NaN", IntegralAccepted(NAN), 0},
        {"derivative at the top, 0.1f", DerivativeAccepted(DerivativeFromPosition(0)), 1},
        {"derivative 0.11", DerivativeAccepted(0.11f), 0},
        {"derivative -2", DerivativeAccepted(-2.0f), 0},
        {"cracking at the top", CrackingAccepted(CrackingFromPosition(0, 8388480), 8388480), 1},
        {"cracking 0", CrackingAccepted(0, 8388480), 1},
        {"cracking one above", CrackingAccepted(8388481, 8388480), 0},
        {"cracking 4000000000", CrackingAccepted(4000000000LL, 8388480), 0},
        {"cracking negative", CrackingAccepted(-1, 8388480), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Accepted, c.Expected) << c.Name;
}

TEST(SliderLabels, FormatsAsTheBoardValuesAreRead) {
    struct {
        const char* (*format)(char*, size_t, float);
        float value;
        const char* text;
    } cases[] = {
        {FormatSetPointLabel, 50.0f, "50.00"},   {FormatSetPointLabel, 5.0f, " 5.00"},
        {FormatSetPointLabel, 100.0f, "100.00"}, {FormatSetPointLabel, 33.3f, "33.30"},
        {FormatSetPointLabel, 0.0f, " 0.00"},    {FormatProportionalLabel, 29999.6f, "30000"},
        {FormatProportionalLabel, 1.4f, "1"},    {FormatGainLabel, 2.5f, "2.5000"},
        {FormatGainLabel, 0.1f, "0.1000"},       {FormatGainLabel, 0.00015f, "0.0002"},
    };
    for (const auto& c : cases) {
        char label[32];
        EXPECT_STREQ(c.format(label, sizeof label, c.value), c.text) << c.value;
    }
}

TEST(SliderLabels, ShortBufferIsCutAndTerminated) {
    char label[8];
    std::memset(label, 'Z', sizeof label);
    FormatSetPointLabel(label, 4, 50.0f);
    EXPECT_STREQ(label, "50.");
    EXPECT_EQ(label[4], 'Z');
    FormatCrackingLabel(label, 3, 8388480u);
    EXPECT_STREQ(label, "83");
}

} // namespace
