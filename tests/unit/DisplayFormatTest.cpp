#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "display/FormatInfo.h"

namespace {

struct FormatCase {
    float value;
    int extra;
    int decimals;
    const char* sizing;
};

// Decimals worked out from the "%1.9f" text: leading characters before the point, or the
// position of the first non-zero decimal; sizing = length of "%1.*f" + extra.
const FormatCase kFormatCases[] = {
    {100.0f, 1, 1, "888888"},       // "100.0"
    {100.0f, 4, 1, "888888888"},    // "100.0" + 4
    {2000.0f, 1, 0, "88888"},       // "2000"
    {5.0f, 1, 3, "888888"},         // "5.000"
    {12.5f, 1, 2, "888888"},        // "12.50"
    {0.5f, 1, 4, "8888888"},        // "0.5000"
    {0.05f, 1, 5, "88888888"},      // "0.05000"
    {0.0123f, 4, 5, "88888888888"}, // "0.01230" + 4
    {-0.5f, 1, 2, "888888"},        // "-0.50": the sign makes two leading characters
    {-250.0f, 1, 0, "sizing:5"},    // "-250"
    {0.0f, 1, 12, "sizing:15"},     // "0.000000000000"
    {1e-10f, 1, 12, "sizing:15"},   // nine zero decimals count as position 9
    {500.0f, 1, 1, "888888"},       // the simulated full scale
    {100.0f, -10, 1, ""},           // nothing left to size
};

std::string Expected(const char* sizing) {
    if (strncmp(sizing, "sizing:", 7) == 0)
        return std::string((size_t)atoi(sizing + 7), '8');
    return sizing;
}

} // namespace

TEST(DisplayFormat, DecimalsAndSizingString) {
    for (const FormatCase& c : kFormatCases) {
        char sizing[128];
        memset(sizing, 'x', sizeof sizing);
        int decimals = -1;
        const char* returned = GetFormatInfo(c.value, c.extra, sizing, sizeof sizing, &decimals);
        EXPECT_EQ(decimals, c.decimals) << "value " << c.value;
        EXPECT_EQ(std::string(sizing), Expected(c.sizing)) << "value " << c.value;
        EXPECT_EQ(returned, sizing);
        EXPECT_EQ(FormatDecimalsFor(c.value), c.decimals) << "value " << c.value;
    }
}

TEST(DisplayFormat, PrintsTheDigitBuffLine) {
    char sizing[32];
    int decimals = 0;
    testing::internal::CaptureStdout();
    GetFormatInfo(100.0f, 1, sizing, sizeof sizing, &decimals);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "DigitBuff: 888888\n");
}

TEST(DisplayFormat, SizingStringIsCutToItsBuffer) {
    char sizing[8];
    memset(sizing, 'x', sizeof sizing);
    int decimals = 0;
    GetFormatInfo(1e30f, 4, sizing, 5, &decimals);
    EXPECT_STREQ(sizing, "8888");
    EXPECT_EQ(sizing[5], 'x');
    EXPECT_EQ(decimals, 0);
}

TEST(ReadingText, PercentHasTwoDecimalsAndUnitsTheGasDecimals) {
    struct Case {
        float value;
        int decimals; // negative: the percentage form
        const char* text;
    } cases[] = {
        {37.5f, -1, "37.50"},  {-0.04f, -1, "-0.04"}, {1234.5f, 1, "1234.5"},
        {0.05f, 5, "0.05000"}, {250.0f, 0, "250"},    {-0.004f, -1, "-0.00"},
    };
    for (const auto& c : cases) {
        char text[32];
        EXPECT_EQ(FormatReadingText(text, sizeof text, c.value, c.decimals), (int)strlen(c.text));
        EXPECT_STREQ(text, c.text);
    }
    // A short buffer keeps the leading characters and reports what it holds.
    char cut[4];
    EXPECT_EQ(FormatReadingText(cut, sizeof cut, 1234.5f, 1), 3);
    EXPECT_STREQ(cut, "123");
}
