#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "display/InfoStrip.h"

namespace {

const char kGas[] = "100.0000 sccm of N2";

struct ChoiceCase {
    const char* name;
    int simulation, connected;
    uint32_t serialErrors;
    int logging;
    uint16_t flags;
    const char* text;
    int select;
    uint32_t colour;
};

const uint32_t kRed = 0x0000FF;
const uint32_t kYellow = 0x00FFFF;
const uint32_t kNormal = 190 | (200 << 8) | (190 << 16);

const ChoiceCase kChoiceCases[] = {
    {"no flags", 0, 1, 0, 0, 0, "Range 100.0000 sccm of N2", 2, kNormal},
    {"sensor board lost over bridge", 0, 1, 0, 0, 0x0080 | 0x4000,
     " Range 100.0000 sccm of N2 ... System Failure, Lost Communication with Sensor Board ...", 0,
     kRed},
    {"both bridges: downstream tested last", 0, 1, 0, 0, 0x0080 | 0x0040,
     " Range 100.0000 sccm of N2 ... Invalid Downstream Bridge Current ...", 0, kRed},
    {"control board lost beats an alarm", 0, 1, 0, 0, 0x8000 | 0x0002,
     " Range 100.0000 sccm of N2 ... System Failure, Lost Communication with Control Board ...", 0,
     kRed},
    {"low flow and latched valve", 0, 1, 0, 0, 0x0001 | 0x0008,
     " Range 100.0000 sccm of N2 ... Valve Latched Open ...", 1, kYellow},
    {"tracking then high flow", 0, 1, 0, 0, 0x0004 | 0x0002,
     " Range 100.0000 sccm of N2 ... High Flow Alarm ...", 1, kYellow},
    {"unused bits", 0, 1, 0, 0, 0x0100 | 0x0010, "Range 100.0000 sccm of N2", 2, kNormal},
    {"logging", 0, 1, 0, 1, 0, " Range 100.0000 sccm of N2 ... Logging Active ... ", 2, kNormal},
    {"logging with an alarm", 0, 1, 0, 1, 0x0004,
     " Range 100.0000 sccm of N2 ... Logging Active ... Tracking Alarm ...", 1, kYellow},
    {"simulation ignores flags", 1, 0, 3, 1, 0xFFFF, "500 sccm of N2", 2, kNormal},
    {"simulation while connected", 1, 1, 0, 0, 0x8000, "500 sccm of N2", 2, kNormal},
    {"not connected", 0, 0, 0, 0, 0x0008, "ERROR -- Not Connected", 0, kRed},
    {"time-out", 0, 0, 1, 0, 0, "Serial Timeout Error", 0, kRed},
    {"checksum", 0, 0, 2, 0, 0, "Serial Checksum Error", 0, kRed},
    {"time-out first", 0, 0, 3, 1, 0, "Serial Timeout Error", 0, kRed},
};

struct TickerRun {
    std::vector<int> sourceX;
    std::vector<int> wrapX;
};

TickerRun RunTicker(TickerState* s, int text, int strip, int steps) {
    TickerRun run;
    for (int i = 0; i < steps; i++) {
        TickerFrame f;
        TickerStep(s, text, strip, &f);
        run.sourceX.push_back(f.SourceX);
        run.wrapX.push_back(f.Wrap ? f.WrapX : -1);
        EXPECT_EQ(f.Width, text - f.SourceX);
        if (f.Wrap) {
            EXPECT_EQ(f.WrapWidth, strip - f.WrapX);
        }
    }
    return run;
}

} // namespace

TEST(DisplayInfoStrip, ChoosesTextAndColour) {
    for (const ChoiceCase& c : kChoiceCases) {
        InfoStripInput in = {
            c.simulation, c.connected, c.serialErrors, c.logging, c.flags, kGas, 0};
        InfoStripChoice out;
        ChooseInformationText(&in, &out);
        EXPECT_STREQ(out.Text, c.text) << c.name;
        EXPECT_EQ(out.BufferSelect, c.select) << c.name;
        EXPECT_EQ(out.Background, c.colour) << c.name;
    }
}

