#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>
#include <string>

#include "app/LogFileWriter.h"
#include "app/LogFormat.h"

namespace {

struct HeaderCase {
    uint32_t Interval;
    const char* Tail;
};

std::string Header(uint32_t interval) {
    char buffer[128];
    int length = FormatLogHeader(interval, buffer, sizeof buffer);
    EXPECT_EQ(length, static_cast<int>(strlen(buffer)));
    return buffer;
}

} // namespace

TEST(LogFormat, HeaderNamesTheIntervalInUnitsWithoutSeparators) {
    const HeaderCase cases[] = {
        {90500, "1 Minute30 Seconds500 Msec"},
        {2000, "2 Seconds"},
        {250, "250 Msec"},
        {60000, "1 Minute"},
        {61001, "1 Minute1 Second1 Msec"},
        {1000, "1 Second"},
        {1, "1 Msec"},
        {3661000, "61 Minutes1 Second"},
        {120000, "2 Minutes"},
    };
    for (const HeaderCase& c : cases) {
        EXPECT_EQ(Header(c.Interval),
                  std::string("Date, Time, Flow Rate, Log Interval: ") + c.Tail + "\n")
            << c.Interval;
    }
}

TEST(LogFormat, SplitsAnIntervalIntoMinutesSecondsAndMilliseconds) {
    struct {
        uint32_t Interval, Minutes, Seconds, Milliseconds;
    } const cases[] = {
        {90500, 1, 30, 500}, {3661000, 61, 1, 0}, {59999, 0, 59, 999},
        {60000, 1, 0, 0},    {0, 0, 0, 0},        {61001, 1, 1, 1},
    };
    for (const auto& c : cases) {
        LogIntervalParts parts = SplitLogInterval(c.Interval);
        EXPECT_EQ(parts.Minutes, c.Minutes) << c.Interval;
        EXPECT_EQ(parts.Seconds, c.Seconds) << c.Interval;
        EXPECT_EQ(parts.Milliseconds, c.Milliseconds) << c.Interval;
    }
}

TEST(LogFormat, SampleLinesCarryTheFullYearAndOptionalMilliseconds) {
    struct {
        LogTimestamp Time;
        float Flow;
        int WithMs;
        const char* Line;
    } const cases[] = {
        {{2026, 12, 7, 8, 15, 3, 42}, 37.5f, 0, "12/07/2026,08:15:03,37.500000\n"},
        {{2026, 12, 7, 8, 15, 3, 42}, 37.5f, 1, "12/07/2026,08:15:03.042,37.500000\n"},
        {{2027, 1, 31, 23, 59, 59, 999}, -5.25f, 1, "01/31/2027,23:59:59.999,-5.250000\n"},
        {{2026, 6, 1, 0, 0, 0, 0}, 0.0f, 0, "06/01/2026,00:00:00,0.000000\n"},
        {{2026, 6, 1, 0, 0, 0, 0}, 120.0f, 0, "06/01/2026,00:00:00,120.000000\n"},
    };
    for (const auto& c : cases) {
        char line[128];
        int length = FormatLogSample(c.Time, c.Flow, c.WithMs, line, sizeof line);
        EXPECT_STREQ(line, c.Line);
        EXPECT_EQ(length, static_cast<int>(strlen(c.Line)));
    }
}

TEST(LogFormat, ShortBuffersAreCutAndStayTerminated) {
    char small[12];
    memset(small, 'x', sizeof small);
    int length = FormatLogHeader(90500, small, sizeof small);
    EXPECT_EQ(length, 11);
    EXPECT_STREQ(small, "Date, Time,");

    char tiny[8];
    memset(tiny, 'x', sizeof tiny);
    length = FormatLogSample({2026, 12, 7, 8, 15, 3, 0}, 37.5f, 1, tiny, sizeof tiny);
    EXPECT_EQ(length, 7);
    EXPECT_STREQ(tiny, "12/07/2");

    EXPECT_EQ(FormatLogHeader(2000, small, 0), 0);
}

TEST(LogFileWriter, LinesReachTheFileAtOnce) {
    char path[] = "/tmp/torvan-logXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    FILE* file = fopen(path, "w");
    ASSERT_NE(file, nullptr);
    ASSERT_NE(WriteLogHeader(file, 2000), 0);
    ASSERT_NE(WriteLogSample(file, {2026, 12, 7, 8, 15, 3, 0}, 37.5f, 0), 0);
    // Read back through a second stream while the first is still open: nothing may sit in
    // the writer's buffer.
    FILE* reader = fopen(path, "r");
    ASSERT_NE(reader, nullptr);
    char text[256] = {};
    size_t got = fread(text, 1, sizeof text - 1, reader);
    fclose(reader);
    fclose(file);
    unlink(path);
    EXPECT_EQ(std::string(text, got),
              "Date, Time, Flow Rate, Log Interval: 2 Seconds\n12/07/2026,08:15:03,37.500000\n");
}

TEST(LogFileWriter, FailedWritesAreReported) {
    // A stream opened for reading refuses writes; /dev/full refuses them at the flush.
    FILE* readOnly = fopen("/dev/null", "r");
    ASSERT_NE(readOnly, nullptr);
    EXPECT_EQ(WriteLogHeader(readOnly, 2000), 0);
    EXPECT_EQ(WriteLogSample(readOnly, {2026, 1, 1, 0, 0, 0, 0}, 1.0f, 1), 0);
    fclose(readOnly);
    FILE* full = fopen("/dev/full", "w");
    if (full != nullptr) {
        EXPECT_EQ(WriteLogHeader(full, 2000), 0);
        EXPECT_EQ(WriteLogSample(full, {2026, 1, 1, 0, 0, 0, 0}, 1.0f, 0), 0);
        fclose(full);
    }
    EXPECT_EQ(WriteLogHeader(nullptr, 2000), 0);
}
