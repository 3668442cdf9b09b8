// The emulated board's live flow model, its sample ring with one cursor per stream, and the
// binary replies that carry them: the sample streams and the 40-byte state record.
#include "emulator/EmuBoard.h"
#include "emulator/EmuModel.h"
#include "emulator/EmuProtocol.h"

#include <cmath>
#include <cstring>

namespace emu {

namespace {

enum { SAMPLE_MS = 5 };

// Time constant of a controller's flow behind its set point, and the sensor noise in %.
const double LAG_MS = 300.0;
const double NOISE = 0.05;
// A catch-up longer than this is integrated in one step instead of tick by tick.
const int64_t MAX_CATCH_UP_MS = 60000;

} // namespace

// Uniform in [-1, 1]; xorshift so that a run is reproducible.
double NextNoise() {
    Board.NoiseState ^= Board.NoiseState << 13;
    Board.NoiseState ^= Board.NoiseState >> 17;
    Board.NoiseState ^= Board.NoiseState << 5;
    return (Board.NoiseState / 4294967295.0) * 2.0 - 1.0;
}

double TargetFlow(int64_t tickMs) {
    if (Board.FlowFixed)
        return Board.FixedFlow;
    if (Board.Kind == EMU_KIND_CONTROLLER) {
        if (Board.SetPoint < 0.0)
            return 0.0;
        return Board.SetPoint > 100.0 ? 100.0 : Board.SetPoint;
    }
    // A meter sees whatever the line carries: a slow swing around 40 %.
    double seconds = (tickMs - Board.StartMs) / 1000.0;
    return 40.0 + 5.0 * std::sin(2.0 * M_PI * seconds / 10.0);
}

// The sensor's counts for a flow; a flow held far outside the sensor's range saturates
// instead of overflowing the 32-bit field.
int32_t RawCounts(double flow) {
    double counts = flow * 23145.3 + 3400000.0;
    if (counts >= 2147483647.0)
        return INT32_MAX;
    if (counts <= -2147483648.0)
        return INT32_MIN;
    return (int32_t)counts;
}

void Tick(int64_t tickMs) {
    double target = TargetFlow(tickMs);
    if (Board.Kind == EMU_KIND_CONTROLLER && !Board.FlowFixed)
        Board.TrueFlow += (target - Board.TrueFlow) * (1.0 - std::exp(-SAMPLE_MS / LAG_MS));
    else
        Board.TrueFlow = target;
    // A held flow is exact, so that a test can predict every digit the program shows.
    double noise = Board.FlowFixed ? 0.0 : NextNoise() * NOISE;
    Board.MeasuredFlow = Board.TrueFlow + noise;
    Board.FilteredFlow += (Board.MeasuredFlow - Board.FilteredFlow) * 0.2;
    Board.Totalizer += Board.MeasuredFlow / 100.0 * (SAMPLE_MS / 60000.0);

    Sample* s = &Board.Ring[Board.SampleCount % RING_SIZE];
    s->flow = (float)Board.MeasuredFlow;
    s->filtered = (float)Board.FilteredFlow;
    s->raw = (float)(Board.TrueFlow + noise * 4.0);
    s->setPoint = (float)(Board.Kind == EMU_KIND_CONTROLLER ? Board.SetPoint : 0.0);
    s->counts = RawCounts(Board.MeasuredFlow);
    Board.SampleCount++;
}

void Advance(int64_t nowMs) {
    if (nowMs - Board.LastTickMs > MAX_CATCH_UP_MS) {
        int64_t skipped = nowMs - MAX_CATCH_UP_MS - Board.LastTickMs;
        skipped -= skipped % SAMPLE_MS;
        Board.Totalizer += Board.MeasuredFlow / 100.0 * (skipped / 60000.0);
        Board.LastTickMs += skipped;
    }
    while (nowMs - Board.LastTickMs >= SAMPLE_MS) {
        Board.LastTickMs += SAMPLE_MS;
        Tick(Board.LastTickMs);
    }
}
namespace {

void BinaryReply(EmuOutput* out, const std::string& payload, ReplyShape shape) {
    out->reply = 1;
    out->bytes = FaultedFrame(payload, shape);
}

std::string SamplesPayload(Stream stream) {
    uint64_t first = Board.Cursor[stream];
    if (Board.SampleCount - first > EMU_MAX_SAMPLES)
        first = Board.SampleCount - EMU_MAX_SAMPLES;
    std::string payload;
    for (uint64_t i = first; i < Board.SampleCount; i++) {
        const Sample& s = Board.Ring[i % RING_SIZE];
        switch (stream) {
        case STREAM_GAFV:
            EmuPutFloat(&payload, s.flow);
            break;
        case STREAM_GFF:
            EmuPutFloat(&payload, s.filtered);
            break;
        case STREAM_GRF:
            EmuPutFloat(&payload, s.raw);
            break;
        default:
            EmuPutFloat(&payload, s.flow);
            EmuPutFloat(&payload, s.setPoint);
            EmuPutLe32(&payload, (uint32_t)s.counts);
            break;
        }
    }
    Board.Cursor[stream] = Board.SampleCount;
    return payload;
}

} // namespace

int HandleBinary(const char* name, const char* value, int64_t nowMs, EmuOutput* out) {
    const struct {
        const char* name;
        Stream stream;
    } streams[] = {
        {"~GAFV", STREAM_GAFV},
        {"~GFF", STREAM_GFF},
        {"~GRF", STREAM_GRF},
        {"~GSV", STREAM_GSV},
    };
    if (strcmp(name, "~GLSV") == 0) {
        if (value)
            Invalid(out);
        else
            BinaryReply(out, EmuStatePayload(nowMs), SHAPE_STATE);
        return 1;
    }
    for (const auto& s : streams) {
        if (strcmp(name, s.name) != 0)
            continue;
        if (value)
            Invalid(out);
        else
            BinaryReply(out, SamplesPayload(s.stream), SHAPE_FRAME);
        return 1;
    }
    return 0;
}

} // namespace emu

using namespace emu;

std::string EmuStatePayload(int64_t nowMs) {
    Advance(nowMs);
    std::string payload;
    EmuPutLe32(&payload, (uint32_t)RawCounts(Board.MeasuredFlow));
    EmuPutFloat(&payload, (float)Board.MeasuredFlow);
    EmuPutFloat(&payload, (float)(Board.Kind == EMU_KIND_CONTROLLER ? Board.SetPoint : 0.0));
    EmuPutFloat(&payload, 24.5f); // sensor temperature, degrees C
    EmuPutFloat(&payload, 14.7f); // line pressure, psia
    EmuPutFloat(&payload, (float)ValveDrive());
    EmuPutFloat(&payload, (float)Board.FilteredFlow);
    EmuPutFloat(&payload, (float)Board.Totalizer);
    EmuPutLe16(&payload, Board.V1);
    EmuPutLe16(&payload, Board.V12);
    EmuPutLe16(&payload, Board.StatusFlags);
    EmuPutLe16(&payload, Board.ActiveGas);
    return payload;
}

double EmuCurrentFlow(int64_t nowMs) {
    Advance(nowMs);
    return Board.MeasuredFlow;
}
