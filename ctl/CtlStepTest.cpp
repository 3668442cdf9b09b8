// torvanctl step-test: sends each set point of a list, records every flow sample while it is
// held, and measures each step (settle, rise, overshoot, error and noise) against limits.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Utf8File.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlFlowStream.h"
#include "ctl/CtlPlatform.h"
#include "ctl/CtlReport.h"
#include "ctl/CtlStepMath.h"

enum StepOption {
    OPT_STEPS,
    OPT_HOLD,
    OPT_BAND,
    OPT_SETTLE_FOR,
    OPT_MAX_SETTLE,
    OPT_MAX_OVERSHOOT,
    OPT_MAX_ERROR,
    OPT_JSON,
    OPT_CSV,
    OPT_SVG,
};

constexpr int MAX_STEPS = 1000;
// The settle band when none is given, %FS either side of the set point.
constexpr double DEFAULT_BAND = 1.0;

struct StepPlan {
    std::vector<double> SetPoints;
    double HoldSeconds;
    double Band;
    double SettleForMs;
    StepLimits Limits;
};

// "0,25,50": set points in %FS, as the setpoint command takes them.
static int ParseSteps(const char* text, std::vector<double>* out) {
    char item[64];
    const char* p = text;
    for (;;) {
        size_t length = strcspn(p, ",");
        if (length == 0 || length >= sizeof item || out->size() >= (size_t)MAX_STEPS) {
            return 0;
        }
        memcpy(item, p, length);
        item[length] = '\0';
        double value;
        if (!ParseDouble(item, &value) || value < -100.0 || value > 200.0) {
            return 0;
        }
        out->push_back(value);
        if (p[length] == '\0') {
            return 1;
        }
        p += length + 1;
    }
}

// A limit option: absent is -1 (not given); present it must be a number of 0 or more.
static int ParseLimit(const Args& args, int option, double* out) {
    *out = -1.0;
    return !args.Present[option] || (ParseDouble(args.Value[option], out) && *out >= 0.0);
}

static int ParsePlan(const CommandDef& def, const Args& args, StepPlan* plan) {
    if (!args.Present[OPT_STEPS] || !ParseSteps(args.Value[OPT_STEPS], &plan->SetPoints)) {
        return UsageError(def, "--steps needs a list of set points, e.g. 0,50,100", "");
    }
    if (!args.Present[OPT_HOLD] || !ParseDouble(args.Value[OPT_HOLD], &plan->HoldSeconds) ||
        plan->HoldSeconds <= 0.0 || plan->HoldSeconds > 86400.0) {
        return UsageError(def, "--hold needs the seconds each set point is held", "");
    }
    plan->Band = DEFAULT_BAND;
    if (args.Present[OPT_BAND] &&
        (!ParseDouble(args.Value[OPT_BAND], &plan->Band) || plan->Band <= 0.0)) {
        return UsageError(def, "bad --band ", args.Value[OPT_BAND]);
    }
    long settleFor = 0;
    if (args.Present[OPT_SETTLE_FOR] &&
        !ParseLong(args.Value[OPT_SETTLE_FOR], 5, 86400000, &settleFor)) {
        return UsageError(def, "bad --settle-for ", args.Value[OPT_SETTLE_FOR]);
    }
    plan->SettleForMs = (double)settleFor;
    if (!ParseLimit(args, OPT_MAX_SETTLE, &plan->Limits.MaxSettleMs)) {
        return UsageError(def, "bad --max-settle ", args.Value[OPT_MAX_SETTLE]);
    }
    if (!ParseLimit(args, OPT_MAX_OVERSHOOT, &plan->Limits.MaxOvershootPct)) {
        return UsageError(def, "bad --max-overshoot ", args.Value[OPT_MAX_OVERSHOOT]);
    }
    if (!ParseLimit(args, OPT_MAX_ERROR, &plan->Limits.MaxErrorPct)) {
        return UsageError(def, "bad --max-error ", args.Value[OPT_MAX_ERROR]);
    }
    return 0;
}

static int SendSetPointOrFail(double percent) {
    char command[COMMAND_TEXT_SIZE];
    snprintf(command, sizeof command, "V5=%f\r", percent);
    return AskOrFail(command);
}

// Sends each set point and holds it, collecting every sample. Returns an exit code; the steps
// begun are in report->Steps.
static int RunSteps(const StepPlan& plan, double initialSetPoint, StepReport* report) {
    FlowStream stream;
    int code = FlowStreamStart(&stream);
    if (code != EXIT_DONE) {
        return code;
    }
    float flows[MAX_FLOW_READINGS];
    double times[MAX_FLOW_READINGS];
    double previous = initialSetPoint;
    for (double setPoint : plan.SetPoints) {
        StepRecord step = {};
        step.From = previous;
        step.To = setPoint;
        step.SendSeconds = FlowStreamNow(&stream);
        if (!SendSetPointOrFail(setPoint)) {
            return EXIT_TIMED_OUT;
        }
        previous = setPoint;
        step.EndSeconds = step.SendSeconds + plan.HoldSeconds;
        report->Steps.push_back(step);
        for (double poll = step.SendSeconds;;) {
            poll = std::fmin(poll + FLOW_STREAM_PERIOD_SECONDS, step.EndSeconds);
            SleepUntil(stream.OriginSeconds + poll);
            if (Interrupted()) {
                // The samples so far still go to the CSV and the plot, up to now.
                report->Steps.back().EndSeconds = FlowStreamNow(&stream);
                return Fail(EXIT_OTHER, "%s", "interrupted");
            }
            int count = FlowStreamRead(&stream, flows, times);
            if (count < 0) {
                return EXIT_TIMED_OUT;
            }
            report->Time.insert(report->Time.end(), times, times + count);
            report->Flow.insert(report->Flow.end(), flows, flows + count);
            if (poll >= step.EndSeconds) {
                break;
            }
        }
    }
    return EXIT_DONE;
}

