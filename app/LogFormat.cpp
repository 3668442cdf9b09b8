#include "app/LogFormat.h"

#include <charconv>
#include <cstdio>
#include <cstring>

LogIntervalParts SplitLogInterval(uint32_t intervalMs) {
    LogIntervalParts parts;
    parts.Milliseconds = intervalMs % 1000;
    parts.Seconds = ((intervalMs - parts.Milliseconds) % 60000) / 1000;
    parts.Minutes = (intervalMs - parts.Milliseconds - 1000 * parts.Seconds) / 60000;
    return parts;
}

namespace {

// Appends text at *used, never past outSize - 1, keeping the buffer NUL-terminated.
void Append(char* out, size_t outSize, size_t* used, const char* text) {
    if (outSize == 0) {
        return;
    }
    size_t room = outSize - 1 - *used;
    size_t length = strlen(text);
    if (length > room) {
        length = room;
    }
    memcpy(out + *used, text, length);
    *used += length;
    out[*used] = '\0';
}

// Integers only: snprintf's %d has no locale-dependent characters.
void AppendCount(char* out, size_t outSize, size_t* used, uint32_t count, const char* one,
                 const char* many) {
    char piece[32];
    if (count == 1 && one != nullptr) {
        Append(out, outSize, used, one);
        return;
    }
    snprintf(piece, sizeof piece, many, static_cast<int>(count));
    Append(out, outSize, used, piece);
}

} // namespace

int FormatLogHeader(uint32_t intervalMs, char* out, size_t outSize) {
    size_t used = 0;
    if (outSize == 0) {
        return 0;
    }
    out[0] = '\0';
    LogIntervalParts parts = SplitLogInterval(intervalMs);
    Append(out, outSize, &used, "Date, Time, Flow Rate, Log Interval: ");
    if (parts.Minutes != 0) {
        AppendCount(out, outSize, &used, parts.Minutes, "1 Minute", "%d Minutes");
    }
    if (parts.Seconds != 0) {
        AppendCount(out, outSize, &used, parts.Seconds, "1 Second", "%d Seconds");
    }
    if (parts.Milliseconds != 0) {
        AppendCount(out, outSize, &used, parts.Milliseconds, nullptr, "%d Msec");
    }
    Append(out, outSize, &used, "\n");
    return static_cast<int>(used);
}

int FormatLogSample(const LogTimestamp& time, float flow, int withMilliseconds, char* out,
                    size_t outSize) {
    if (outSize == 0) {
        return 0;
    }
    out[0] = '\0';
    char stamp[64];
    if (withMilliseconds) {
        snprintf(stamp, sizeof stamp, "%02d/%02d/%04d,%02d:%02d:%02d.%03d,", time.Month, time.Day,
                 time.Year, time.Hour, time.Minute, time.Second, time.Milliseconds);
    } else {
        snprintf(stamp, sizeof stamp, "%02d/%02d/%04d,%02d:%02d:%02d,", time.Month, time.Day,
                 time.Year, time.Hour, time.Minute, time.Second);
    }
    // to_chars never consults the locale, so a decimal comma can't reach the file; fixed with
    // six decimals is what %f prints.
    char number[400];
    std::to_chars_result result = std::to_chars(
        number, number + sizeof number - 1, static_cast<double>(flow), std::chars_format::fixed, 6);
    if (result.ec != std::errc()) {
        strcpy(number, "0.000000");
    } else {
        *result.ptr = '\0';
    }
    size_t used = 0;
    Append(out, outSize, &used, stamp);
    Append(out, outSize, &used, number);
    Append(out, outSize, &used, "\n");
    return static_cast<int>(used);
}
