// torvanctl capture: every flow sample the board makes, as CSV, for as long as asked.
#include <cstdio>
#include <cstring>

#include "app/Utf8File.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlFlowStream.h"
#include "ctl/CtlPlatform.h"
#include "device/DeviceClock.h"

// Batches lost in a row before the board is taken to be gone.
constexpr int MAX_FAILED_BATCHES = 3;

// One "~GAFV" exchange; 0 when the frame did not come back whole.
static int ReadBatch(NewFlowReadingsRec* readings) {
    if (!ReadFlowBatch(Board, FLOW_ALL, readings)) {
        ClearSerialPortErrors();
        return 0;
    }
    return 1;
}

int FlowStreamStart(FlowStream* stream) {
    NewFlowReadingsRec readings;
    SampleClockStart(&stream->Clock);
    stream->FailedInRow = 0;
    if (!ReadBatch(&readings)) {
        return Fail(EXIT_TIMED_OUT, "%s", "no flow samples from the board (~GAFV)");
    }
    stream->OriginSeconds = DeviceNowSeconds();
    return EXIT_DONE;
}

double FlowStreamNow(const FlowStream* stream) {
    return DeviceNowSeconds() - stream->OriginSeconds;
}

int FlowStreamRead(FlowStream* stream, float* flows, double* times) {
    NewFlowReadingsRec readings;
    double askedAt = FlowStreamNow(stream);
    if (!ReadBatch(&readings)) {
        if (Interrupted()) {
            return 0;
        }
        // The board has handed those samples out already: they are gone.
        SampleClockResync(&stream->Clock);
        if (++stream->FailedInRow >= MAX_FAILED_BATCHES) {
            Fail(EXIT_TIMED_OUT, "%s", "the board stopped sending flow samples");
            return -1;
        }
        fprintf(stderr, "torvanctl: a batch of flow samples was lost at %.3f s\n", askedAt);
        return 0;
    }
    stream->FailedInRow = 0;
    if (readings.Count >= MAX_FLOW_READINGS) {
        // A full batch means the board's store ran over: older samples may be missing.
        fprintf(stderr, "torvanctl: flow samples may have been lost before %.3f s\n", askedAt);
        SampleClockResync(&stream->Clock);
    }
    memcpy(flows, readings.Values, sizeof(float) * (size_t)readings.Count);
    SampleClockBatch(&stream->Clock, askedAt, readings.Count, times);
    return readings.Count;
}

static int CaptureSamples(FILE* file, const char* fileName, double durationS, int withSetPoint,
                          float setPoint) {
    FlowStream stream;
    int code = FlowStreamStart(&stream);
    if (code != EXIT_DONE) {
        return code;
    }
    float flows[MAX_FLOW_READINGS];
    double times[MAX_FLOW_READINGS];
    double next = 0.0;
    for (;;) {
        next += FLOW_STREAM_PERIOD_SECONDS;
        const int last = durationS > 0.0 && next >= durationS;
        SleepUntil(stream.OriginSeconds + (last ? durationS : next));
        if (Interrupted()) {
            return EXIT_DONE;
        }
        int count = FlowStreamRead(&stream, flows, times);
        if (count < 0) {
            return EXIT_TIMED_OUT;
        }
        for (int i = 0; i < count; ++i) {
            if (withSetPoint) {
                fprintf(file, "%.3f,%.4f,%.4f\n", times[i], flows[i], setPoint);
            } else {
                fprintf(file, "%.3f,%.4f\n", times[i], flows[i]);
            }
        }
        // One flush per batch: a reader of the file sees whole lines every 100 ms.
        if (ferror(file) || fflush(file) != 0) {
            return Fail(EXIT_OTHER, "cannot write %s", fileName);
        }
        if (last) {
            return EXIT_DONE;
        }
    }
}

int RunCapture(const CommandDef& def, const Args& args) {
    double durationS = -1.0;
    if (args.Present[0] && (!ParseDouble(args.Value[0], &durationS) || durationS <= 0.0)) {
        return UsageError(def, "bad --duration ", args.Value[0]);
    }
    const char* fileName = args.Present[1] ? args.Value[1] : "standard output";
    const int withSetPoint = args.Present[2];

    int code = OpenBoard(args.Positional[0]);
    if (code != EXIT_DONE) {
        return code;
    }
    SystemStateRec state = {};
    if (withSetPoint && !GetLegacyBoardStateVals(Board, &state)) {
        ClearSerialPortErrors();
        CloseBoard();
        return Fail(EXIT_TIMED_OUT, "%s", "no state record from the board for its set point");
    }
    FILE* file = stdout;
    if (args.Present[1]) {
        file = OpenFileUtf8(args.Value[1], "w");
        if (file == nullptr) {
            CloseBoard();
            return Fail(EXIT_OTHER, "cannot create %s", args.Value[1]);
        }
    }
    code = WriteLine(file, withSetPoint ? "time_s,flow_pct,set_point_pct\n" : "time_s,flow_pct\n",
                     fileName);
    if (code == EXIT_DONE) {
        code = CaptureSamples(file, fileName, durationS, withSetPoint, state.SetPoint);
    }
    if (file != stdout && fclose(file) != 0 && code == EXIT_DONE) {
        code = Fail(EXIT_OTHER, "cannot write %s", fileName);
    }
    CloseBoard();
    return code;
}
