// The step test's figures on synthetic series worked out by hand, and the sample clock that
// times the board's batches.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ctl/CtlReport.h"
#include "ctl/CtlSampleClock.h"
#include "ctl/CtlStepMath.h"

namespace {

struct StepShape {
    double From, To, Band, Hold, SettleForMs;
};

// NaN: the figure must not exist.
struct StepFigures {
    double SettleMs, RiseMs, OvershootPct, MeanErrorPct, NoisePct;
};

struct StepCase {
    const char* Name;
    std::vector<double> Time;
    std::vector<float> Flow;
    StepShape Shape;
    StepFigures Expected;
};

const double NONE = NAN;

// 0 -> 50 %FS through a first-order lag of 300 ms, one sample per 5 ms for 3 s. In the band
// from 0.3 ln 50 = 1.1736 s: the next sample is at 1.175 s. 10 % at 0.3 ln(10/9) = 0.0316 s
// (sample 0.035), 90 % at 0.3 ln 10 = 0.6908 s (sample 0.695). Over the samples from 2 s,
// -50 e^(-t/0.3) averages -0.0186 and spreads 0.0165.
StepCase FirstOrder() {
    StepCase c = {"first-order 0->50", {}, {}, {0, 50, 1, 3, 0}, {1175, 660, 0, -0.0186, 0.0165}};
    for (int i = 0; i < 600; ++i) {
        c.Time.push_back(i * 0.005);
        c.Flow.push_back((float)(50.0 * (1.0 - std::exp(-i * 0.005 / 0.3))));
    }
    return c;
}

// Mean error and noise are the mean and population deviation of flow - To over the samples
// of the last second of the hold (all of them for a shorter hold).
std::vector<StepCase> Cases() {
    const std::vector<double> t5ms = {0, .005, .010, .015, .020, .025, .030, .035, .040};
    const std::vector<float> inOutIn = {5, 9.9f, 10, 12, 10, 10.2f, 9.8f, 12, 12};
    return {
        FirstOrder(),
        // Overshoots by 1.0, is back inside 9.5..10.5 at 0.5 s and stays.
        {"overshoot up",
         {0, .1, .2, .3, .4, .5, .6, .7},
         {0, 5, 9.2f, 11, 10.6f, 10.3f, 9.8f, 10.1f},
         {0, 10, 0.5, 0.8, 0},
         {500, 100, 1.0, -1.75, 3.5819}},
        // Downward: the dip to 18.2 below 20 is the overshoot; back in band at 0.4 s.
        {"undershoot down",
         {0, .1, .2, .3, .4, .5, .6},
         {50, 30, 19.0f, 18.2f, 19.5f, 20.4f, 20.2f},
         {50, 20, 1, 0.7, 0},
         {400, 100, 1.8, 5.3286, 10.7300}},
        // Only the last second of a 3 s hold counts for error and noise: 0.2, -0.2, 0.3.
        {"tail only",
         {0, 1.0, 2.0, 2.5, 2.9},
         {0, 40, 50.2f, 49.8f, 50.3f},
         {0, 50, 1, 3, 0},
         {2000, 1000, 0.3, 0.1, 0.2160}},
        // Leaves the band at the end: never settled for the rest of the hold ...
        {"leaves the band", t5ms, inOutIn, {0, 10, 0.5, 0.045, 0}, {NONE, 5, 2, 0.1, 2.0276}},
        // ... but the run of 15 ms from 0.020 s is enough with --settle-for 15.
        {"settle-for", t5ms, inOutIn, {0, 10, 0.5, 0.045, 15}, {20, 5, 2, 0.1, 2.0276}},
        // A step of 0 has no rise and no direction to overshoot in.
        {"zero step",
         {0, .5, 1.0},
         {30.1f, 29.9f, 30},
         {30, 30, 0.5, 1, 0},
         {0, NONE, 0, 0, 0.0816}},
        // Never reaches 90 % of the step: no rise time, no settle.
        {"no rise", {0, .5, 1.0}, {0, 5, 8}, {0, 10, 0.5, 1, 0}, {NONE, NONE, 0, -5.6667, 3.2998}},
        {"no samples", {}, {}, {0, 10, 0.5, 1, 0}, {NONE, NONE, 0, NONE, NONE}},
    };
}

void ExpectFigure(const char* name, const char* what, double expected, double actual,
                  double tolerance) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << name << ": " << what << " = " << actual;
    } else {
        EXPECT_NEAR(actual, expected, tolerance) << name << ": " << what;
    }
}

TEST(CtlStepMathTest, FiguresOfSyntheticSteps) {
    for (const StepCase& c : Cases()) {
        const StepShape& s = c.Shape;
        StepInput input = {c.Time.data(), c.Flow.data(), (int)c.Time.size(), s.From, s.To,
                           s.Band,        s.Hold,        s.SettleForMs};
        StepMetrics m = AnalyseStep(input);
        const StepFigures& e = c.Expected;
        ExpectFigure(c.Name, "settle", e.SettleMs, m.SettleMs, 1e-6);
        ExpectFigure(c.Name, "rise", e.RiseMs, m.RiseMs, 1e-6);
        ExpectFigure(c.Name, "overshoot", e.OvershootPct, m.OvershootPct, 1e-4);
        ExpectFigure(c.Name, "mean error", e.MeanErrorPct, m.MeanErrorPct, 1e-3);
        ExpectFigure(c.Name, "noise", e.NoisePct, m.NoisePct, 1e-3);
    }
}

