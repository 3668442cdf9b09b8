// The flow log's text: the header line, one sample line, and the split of an interval into
// minutes, seconds and milliseconds. Shared by the window program's log and torvanctl.
#pragma once

#include <cstddef>
#include <cstdint>

struct LogIntervalParts {
    uint32_t Minutes;
    uint32_t Seconds;
    uint32_t Milliseconds;
};

LogIntervalParts SplitLogInterval(uint32_t intervalMs);

// "Date, Time, Flow Rate, Log Interval: " followed by the interval text and "\n".
// Returns the length written (the text is always NUL-terminated and cut to size).
int FormatLogHeader(uint32_t intervalMs, char* out, size_t outSize);

struct LogTimestamp {
    int Year, Month, Day, Hour, Minute, Second, Milliseconds;
};

// One sample line ending in "\n"; with milliseconds when withMilliseconds is non-zero.
int FormatLogSample(const LogTimestamp& time, float flow, int withMilliseconds, char* out,
                    size_t outSize);