// Each step's samples are those made from its set point's sending to the next one's.
static void MeasureSteps(const StepPlan& plan, StepReport* report) {
    std::vector<double> relative;
    size_t first = 0;
    report->Pass = 1;
    if (report->Steps.empty()) {
        report->SetPoint.assign(report->Time.size(), 0.0f);
        return;
    }
    report->SetPoint.assign(report->Time.size(), (float)report->Steps[0].From);
    for (size_t k = 0; k < report->Steps.size(); ++k) {
        StepRecord& step = report->Steps[k];
        while (first < report->Time.size() && report->Time[first] < step.SendSeconds) {
            ++first;
        }
        size_t end = first;
        relative.clear();
        while (end < report->Time.size() && report->Time[end] < step.EndSeconds) {
            relative.push_back(report->Time[end] - step.SendSeconds);
            ++end;
        }
        for (size_t i = first; i < end; ++i) {
            report->SetPoint[i] = (float)step.To;
        }
        StepInput input = {relative.data(),
                           report->Flow.data() + first,
                           (int)relative.size(),
                           step.From,
                           step.To,
                           plan.Band,
                           plan.HoldSeconds,
                           plan.SettleForMs};
        step.Metrics = AnalyseStep(input);
        step.Pass = StepPasses(step.Metrics, plan.Limits);
        report->Pass = report->Pass && step.Pass;
        first = end;
    }
    // Samples after the last hold ended were made under its set point too.
    for (size_t i = first; i < report->Time.size(); ++i) {
        report->SetPoint[i] = (float)report->Steps.back().To;
    }
}

static FILE* CreateOutput(const Args& args, int option) {
    if (!args.Present[option]) {
        return nullptr;
    }
    FILE* file = OpenFileUtf8(args.Value[option], "w");
    if (file == nullptr) {
        Fail(EXIT_OTHER, "cannot create %s", args.Value[option]);
    }
    return file;
}

static int WriteCsv(FILE* file, const StepReport& report) {
    fprintf(file, "time_s,set_point_pct,flow_pct\n");
    for (size_t i = 0; i < report.Time.size(); ++i) {
        fprintf(file, "%.3f,%.4f,%.4f\n", report.Time[i], report.SetPoint[i], report.Flow[i]);
    }
    return ferror(file) == 0;
}

static int CloseOutput(FILE* file, int written, const Args& args, int option, int code) {
    if (file == nullptr) {
        return code;
    }
    if ((fclose(file) != 0 || !written) && code != EXIT_OTHER) {
        return Fail(EXIT_OTHER, "cannot write %s", args.Value[option]);
    }
    return code;
}

static int TestBoard(const char* port, const StepPlan& plan, StepReport* report) {
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    SystemStateRec state = {};
    if (!ReadBoardInfo(&report->Board)) {
        code = EXIT_TIMED_OUT;
    } else if (!report->Board.IsController) {
        code = Fail(EXIT_OTHER, "the board on %s is a meter: it has no set point", port);
    } else if (!GetLegacyBoardStateVals(Board, &state)) {
        ClearSerialPortErrors();
        code = Fail(EXIT_TIMED_OUT, "%s", "no state record from the board for its set point");
    } else {
        code = RunSteps(plan, state.SetPoint, report);
        // However the test ended, the board is left at the list's last set point.
        if (code != EXIT_DONE && !SendSetPointOrFail(plan.SetPoints.back())) {
            code = EXIT_TIMED_OUT;
        }
    }
    CloseBoard();
    return code;
}

int RunStepTest(const CommandDef& def, const Args& args) {
    StepPlan plan;
    int code = ParsePlan(def, args, &plan);
    if (code != 0) {
        return code;
    }
    // Output files are made before the test, so a bad path costs no test time.
    FILE* csv = CreateOutput(args, OPT_CSV);
    FILE* svg = CreateOutput(args, OPT_SVG);
    if ((args.Present[OPT_CSV] && csv == nullptr) || (args.Present[OPT_SVG] && svg == nullptr)) {
        CloseOutput(csv, 1, args, OPT_CSV, EXIT_OTHER);
        CloseOutput(svg, 1, args, OPT_SVG, EXIT_OTHER);
        return EXIT_OTHER;
    }

    StepReport report;
    report.Port = args.Positional[0];
    report.Band = plan.Band;
    report.Limits = plan.Limits;
    code = TestBoard(args.Positional[0], plan, &report);
    MeasureSteps(plan, &report);

    if (code == EXIT_DONE) {
        if (args.Present[OPT_JSON]) {
            printf("%s\n", StepReportJson(report).c_str());
        } else {
            PrintStepTable(stdout, report);
        }
        code = report.Pass ? EXIT_DONE : EXIT_LIMIT_FAILED;
    }
    // The samples of a test that ended early are still worth keeping.
    code = CloseOutput(csv, csv != nullptr && WriteCsv(csv, report), args, OPT_CSV, code);
    code = CloseOutput(svg, svg != nullptr && WriteStepSvg(svg, report), args, OPT_SVG, code);
    return code;
}
