#include "app/LogFileWriter.h"

namespace {

int WriteLine(FILE* file, const char* line) {
    if (file == nullptr) {
        return 0;
    }
    // fputs only fills the stream's buffer; the flush is where a full disk or a read-only
    // stream shows up.
    if (fputs(line, file) < 0) {
        return 0;
    }
    if (fflush(file) != 0) {
        return 0;
    }
    return ferror(file) == 0;
}

} // namespace

int WriteLogHeader(FILE* file, uint32_t intervalMs) {
    char line[160];
    FormatLogHeader(intervalMs, line, sizeof line);
    return WriteLine(file, line);
}

int WriteLogSample(FILE* file, const LogTimestamp& time, float flow, int withMilliseconds) {
    char line[512];
    FormatLogSample(time, flow, withMilliseconds, line, sizeof line);
    return WriteLine(file, line);
}
