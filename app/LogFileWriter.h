// Writing the flow log's lines to an open stream. Each line is flushed as soon as it is
// written, so a crash loses at most the line in progress; every write is checked.
#pragma once

#include <cstdint>
#include <cstdio>

#include "app/LogFormat.h"

constexpr int LOG_SAMPLE_LIMIT = 4096;

// Non-zero when the header reached the file.
int WriteLogHeader(FILE* file, uint32_t intervalMs);
// Non-zero when the sample line reached the file.
int WriteLogSample(FILE* file, const LogTimestamp& time, float flow, int withMilliseconds);
