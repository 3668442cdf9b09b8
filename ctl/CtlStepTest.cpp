// torvanctl step-test: sends each set point of a list, records every flow sample while it is
// held, and measures each step (settle, rise, overshoot, error and noise) against limits.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/Utf8File.h"
#include "ctl/CtlBench.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlFlowStream.h"
#include "ctl/CtlPlatform.h"
#include "ctl/CtlReport.h"
#include "ctl/CtlResults.h"
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
    OPT_OUT_DIR,
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
    ResultsAddSample(time, flow, setPoint);
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
static int RunSteps(SampleSink* sink, const char* csvName, double origin = -1.0) {
    const StepPlan& plan = *sink->Plan;
    StepReport* report = sink->Report;
    FlowStream stream;
    int code = FlowStreamStart(&stream, origin);
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

static int StepTestBench(const CommandDef& def, const Args& args, const StepPlan& plan);

int RunStepTest(const CommandDef& def, const Args& args) {
    StepPlan plan;
    int code = ParsePlan(def, args, &plan);
    if (code != 0) {
        return code;
    }
    if (args.PositionalCount > 1 || args.Present[OPT_OUT_DIR]) {
        return StepTestBench(def, args, plan);
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
    ResultsStepBoard(0, report, code, LastFailure);
    return code;
}

// ---------------------------------------------------------------------------------------
// Several boards: the same plan on every board at once, each on its own thread, the steps
// started together; each board's JSON, CSV and SVG in --out-dir, and a summary of all.

namespace {
struct StepBoard {
    const Args* Arguments;
    int Index;
    const StepPlan* Plan;
    BenchStart* Start;
    int Connected; // the board was found: its test ran, or broke off
    int Code;      // EXIT_DONE, EXIT_LIMIT_FAILED for any failed test, else why it was not run
    std::string Why;
    StepReport Report;
};

const char* BenchFolder(const Args& args) {
    return args.Present[OPT_OUT_DIR] ? args.Value[OPT_OUT_DIR] : nullptr;
}

// Connects and reads what the test starts from; EXIT_DONE, or why the test cannot run.
int PrepareStepBoard(StepBoard* board, SampleSink* sink) {
    const char* port = board->Arguments->Positional[board->Index];
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    board->Connected = 1;
    SystemStateRec state = {};
    if (!ReadBoardInfo(&board->Report.Board)) {
        return EXIT_TIMED_OUT;
    }
    if (!board->Report.Board.IsController) {
        return Fail(EXIT_OTHER, "the board on %s is a meter: it has no set point", port);
    }
    if (!GetLegacyBoardStateVals(Board, &state)) {
        ClearSerialPortErrors();
        return Fail(EXIT_TIMED_OUT, "%s", "no state record from the board for its set point");
    }
    sink->Before = state.SetPoint;
    return EXIT_DONE;
}

std::string StepBoardFile(const StepBoard& board, const char* extension) {
    return BenchFilePath(BenchFolder(*board.Arguments),
                         BoardFileBase(*board.Arguments, board.Index, board.Report.Board.Name),
                         extension);
}

// The board's JSON and SVG in the folder; EXIT_DONE or EXIT_OTHER (reported).
int WriteStepBoardFiles(const StepBoard& board) {
    std::string json = StepBoardFile(board, "json"), svg = StepBoardFile(board, "svg");
    int code = EXIT_DONE;
    FILE* file = OpenFileUtf8(json.c_str(), "w");
    if (file == nullptr || fprintf(file, "%s\n", StepReportJson(board.Report).c_str()) < 0 ||
        fclose(file) != 0) {
        code = Fail(EXIT_OTHER, "cannot write %s", json.c_str());
    }
    if (board.Report.Steps.empty()) {
        return code;
    }
    file = OpenFileUtf8(svg.c_str(), "w");
    if (file == nullptr) {
        return Fail(EXIT_OTHER, "cannot create %s", svg.c_str());
    }
    int whole = WriteStepSvg(file, board.Report);
    if (fclose(file) != 0 || !whole) {
        code = Fail(EXIT_OTHER, "cannot write %s", svg.c_str());
    }
    return code;
}

void StepOneBoard(void* arg) {
    StepBoard* board = static_cast<StepBoard*>(arg);
    const StepPlan& plan = *board->Plan;
    const char* port = board->Arguments->Positional[board->Index];
    BeginBenchBoard(port);
    LastFailure[0] = '\0';
    StepReport* report = &board->Report;
    report->Port = port;
    report->Band = plan.Band;
    report->Limits = plan.Limits;
    report->Pass = 1;
    TraceStart(&report->Trace, plan.HoldSeconds * (double)plan.SetPoints.size());
    SampleSink sink = {&plan, report, {}, 0.0, nullptr};
    std::string csvName;
    int code = PrepareStepBoard(board, &sink);
    if (code == EXIT_DONE && BenchFolder(*board->Arguments) != nullptr) {
        csvName = StepBoardFile(*board, "csv");
        sink.Csv = OpenFileUtf8(csvName.c_str(), "w");
        if (sink.Csv == nullptr || fputs("time_s,set_point_pct,flow_pct\n", sink.Csv) < 0) {
            code = Fail(EXIT_OTHER, "cannot create %s", csvName.c_str());
        }
    }
    if (code != EXIT_DONE) {
        ArriveAtBenchStart(board->Start);
    } else {
        double origin = WaitForBenchStart(board->Start);
        code = origin < 0.0 ? Fail(EXIT_OTHER, "%s", "interrupted")
                            : RunSteps(&sink, csvName.c_str(), origin);
        // As on one board: left at the list's last set point however the test ended.
        if (code != EXIT_DONE) {
            SetRestoring(1);
            SendSetPointOrFail(plan.SetPoints.back());
            SetRestoring(0);
        }
    }
    CloseBoard();
    MeasureSteps(plan, &sink);
    if (sink.Csv != nullptr && (fclose(sink.Csv) != 0) && code == EXIT_DONE) {
        code = Fail(EXIT_OTHER, "cannot write %s", csvName.c_str());
    }
    board->Why = LastFailure;
    // A board that was found and did not pass (a limit, a step that broke off, a meter) failed
    // its test; one that was not found (or Ctrl-C) keeps its own exit code.
    if (code == EXIT_DONE) {
        code = report->Pass ? EXIT_DONE : EXIT_LIMIT_FAILED;
        board->Why = report->Pass ? "" : "outside a limit";
    } else if (board->Connected && !Interrupted()) {
        report->Pass = 0;
        code = EXIT_LIMIT_FAILED;
    }
    if (board->Connected && BenchFolder(*board->Arguments) != nullptr &&
        WriteStepBoardFiles(*board) != EXIT_DONE && code == EXIT_DONE) {
        code = EXIT_OTHER;
        board->Why = LastFailure;
    }
    board->Code = code;
    ResultsStepBoard(board->Index, *report, code, board->Why.c_str());
}

// The worst figure over the steps: the largest, NaN (never settled) counting as the worst.
double Worst(const StepReport& report, double StepMetrics::*figure, int absolute) {
    double worst = 0.0;
    for (const StepRecord& step : report.Steps) {
        double value = step.Metrics.*figure;
        if (std::isnan(value)) {
            return value;
        }
        worst = std::fmax(worst, absolute ? std::fabs(value) : value);
    }
    return worst;
}

void PrintFigure(double value, int tested, int width, int decimals) {
    if (!tested) {
        printf("%*s", width, "-");
    } else if (std::isnan(value)) {
        printf("%*s", width, "never");
    } else {
        printf("%*.*f", width, decimals, value);
    }
}

const char* BoardLabelText(const StepBoard& board) {
    if (!board.Connected) {
        return "-";
    }
    if (board.Report.Board.Name[0] != '\0') {
        return board.Report.Board.Name;
    }
    return board.Report.Board.IsController ? "unnamed controller" : "meter";
}

void PrintStepSummary(const std::vector<StepBoard>& boards) {
    printf("%-24s %-24s %10s %10s %10s  result\n", "port", "board", "settle ms", "overshoot",
           "error");
    std::string failed, missing;
    for (const StepBoard& board : boards) {
        const char* port = board.Arguments->Positional[board.Index];
        int tested = board.Connected && !board.Report.Steps.empty();
        printf("%-24s %-24.24s", port, BoardLabelText(board));
        PrintFigure(Worst(board.Report, &StepMetrics::SettleMs, 0), tested, 11, 1);
        PrintFigure(Worst(board.Report, &StepMetrics::OvershootPct, 0), tested, 11, 4);
        PrintFigure(Worst(board.Report, &StepMetrics::MeanErrorPct, 1), tested, 11, 4);
        if (board.Code == EXIT_DONE) {
            printf("  PASS\n");
        } else {
            printf("  %s: %s\n", board.Code == EXIT_LIMIT_FAILED ? "FAIL" : "NOT TESTED",
                   board.Why.c_str());
        }
        std::string* list = board.Code == EXIT_LIMIT_FAILED ? &failed
                            : board.Code != EXIT_DONE       ? &missing
                                                            : nullptr;
        if (list != nullptr) {
            *list += (list->empty() ? "" : ", ") + std::string(port);
        }
    }
    if (failed.empty() && missing.empty()) {
        printf("PASS: %zu boards within every limit given\n", boards.size());
        return;
    }
    printf("FAIL:");
    if (!failed.empty()) {
        printf(" failed: %s", failed.c_str());
    }
    if (!missing.empty()) {
        printf("%s not tested: %s", failed.empty() ? "" : ";", missing.c_str());
    }
    printf("\n");
}

std::string StepBenchJson(const std::vector<StepBoard>& boards, int pass) {
    using Json = nlohmann::ordered_json;
    Json all = {{"pass", pass != 0}, {"boards", Json::array()}};
    for (const StepBoard& board : boards) {
        Json entry = {{"port", board.Arguments->Positional[board.Index]}};
        if (board.Connected) {
            Json one = Json::parse(StepReportJson(board.Report), nullptr, false);
            for (auto item = one.begin(); item != one.end(); ++item) {
                entry[item.key()] = item.value();
            }
        } else {
            entry["pass"] = false;
        }
        if (board.Code != EXIT_DONE) {
            entry["error"] = board.Why;
            entry["exit_code"] = board.Code;
        }
        all["boards"].push_back(entry);
    }
    return all.dump(-1, ' ', false, Json::error_handler_t::replace);
}
} // namespace

static int StepTestBench(const CommandDef& def, const Args& args, const StepPlan& plan) {
    int code = CheckDistinctPorts(def, args);
    if (code != 0) {
        return code;
    }
    if (args.Present[OPT_CSV] || args.Present[OPT_SVG]) {
        return UsageError(def, "with several ports or --out-dir each board's CSV and SVG go to ",
                          "--out-dir");
    }
    if (BenchFolder(args) != nullptr && !MakeOutputFolder(BenchFolder(args))) {
        return Fail(EXIT_OTHER, "cannot make the folder %s", BenchFolder(args));
    }
    BenchStart start;
    std::vector<StepBoard> boards((size_t)args.PositionalCount);
    std::vector<void*> pointers;
    for (int i = 0; i < args.PositionalCount; ++i) {
        StepBoard& board = boards[(size_t)i];
        board.Arguments = &args;
        board.Index = i;
        board.Plan = &plan;
        board.Start = &start;
        board.Connected = 0;
        board.Code = EXIT_DONE;
        board.Report.Board = BoardInfo{};
        pointers.push_back(&board);
    }
    RunOnEveryBoard(pointers, StepOneBoard, &start, nullptr, nullptr);
    std::vector<int> codes;
    for (const StepBoard& board : boards) {
        codes.push_back(board.Code);
    }
    code = BenchExitCode(codes);
    if (args.Present[OPT_JSON]) {
        printf("%s\n", StepBenchJson(boards, code == EXIT_DONE).c_str());
    } else {
        PrintStepSummary(boards);
    }
    return code;
}
