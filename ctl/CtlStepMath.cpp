#include "ctl/CtlStepMath.h"

#include <cmath>

#include "ctl/CtlSampleClock.h"

void StepStart(StepAccumulator* step, const StepInput& shape) {
    *step = StepAccumulator{};
    step->Shape = shape;
    step->Shape.Time = nullptr;
    step->Shape.Flow = nullptr;
    step->Shape.Count = 0;
    // The settle run must last until the hold ends, or SettleForMs worth of samples.
    if (shape.SettleForMs > 0.0) {
        int needed = (int)std::ceil(shape.SettleForMs / (BOARD_SAMPLE_SECONDS * 1000.0) - 1e-9);
        step->Needed = needed > 0 ? needed : 1;
    }
    step->SettleAt = NAN;
    step->At10 = NAN;
    step->RiseMs = NAN;
}

void StepAdd(StepAccumulator* step, double time, float flow) {
    const StepInput& shape = step->Shape;
    step->Shape.Count++;

    if (std::isnan(step->SettleAt)) {
        if (flow >= shape.To - shape.Band && flow <= shape.To + shape.Band) {
            if (step->Run == 0) {
                step->RunStart = time;
            }
            if (++step->Run >= step->Needed && step->Needed > 0) {
                step->SettleAt = step->RunStart;
            }
        } else {
            step->Run = 0;
        }
    }

    // 10 % to 90 % of the step; both may be crossed by one sample.
    const double size = shape.To - shape.From;
    const double direction = size > 0.0 ? 1.0 : size < 0.0 ? -1.0 : 0.0;
    if (size != 0.0 && std::isnan(step->RiseMs)) {
        if (std::isnan(step->At10) && (flow - (shape.From + 0.1 * size)) * direction >= 0.0) {
            step->At10 = time;
        }
        if (!std::isnan(step->At10) && (flow - (shape.From + 0.9 * size)) * direction >= 0.0) {
            step->RiseMs = (time - step->At10) * 1000.0;
        }
    }

    // A step of 0 has no direction to overshoot in.
    double beyond = (flow - shape.To) * direction;
    if (beyond > step->Overshoot) {
        step->Overshoot = beyond;
    }

    // The last second of the hold, or all of a shorter hold.
    if (time >= shape.HoldSeconds - 1.0) {
        double error = flow - shape.To;
        step->TailSum += error;
        step->TailSquares += error * error;
        step->TailCount++;
    }
}

StepMetrics StepFinish(const StepAccumulator& step) {
    StepMetrics metrics;
    double settleAt = step.SettleAt;
    if (std::isnan(settleAt) && step.Needed == 0 && step.Run > 0) {
        settleAt = step.RunStart;
    }
    metrics.SettleMs = std::isnan(settleAt) ? NAN : (settleAt > 0.0 ? settleAt : 0.0) * 1000.0;
    metrics.RiseMs = step.RiseMs;
    metrics.OvershootPct = step.Overshoot;
    const int count = step.TailCount;
    metrics.MeanErrorPct = count > 0 ? step.TailSum / count : NAN;
    double variance =
        count > 0 ? step.TailSquares / count - metrics.MeanErrorPct * metrics.MeanErrorPct : NAN;
    metrics.NoisePct = count > 0 ? std::sqrt(variance > 0.0 ? variance : 0.0) : NAN;
    return metrics;
}

StepMetrics AnalyseStep(const StepInput& step) {
    StepAccumulator accumulator;
    StepStart(&accumulator, step);
    for (int i = 0; i < step.Count; ++i) {
        StepAdd(&accumulator, step.Time[i], step.Flow[i]);
    }
    return StepFinish(accumulator);
}

int StepPasses(const StepMetrics& metrics, const StepLimits& limits) {
    if (limits.MaxSettleMs >= 0.0 &&
        (std::isnan(metrics.SettleMs) || metrics.SettleMs > limits.MaxSettleMs)) {
        return 0;
    }
    if (limits.MaxOvershootPct >= 0.0 && metrics.OvershootPct > limits.MaxOvershootPct) {
        return 0;
    }
    if (limits.MaxErrorPct >= 0.0 && (std::isnan(metrics.MeanErrorPct) ||
                                      std::fabs(metrics.MeanErrorPct) > limits.MaxErrorPct)) {
        return 0;
    }
    return 1;
}
