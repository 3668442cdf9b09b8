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
    FormatSetPointCommand(percent, command, sizeof command);
    return Require(command);
}

// Where the samples go as they come: each step's figures, the plot's trace and the CSV. Only
// the figures' running sums and the reduced trace are kept, however long the test.
struct SampleSink {
    const StepPlan* Plan;
    StepReport* Report;
    std::vector<StepAccumulator> Steps; // one per step begun
    double Before;                      // the set point before the first step
    FILE* Csv;                          // null without --csv
};

// A sample belongs to the last step sent before it was made; its figures count it only
// within the step's hold.
static void AddSample(SampleSink* sink, double time, float flow) {
    std::vector<StepRecord>& steps = sink->Report->Steps;
    size_t k = steps.size();
    while (k > 0 && time < steps[k - 1].SendSeconds) {
        --k;
    }
    double setPoint = sink->Before;
    if (k > 0) {
        const StepRecord& step = steps[k - 1];
        setPoint = step.To;
        if (time < step.EndSeconds) {
            StepAdd(&sink->Steps[k - 1], time - step.SendSeconds, flow);
        }
    }
    TraceAdd(&sink->Report->Trace, time, flow);
    if (sink->Csv != nullptr) {
        fprintf(sink->Csv, "%.3f,%.4f,%.4f\n", time, setPoint, flow);
    }
}

// One flush per batch: a reader of the CSV sees whole lines as the test goes.
static int FlushCsv(const SampleSink& sink, const char* fileName) {
    if (sink.Csv != nullptr && (ferror(sink.Csv) || fflush(sink.Csv) != 0)) {
        return Fail(EXIT_OTHER, "cannot write %s", fileName);
    }
    return EXIT_DONE;
}

// Sends each set point and holds it, taking every sample. Returns an exit code; the steps
// begun are in the report.
static int RunSteps(SampleSink* sink, const char* csvName) {
    const StepPlan& plan = *sink->Plan;
    StepReport* report = sink->Report;
    FlowStream stream;
    int code = FlowStreamStart(&stream);
    if (code != EXIT_DONE) {
        return code;
    }
    float flows[MAX_FLOW_READINGS];
    double times[MAX_FLOW_READINGS];
    double previous = sink->Before;
    for (double setPoint : plan.SetPoints) {
        StepRecord step = {};
        step.From = previous;
        step.To = setPoint;
        step.SendSeconds = FlowStreamNow(&stream);
        code = SendSetPointOrFail(setPoint);
        if (code != EXIT_DONE) {
            return code;
        }
        previous = setPoint;
        step.EndSeconds = step.SendSeconds + plan.HoldSeconds;
        report->Steps.push_back(step);
        StepInput shape = {nullptr,          nullptr,         0, step.From, step.To, plan.Band,
                           plan.HoldSeconds, plan.SettleForMs};
        sink->Steps.emplace_back();
        StepStart(&sink->Steps.back(), shape);
        for (double poll = step.SendSeconds;;) {
            poll = std::fmin(poll + FLOW_STREAM_PERIOD_SECONDS, step.EndSeconds);
            SleepUntil(stream.OriginSeconds + poll);
            if (Interrupted()) {
                // The samples so far are in the CSV and go to the plot, up to now.
                report->Steps.back().EndSeconds = FlowStreamNow(&stream);
                return Fail(EXIT_OTHER, "%s", "interrupted");
            }
            int count = FlowStreamRead(&stream, flows, times);
            if (count < 0) {
                return EXIT_TIMED_OUT;
            }
            for (int i = 0; i < count; ++i) {
                AddSample(sink, times[i], flows[i]);
            }
            code = FlushCsv(*sink, csvName);
            if (code != EXIT_DONE) {
                return code;
            }
            if (poll >= step.EndSeconds) {
                break;
            }
        }
    }
    return EXIT_DONE;
}

static void MeasureSteps(const StepPlan& plan, SampleSink* sink) {
    StepReport* report = sink->Report;
    report->Pass = 1;
    for (size_t k = 0; k < report->Steps.size(); ++k) {
        StepRecord& step = report->Steps[k];
        step.Metrics = StepFinish(sink->Steps[k]);
        step.Pass = StepPasses(step.Metrics, plan.Limits);
        report->Pass = report->Pass && step.Pass;
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

static int CloseOutput(FILE* file, int written, const Args& args, int option, int code) {
    if (file == nullptr) {
        return code;
    }
    if ((fclose(file) != 0 || !written) && code != EXIT_OTHER) {
        return Fail(EXIT_OTHER, "cannot write %s", args.Value[option]);
    }
    return code;
}

static int TestBoard(const char* port, SampleSink* sink, const char* csvName) {
    const StepPlan& plan = *sink->Plan;
    StepReport* report = sink->Report;
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
        sink->Before = state.SetPoint;
        code = RunSteps(sink, csvName);
        // However the test ended, the board is left at the list's last set point; after
        // Ctrl-C too, so its reply is still read.
        if (code != EXIT_DONE) {
            SetRestoring(1);
            int restored = SendSetPointOrFail(plan.SetPoints.back());
            SetRestoring(0);
            code = code == EXIT_DONE ? restored : code;
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
    if (args.Present[OPT_CSV] && args.Present[OPT_SVG] &&
        SamePath(args.Value[OPT_CSV], args.Value[OPT_SVG])) {
        return UsageError(def, "--csv and --svg name the same file ", args.Value[OPT_CSV]);
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
    report.Pass = 1;
    TraceStart(&report.Trace, plan.HoldSeconds * (double)plan.SetPoints.size());
    SampleSink sink = {&plan, &report, {}, 0.0, csv};
    const char* csvName = args.Present[OPT_CSV] ? args.Value[OPT_CSV] : "";
    int written = csv == nullptr || fputs("time_s,set_point_pct,flow_pct\n", csv) >= 0;
    code = TestBoard(args.Positional[0], &sink, csvName);
    MeasureSteps(plan, &sink);

    if (code == EXIT_DONE) {
        if (args.Present[OPT_JSON]) {
            printf("%s\n", StepReportJson(report).c_str());
        } else {
            PrintStepTable(stdout, report);
        }
        code = report.Pass ? EXIT_DONE : EXIT_LIMIT_FAILED;
    }
    // The samples of a test that ended early are still worth keeping.
    written = written && csv != nullptr && ferror(csv) == 0;
    code = CloseOutput(csv, written, args, OPT_CSV, code);
    code = CloseOutput(svg, svg != nullptr && WriteStepSvg(svg, report), args, OPT_SVG, code);
    return code;
}