TEST(DisplayInfoStrip, AnOpenWaitingForThePreviousConnectionSaysSoInsteadOfTheError) {
    InfoStripInput in = {0, 0, 0x1, 0, 0, kGas, 1};
    InfoStripChoice out;
    ChooseInformationText(&in, &out);
    EXPECT_STREQ(out.Text, "Waiting for the previous connection to end");
    EXPECT_EQ(out.BufferSelect, 0);
    EXPECT_EQ(out.Background, kRed);
    // Once connected the range shows, whatever the flag says.
    in = {0, 1, 0, 0, 0, kGas, 1};
    ChooseInformationText(&in, &out);
    EXPECT_STREQ(out.Text, "Range 100.0000 sccm of N2");
}

TEST(DisplayInfoStrip, LongGasTextIsCutButTheAlarmOrFailureStaysWhole) {
    // The range piece is cut to its 99 characters; what follows it is never lost.
    std::string gas(300, 'g');
    std::string range = ("Range " + gas).substr(0, INFO_TEXT_SIZE - 1);
    const struct {
        uint16_t flags;
        const char* text;
        int select;
    } cases[] = {
        {0x0008, "Valve Latched Open", 1},
        {0x8000, "System Failure, Lost Communication with Control Board", 0},
    };
    for (const auto& c : cases) {
        InfoStripInput in = {0, 1, 0, 1, c.flags, gas.c_str(), 0};
        InfoStripChoice out;
        ChooseInformationText(&in, &out);
        EXPECT_EQ(std::string(out.Text), " " + range + " ... " + c.text + " ...");
        EXPECT_EQ(out.BufferSelect, c.select);
    }
}

TEST(DisplayInfoStrip, TextThatFitsStandsStill) {
    TickerState s = {0, 0, 0};
    TickerRun run = RunTicker(&s, 80, 100, 200);
    for (int i = 0; i < 200; i++) {
        EXPECT_EQ(run.sourceX[i], 0) << i;
        EXPECT_EQ(run.wrapX[i], -1) << i;
    }
    EXPECT_EQ(s.TextWinX, 0);
}

TEST(DisplayInfoStrip, LongTextHoldsThenScrollsAndWraps) {
    // 21 per step passes 1000 at step 48: steps 1-48 draw offset 0, step 48+k draws k.
    TickerState s = {0, 0, 0};
    const int text = 150, strip = 100;
    TickerRun run = RunTicker(&s, text, strip, 260);
    for (int step = 1; step <= 48; step++)
        EXPECT_EQ(run.sourceX[step - 1], 0) << step;
    for (int k = 1; k <= 149; k++)
        EXPECT_EQ(run.sourceX[48 + k - 1], k) << k;
    // The text's end passes the strip's right edge once more than 50 px are scrolled off:
    // the beginning follows at x = 150 - k.
    EXPECT_EQ(run.wrapX[48 + 50 - 1], -1);
    EXPECT_EQ(run.wrapX[48 + 51 - 1], 99);
    EXPECT_EQ(run.wrapX[48 + 149 - 1], 1);
    // After a full turn it holds again for 48 steps.
    for (int step = 198; step <= 245; step++)
        EXPECT_EQ(run.sourceX[step - 1], 0) << step;
    EXPECT_EQ(run.sourceX[246 - 1], 1);
}

TEST(DisplayInfoStrip, ShorterNewTextStartsOverInsteadOfReadingPastItsEnd) {
    TickerState s = {0, 120, 2000};
    TickerFrame f;
    TickerStep(&s, 80, 50, &f);
    EXPECT_EQ(f.SourceX, 0);
    EXPECT_EQ(f.Width, 80);
    EXPECT_GE(s.TextWinX, 0);
    EXPECT_LT(s.TextWinX, 80);
}

TEST(DisplayInfoStrip, OffsetKeptAcrossALongerText) {
    TickerState s = {0, 30, 2000};
    TickerFrame f;
    TickerStep(&s, 300, 100, &f);
    EXPECT_EQ(f.SourceX, 30);
    EXPECT_EQ(s.TextWinX, 31);
}
