#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/GasText.h"

namespace {

struct CleanCase {
    const char* reply;
    const char* cleaned;
};

const CleanCase kCleanCases[] = {
    {"  sccm\r\n", "sccm"},
    {"N2\r\n", "N2"},
    {" \r\n \r", ""},
    {"\r\n  slpm", "slpm"}, // blanks after a line end are still leading
    {"a b\r\nc ", "a bc "}, // inner and trailing blanks stay
    {"", ""},
};

} // namespace

TEST(GasText, CleansRepliesInPlace) {
    for (const CleanCase& c : kCleanCases) {
        char text[64];
        snprintf(text, sizeof text, "%s", c.reply);
        CleanGasText(text);
        EXPECT_STREQ(text, c.cleaned) << "reply [" << c.reply << "]";
    }
}

TEST(GasText, EmptyTextsFallBackAndInfoIsBuilt) {
    struct Case {
        const char *units, *symbol, *outUnits, *outSymbol, *info;
        float fullScale;
    } cases[] = {
        {"  sccm\r\n", "N2\r\n", "sccm", "N2", "500.0000 sccm of N2", 500.0f},
        {" \r\n", "Ar\r\n", "G7 Not Set", "Ar", "10.5000 G7 Not Set of Ar", 10.5f},
        {"slpm", "\r\n", "slpm", "G4 Not Set", "0.0500 slpm of G4 Not Set", 0.05f},
    };
    for (const Case& c : cases) {
        char units[128], symbol[128], info[256];
        snprintf(units, sizeof units, "%s", c.units);
        snprintf(symbol, sizeof symbol, "%s", c.symbol);
        BuildGasInfo(units, sizeof units, symbol, sizeof symbol, c.fullScale, info, sizeof info);
        EXPECT_STREQ(units, c.outUnits);
        EXPECT_STREQ(symbol, c.outSymbol);
        EXPECT_STREQ(info, c.info);
    }
}

TEST(GasText, InfoIsCutToItsBuffer) {
    char units[128], symbol[128], info[16];
    memset(units, 'u', sizeof units - 1);
    units[sizeof units - 1] = '\0';
    snprintf(symbol, sizeof symbol, "N2");
    BuildGasInfo(units, sizeof units, symbol, sizeof symbol, 100.0f, info, sizeof info);
    EXPECT_EQ(std::string(info), "100.0000 uuuuuu");
}

TEST(GasText, FallbackFitsASmallBuffer) {
    char units[4] = "\r\n";
    char symbol[8] = "N2";
    char info[64];
    BuildGasInfo(units, sizeof units, symbol, sizeof symbol, 1.0f, info, sizeof info);
    EXPECT_STREQ(units, "G7 ");
}
