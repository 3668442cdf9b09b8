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
double NextNoise(EmuBoard& board) {
    board.NoiseState ^= board.NoiseState << 13;
    board.NoiseState ^= board.NoiseState >> 17;
    board.NoiseState ^= board.NoiseState << 5;
    return (board.NoiseState / 4294967295.0) * 2.0 - 1.0;
}

double TargetFlow(EmuBoard& board, int64_t tickMs) {
    if (board.FlowFixed)
        return board.FixedFlow;
    if (board.Kind == EMU_KIND_CONTROLLER) {
        if (board.SetPoint < 0.0)
            return 0.0;
        return board.SetPoint > 100.0 ? 100.0 : board.SetPoint;
    }
    // A meter sees whatever the line carries: a slow swing around 40 %.
    double seconds = (tickMs - board.StartMs) / 1000.0;
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

void Tick(EmuBoard& board, int64_t tickMs) {
    double target = TargetFlow(board, tickMs);
    if (board.Kind == EMU_KIND_CONTROLLER && !board.FlowFixed)
        board.TrueFlow += (target - board.TrueFlow) * (1.0 - std::exp(-SAMPLE_MS / LAG_MS));
    else
        board.TrueFlow = target;
    // A held flow is exact, so that a test can predict every digit the program shows.
    double noise = board.FlowFixed ? 0.0 : NextNoise(board) * NOISE;
    board.MeasuredFlow = board.TrueFlow + noise;
    board.FilteredFlow += (board.MeasuredFlow - board.FilteredFlow) * 0.2;
    board.Totalizer += board.MeasuredFlow / 100.0 * (SAMPLE_MS / 60000.0);

    Sample* s = &board.Ring[board.SampleCount % RING_SIZE];
    s->flow = (float)board.MeasuredFlow;
    s->filtered = (float)board.FilteredFlow;
    s->raw = (float)(board.TrueFlow + noise * 4.0);
    s->setPoint = (float)(board.Kind == EMU_KIND_CONTROLLER ? board.SetPoint : 0.0);
    s->counts = RawCounts(board.MeasuredFlow);
    board.SampleCount++;
}

void Advance(EmuBoard& board, int64_t nowMs) {
    if (nowMs - board.LastTickMs > MAX_CATCH_UP_MS) {
        int64_t skipped = nowMs - MAX_CATCH_UP_MS - board.LastTickMs;
        skipped -= skipped % SAMPLE_MS;
        board.Totalizer += board.MeasuredFlow / 100.0 * (skipped / 60000.0);
        board.LastTickMs += skipped;
    }
    while (nowMs - board.LastTickMs >= SAMPLE_MS) {
        board.LastTickMs += SAMPLE_MS;
        Tick(board, board.LastTickMs);
    }
}
namespace {

void BinaryReply(EmuBoard& board, EmuOutput* out, const std::string& payload, ReplyShape shape) {
    out->reply = 1;
    out->bytes = FaultedFrame(board, payload, shape);
}

std::string SamplesPayload(EmuBoard& board, Stream stream) {
    uint64_t first = board.Cursor[stream];
    if (board.SampleCount - first > EMU_MAX_SAMPLES)
        first = board.SampleCount - EMU_MAX_SAMPLES;
    std::string payload;
    for (uint64_t i = first; i < board.SampleCount; i++) {
        const Sample& s = board.Ring[i % RING_SIZE];
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
    board.Cursor[stream] = board.SampleCount;
    return payload;
}

} // namespace

int HandleBinary(EmuBoard& board, const char* name, const char* value, int64_t nowMs,
                 EmuOutput* out) {
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
            Invalid(board, out);
        else
            BinaryReply(board, out, EmuStatePayload(&board, nowMs), SHAPE_STATE);
        return 1;
    }
    for (const auto& s : streams) {
        if (strcmp(name, s.name) != 0)
            continue;
        if (value)
            Invalid(board, out);
        else
            BinaryReply(board, out, SamplesPayload(board, s.stream), SHAPE_FRAME);
        return 1;
    }
    return 0;
}

} // namespace emu

using namespace emu;

std::string EmuStatePayload(EmuBoard* boardIn, int64_t nowMs) {
    EmuBoard& board = *boardIn;
    Advance(board, nowMs);
    std::string payload;
    EmuPutLe32(&payload, (uint32_t)RawCounts(board.MeasuredFlow));
    EmuPutFloat(&payload, (float)board.MeasuredFlow);
    EmuPutFloat(&payload, (float)(board.Kind == EMU_KIND_CONTROLLER ? board.SetPoint : 0.0));
    EmuPutFloat(&payload, 24.5f); // sensor temperature, degrees C
    EmuPutFloat(&payload, 14.7f); // line pressure, psia
    EmuPutFloat(&payload, (float)ValveDrive(board));
    EmuPutFloat(&payload, (float)board.FilteredFlow);
    EmuPutFloat(&payload, (float)board.Totalizer);
    EmuPutLe16(&payload, board.V1);
    EmuPutLe16(&payload, board.V12);
    EmuPutLe16(&payload, board.StatusFlags);
    EmuPutLe16(&payload, board.ActiveGas);
    return payload;
}

double EmuCurrentFlow(EmuBoard* board, int64_t nowMs) {
    Advance(*board, nowMs);
    return board->MeasuredFlow;
}
