#include "ctl/CtlStepMath.h"

#include <cmath>

#include "ctl/CtlSampleClock.h"

// The settle run must last until the hold ends, or SettleForMs worth of samples.
static double SettleMs(const StepInput& step) {
    const double low = step.To - step.Band, high = step.To + step.Band;
    int needed = 0;
    if (step.SettleForMs > 0.0) {
        needed = (int)std::ceil(step.SettleForMs / (BOARD_SAMPLE_SECONDS * 1000.0) - 1e-9);
        needed = needed > 0 ? needed : 1;
    }
    int run = 0, runStart = 0;
    for (int i = 0; i < step.Count; ++i) {
        if (step.Flow[i] >= low && step.Flow[i] <= high) {
            if (run == 0) {
                runStart = i;
            }
            ++run;
            if (needed > 0 && run >= needed) {
                break;
            }
        } else {
            run = 0;
        }
    }
    if (run == 0 || (needed > 0 && run < needed)) {
        return NAN;
    }
    double at = step.Time[runStart];
    return (at > 0.0 ? at : 0.0) * 1000.0;
}

static double RiseMs(const StepInput& step) {
    const double size = step.To - step.From;
    if (size == 0.0) {
        return NAN;
    }
    const double direction = size > 0.0 ? 1.0 : -1.0;
    const double level10 = step.From + 0.1 * size, level90 = step.From + 0.9 * size;
    int at10 = -1;
    for (int i = 0; i < step.Count; ++i) {
        if (at10 < 0 && (step.Flow[i] - level10) * direction >= 0.0) {
            at10 = i;
        }
        if (at10 >= 0 && (step.Flow[i] - level90) * direction >= 0.0) {
            return (step.Time[i] - step.Time[at10]) * 1000.0;
        }
    }
    return NAN;
}

StepMetrics AnalyseStep(const StepInput& step) {
    StepMetrics metrics;
    metrics.SettleMs = SettleMs(step);
    metrics.RiseMs = RiseMs(step);

    // A step of 0 has no direction to overshoot in.
    const double direction = step.To > step.From ? 1.0 : step.To < step.From ? -1.0 : 0.0;
    metrics.OvershootPct = 0.0;
    for (int i = 0; i < step.Count; ++i) {
        double beyond = (step.Flow[i] - step.To) * direction;
        if (beyond > metrics.OvershootPct) {
            metrics.OvershootPct = beyond;
        }
    }

    // The last second of the hold, or all of a shorter hold.
    const double tailFrom = step.HoldSeconds - 1.0;
    double sum = 0.0, sumSquares = 0.0;
    int count = 0;
    for (int i = 0; i < step.Count; ++i) {
        if (step.Time[i] >= tailFrom) {
            double error = step.Flow[i] - step.To;
            sum += error;
            sumSquares += error * error;
            ++count;
        }
    }
    metrics.MeanErrorPct = count > 0 ? sum / count : NAN;
    double variance =
        count > 0 ? sumSquares / count - metrics.MeanErrorPct * metrics.MeanErrorPct : NAN;
    metrics.NoisePct = count > 0 ? std::sqrt(variance > 0.0 ? variance : 0.0) : NAN;
    return metrics;
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