TEST(CtlStepMathTest, LimitsGivenDecideThePass) {
    const double none = -1.0;
    StepMetrics settled = {800.0, 300.0, 0.4, -0.2, 0.05};
    StepMetrics unsettled = {NAN, NAN, 0.0, NAN, NAN};
    struct {
        StepMetrics Metrics;
        StepLimits Limits;
        int Pass;
    } cases[] = {
        {settled, {none, none, none}, 1},     {settled, {800.0, 0.4, 0.2}, 1},
        {settled, {799.0, none, none}, 0},    {settled, {none, 0.39, none}, 0},
        {settled, {none, none, 0.19}, 0},     {unsettled, {none, none, none}, 1},
        {unsettled, {5000.0, none, none}, 0}, {unsettled, {none, 1.0, none}, 1},
        {unsettled, {none, none, 1.0}, 0},
    };
    int row = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(StepPasses(c.Metrics, c.Limits), c.Pass) << "row " << row;
        ++row;
    }
}

// A board whose clock runs 0.2 % slow, read every 100 ms with replies late by 0 to 20 ms:
// the times stay 5 ms apart within a batch, move by at most a millisecond between batches,
// and after 10 minutes still match the host clock.
TEST(CtlStepMathTest, SampleClockFollowsTheHostWithoutJumps) {
    const double boardPeriod = 0.005 * 1.002;
    SampleClock clock;
    SampleClockStart(&clock);
    long long made = 0;
    double previous = -1.0, lastTrueTime = 0.0, lastTime = 0.0;
    unsigned jitterState = 12345;
    std::vector<double> times(250);
    for (int batch = 1; batch <= 6000; ++batch) {
        double asked = batch * 0.1;
        long long total = (long long)(asked / boardPeriod);
        int n = (int)(total - made);
        made = total;
        jitterState = jitterState * 1103515245u + 12345u;
        double late = (jitterState >> 16) % 21 / 1000.0;
        SampleClockBatch(&clock, asked + late, n, times.data());
        for (int i = 0; i < n; ++i) {
            if (previous >= 0.0) {
                ASSERT_GE(times[i] - previous, 0.004 - 1e-9) << "batch " << batch;
                ASSERT_LE(times[i] - previous, 0.006 + 1e-9) << "batch " << batch;
            }
            previous = times[i];
        }
        lastTrueTime = total * boardPeriod;
        lastTime = times[n - 1];
    }
    // Counting alone would be 1.2 s behind after 600 s.
    EXPECT_NEAR(lastTime, lastTrueTime, 0.025);
}

// Board names are whatever someone stored with S54: the plot, the JSON and the log header
// must stay valid whatever the bytes.
TEST(CtlReportTest, BoardTextsAreMadeValidForXmlAndCsv) {
    const struct {
        const char* Text;
        const char* Utf8;
        const char* Xml;
        const char* Csv;
    } cases[] = {
        {"Bench A", "Bench A", "Bench A", "Bench A"},
        {"Rig \"7\" & <Co", "Rig \"7\" & <Co", "Rig &quot;7&quot; &amp; &lt;Co",
         "\"Rig \"\"7\"\" & <Co\""},
        {"Line 2, left", "Line 2, left", "Line 2, left", "\"Line 2, left\""},
        {"caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9", "caf\xC3\xA9"},
        // Latin-1, a cut sequence, an overlong '/', a surrogate, a tab.
        {"caf\xE9", "caf\xEF\xBF\xBD", "caf\xEF\xBF\xBD", "caf\xEF\xBF\xBD"},
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD",
         "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD",
         "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
         "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"a\tb", "a b", "a b", "a b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CleanUtf8(c.Text), c.Utf8) << c.Text;
        EXPECT_EQ(XmlEscaped(c.Text), c.Xml) << c.Text;
        EXPECT_EQ(CsvField(c.Text), c.Csv) << c.Text;
    }
}

// However long a test, the plot's trace keeps each bucket's lowest and highest sample in
// time order, and every sample while buckets are shorter than the samples' spacing.
TEST(CtlReportTest, FlowTraceKeepsTheExtremesOfEachBucket) {
    FlowTrace trace;
    TraceStart(&trace, 2.0); // 1 ms buckets: every 5 ms sample its own
    for (int i = 0; i < 400; ++i) {
        TraceAdd(&trace, i * 0.005, (float)i);
    }
    EXPECT_EQ(trace.Time.size(), 400u);

    TraceStart(&trace, 2000.0); // 1 s buckets
    const float flows[] = {5, 3, 9, 4, 9, 1, 6};
    for (int i = 0; i < 7; ++i) {
        TraceAdd(&trace, 0.1 * i, flows[i]);
    }
    TraceAdd(&trace, 1.5, 7);
    EXPECT_EQ(trace.Flow, (std::vector<float>{9, 1, 7}));
    ASSERT_EQ(trace.Time.size(), 3u);
    EXPECT_NEAR(trace.Time[0], 0.2, 1e-9);
    EXPECT_NEAR(trace.Time[1], 0.5, 1e-9);
}

} // namespace
