#include "ctl/CtlSettle.h"

#include <cstring>

#include "ctl/CtlPlatform.h"
#include "device/DeviceClock.h"
#include "device/LegacyBoardUtils.h"

// The board produces one sample every 5 ms.
constexpr double SAMPLE_SECONDS = 0.005;
// Frames lost in a row before the board is taken to be gone.
constexpr int MAX_FAILED_READS = 3;

static float LittleEndianFloat(const uint8_t* bytes) {
    uint32_t bits = (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 |
                    (uint32_t)bytes[3] << 24;
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// Sleeps in short slices so Ctrl-C and the deadline are noticed while waiting.
static void PauseUntil(double until) {
    for (;;) {
        double left = until - DeviceNowSeconds();
        if (left <= 0.0 || Interrupted()) {
            return;
        }
        DeviceSleepMs(left > 0.02 ? 20u : (uint32_t)(left * 1000.0) + 1u);
    }
}

SettleResult WaitForSettleBounded(ComHandle handle, int type, float low, float high, int durationMs,
                                  double timeoutSeconds, double startSeconds) {
    static const char* const Commands[] = {"~GFF\r", "~GRF\r", "~GSV\r"};
    const char* command = Commands[type >= 0 && type <= 2 ? type : 0];
    const int stride = type == 2 ? 12 : 4;
    const int needed = durationMs / 5 > 0 ? durationMs / 5 : 1;
    const double deadline = startSeconds + timeoutSeconds;

    SettleResult result = {SETTLE_TIMED_OUT, 0.0, 0.0, 0.0f};
    int run = 0;
    double runStart = 0.0;
    int failedReads = 0;

    for (;;) {
        if (Interrupted()) {
            result.Outcome = SETTLE_INTERRUPTED;
            break;
        }
        if (DeviceNowSeconds() >= deadline) {
            result.Outcome = SETTLE_TIMED_OUT;
            break;
        }

        uint8_t* data = nullptr;
        int count = 0;
        WriteComStr(handle, command);
        int ok = GetBinaryResponse(handle, &data, &count);
        double now = DeviceNowSeconds();
        if (!ok) {
            ClearSerialPortErrors();
            if (++failedReads >= MAX_FAILED_READS) {
                result.Outcome = SETTLE_NO_READINGS;
                break;
            }
            continue;
        }
        failedReads = 0;

        // The batch holds the samples made since the last request, the newest last.
        int samples = count / stride;
        for (int i = 0; i < samples; ++i) {
            float value = LittleEndianFloat(data + i * stride);
            result.LastSample = value;
            if (value >= low && value <= high) {
                if (run == 0) {
                    runStart = now - (samples - 1 - i) * SAMPLE_SECONDS;
                }
                ++run;
            } else {
                run = 0;
            }
        }
        if (run >= needed) {
            result.Outcome = SETTLED;
            result.SettleSeconds = runStart > startSeconds ? runStart - startSeconds : 0.0;
            break;
        }

        double wake = now + FlowReadingsWaitMs(needed - run) / 1000.0;
        PauseUntil(wake < deadline ? wake : deadline);
    }
    result.ElapsedSeconds = DeviceNowSeconds() - startSeconds;
    return result;
}
