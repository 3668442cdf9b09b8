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
#include "ctl/CtlArgs.h"
#include "ctl/CtlBench.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlFlowStream.h"
#include "ctl/CtlPlatform.h"
#include "ctl/CtlReport.h"
#include "ctl/CtlResults.h"
#include "ctl/CtlStepMath.h"
#include "ctl/CtlStepBench.h"
#include "ctl/CtlStepTest.h"

constexpr int MAX_STEPS = 1000;
// The settle band when none is given, %FS either side of the set point.
constexpr double DEFAULT_BAND = 1.0;

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

namespace {
struct StepTestOptions {
    std::vector<std::string> Ports;
    std::string Steps;
    double HoldS = 0.0;
    double Band = DEFAULT_BAND;
    long SettleForMs = 0;
    // Limits not given stay negative.
    double MaxSettleMs = -1.0, MaxOvershootPct = -1.0, MaxErrorPct = -1.0;
    bool Json = false;
    std::string Csv, Svg, OutDir;
};
StepTestOptions Options;
} // namespace

static int ParsePlan(StepPlan* plan) {
    if (!ParseSteps(Options.Steps.c_str(), &plan->SetPoints)) {
        return UsageError("--steps needs a list of set points, e.g. 0,50,100, not ",
                          Options.Steps.c_str());
    }
    plan->HoldSeconds = Options.HoldS;
    plan->Band = Options.Band;
    plan->SettleForMs = (double)Options.SettleForMs;
    plan->Limits.MaxSettleMs = Options.MaxSettleMs;
    plan->Limits.MaxOvershootPct = Options.MaxOvershootPct;
    plan->Limits.MaxErrorPct = Options.MaxErrorPct;
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
    int Started;                        // the first set point was sent
    int WriteFailed;                    // the CSV could not be written
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
static int FlushCsv(SampleSink* sink, const char* fileName) {
    if (sink->Csv != nullptr && (ferror(sink->Csv) || fflush(sink->Csv) != 0)) {
        sink->WriteFailed = 1;
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
        sink->Started = 1;
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
                return StoppedOrTimedOut();
            }
            for (int i = 0; i < count; ++i) {
                AddSample(sink, times[i], flows[i]);
            }
            code = FlushCsv(sink, csvName);
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

// What became of the test once it ended with code: run to its end, it passed or failed its
// limits; broken off from outside it is ABORTED; one that never began (no board, a meter, no
// state record) or could not be recorded is an ERROR; one the board broke off (no reply to a
// set point, no flow samples) has FAILED. Returns the board's exit code.
static int DecideOutcome(StepReport* report, const SampleSink& sink, int code) {
    if (code == EXIT_DONE) {
        report->Outcome = report->Pass ? OUTCOME_PASS : OUTCOME_FAIL;
        report->Reason = report->Pass ? "" : "outside a limit";
        return report->Pass ? EXIT_DONE : EXIT_LIMIT_FAILED;
    }
    report->Reason = LastFailure;
    if (StopWanted()) {
        report->Outcome = OUTCOME_ABORTED;
        report->Reason = "interrupted";
        return EXIT_OTHER;
    }
    report->Outcome = sink.Started && !sink.WriteFailed ? OUTCOME_FAIL : OUTCOME_ERROR;
    return code;
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

static FILE* CreateOutput(const std::string& name) {
    if (name.empty()) {
        return nullptr;
    }
    FILE* file = OpenFileUtf8(name.c_str(), "w");
    if (file == nullptr) {
        Fail(EXIT_OTHER, "cannot create %s", name.c_str());
    }
    return file;
}

static int CloseOutput(FILE* file, int written, const std::string& name, int code) {
    if (file == nullptr) {
        return code;
    }
    if ((fclose(file) != 0 || !written) && code != EXIT_OTHER) {
        return Fail(EXIT_OTHER, "cannot write %s", name.c_str());
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
        code = StoppedOrTimedOut();
    } else if (!report->Board.IsController) {
        code = Fail(EXIT_OTHER, "%s is a meter: it has no set point", port);
    } else if (!GetLegacyBoardStateVals(Board, &state)) {
        ClearSerialPortErrors();
        code = Fail(EXIT_TIMED_OUT, "%s", "no state record from the board for its set point");
    } else {
        sink->Before = state.SetPoint;
        code = RunSteps(sink, csvName);
        // However the test ended, the board is left at the list's last set point; after
        // Ctrl-C too, so its reply is still read.
        if (code != EXIT_DONE) {
            BeginRestoring();
            int restored = SendSetPointOrFail(plan.SetPoints.back());
            SetRestoring(0);
            code = code == EXIT_DONE ? restored : code;
        }
    }
    CloseBoard();
    return code;
}

static int StepTestBench(const StepPlan& plan);

static std::vector<StepReport> Reports;

const std::vector<StepReport>& StepTestReports() {
    return Reports;
}

static int RunStepTest() {
    StepPlan plan;
    int code = ParsePlan(&plan);
    if (code != 0) {
        return code;
    }
    if (Options.Ports.size() > 1 || !Options.OutDir.empty()) {
        return StepTestBench(plan);
    }
    if (!Options.Csv.empty() && !Options.Svg.empty() &&
        SamePath(Options.Csv.c_str(), Options.Svg.c_str())) {
        return UsageError("--csv and --svg name the same file ", Options.Csv.c_str());
    }
    // Output files are made before the test, so a bad path costs no test time.
    FILE* csv = CreateOutput(Options.Csv);
    FILE* svg = CreateOutput(Options.Svg);
    if ((!Options.Csv.empty() && csv == nullptr) || (!Options.Svg.empty() && svg == nullptr)) {
        CloseOutput(csv, 1, Options.Csv, EXIT_OTHER);
        CloseOutput(svg, 1, Options.Svg, EXIT_OTHER);
        return EXIT_OTHER;
    }

    StepReport report;
    report.Port = Options.Ports[0].c_str();
    report.Band = plan.Band;
    report.Limits = plan.Limits;
    report.Pass = 1;
    report.Outcome = OUTCOME_ERROR;
    TraceStart(&report.Trace, plan.HoldSeconds * (double)plan.SetPoints.size());
    SampleSink sink = {&plan, &report, {}, 0.0, csv, 0, 0};
    const char* csvName = Options.Csv.c_str();
    int written = csv == nullptr || fputs("time_s,set_point_pct,flow_pct\n", csv) >= 0;
    code = TestBoard(report.Port, &sink, csvName);
    MeasureSteps(plan, &sink);
    // The samples of a test that ended early are still worth keeping.
    written = written && csv != nullptr && ferror(csv) == 0;
    if (csv != nullptr && CloseOutput(csv, written, Options.Csv, EXIT_DONE) != EXIT_DONE) {
        sink.WriteFailed = 1;
        code = code == EXIT_DONE ? EXIT_OTHER : code;
    }
    const int finished = code == EXIT_DONE;
    code = DecideOutcome(&report, sink, code);
    // The plot says what became of the test, so it is written once that is known.
    if (svg != nullptr &&
        CloseOutput(svg, WriteStepSvg(svg, report), Options.Svg, EXIT_DONE) != EXIT_DONE) {
        report.Outcome = WorstOutcome(report.Outcome, OUTCOME_ERROR);
        report.Reason = LastFailure;
        code = code == EXIT_DONE || code == EXIT_LIMIT_FAILED ? EXIT_OTHER : code;
    }
    if (finished) {
        if (Options.Json) {
            printf("%s\n", StepReportJson(report).c_str());
        } else {
            PrintStepTable(stdout, report);
        }
    }
    Reports.assign(1, report);
    ResultsStepBoard(0, report);
    return code;
}

// ---------------------------------------------------------------------------------------
// Several boards: the same plan on every board at once, each on its own thread, the steps
// started together; each board's JSON, CSV and SVG in --out-dir, and a summary of all.

namespace {

const char* BenchFolder() {
    return Options.OutDir.empty() ? nullptr : Options.OutDir.c_str();
}

// Connects and reads what the test starts from; EXIT_DONE, or why the test cannot run.
int PrepareStepBoard(StepBoard* board, SampleSink* sink) {
    const char* port = (*board->Ports)[(size_t)board->Index].c_str();
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    board->Connected = 1;
    SystemStateRec state = {};
    if (!ReadBoardInfo(&board->Report.Board)) {
        return StoppedOrTimedOut();
    }
    if (!board->Report.Board.IsController) {
        return Fail(EXIT_OTHER, "%s is a meter: it has no set point", port);
    }
    if (!GetLegacyBoardStateVals(Board, &state)) {
        ClearSerialPortErrors();
        return Fail(EXIT_TIMED_OUT, "%s", "no state record from the board for its set point");
    }
    sink->Before = state.SetPoint;
    return EXIT_DONE;
}

std::string StepBoardFile(const StepBoard& board, const char* extension) {
    return BenchFilePath(BenchFolder(),
                         BoardFileBase(*board.Ports, board.Index, board.Report.Board.Name),
                         extension);
}

// A file that cannot be written makes the board's test an ERROR (unless it was ABORTED).
void FileFailed(StepBoard* board) {
    board->Report.Outcome = WorstOutcome(board->Report.Outcome, OUTCOME_ERROR);
    if (board->Report.Outcome == OUTCOME_ERROR) {
        board->Report.Reason = LastFailure;
    }
}

// The board's SVG, then its JSON (which says whether the SVG was written) in the folder.
void WriteStepBoardFiles(StepBoard* board) {
    std::string json = StepBoardFile(*board, "json"), svg = StepBoardFile(*board, "svg");
    if (!board->Report.Steps.empty()) {
        FILE* file = OpenFileUtf8(svg.c_str(), "w");
        if (file == nullptr) {
            Fail(EXIT_OTHER, "cannot create %s", svg.c_str());
            FileFailed(board);
        } else {
            int whole = WriteStepSvg(file, board->Report);
            if (fclose(file) != 0 || !whole) {
                Fail(EXIT_OTHER, "cannot write %s", svg.c_str());
                FileFailed(board);
            }
        }
    }
    FILE* file = OpenFileUtf8(json.c_str(), "w");
    int whole = file != nullptr && fprintf(file, "%s\n", StepReportJson(board->Report).c_str()) > 0;
    if (file == nullptr || fclose(file) != 0 || !whole) {
        Fail(EXIT_OTHER, "cannot write %s", json.c_str());
        FileFailed(board);
    }
}

void StepOneBoard(void* arg) {
    StepBoard* board = static_cast<StepBoard*>(arg);
    const StepPlan& plan = *board->Plan;
    const char* port = (*board->Ports)[(size_t)board->Index].c_str();
    BeginBenchBoard(port);
    LastFailure[0] = '\0';
    StepReport* report = &board->Report;
    report->Port = port;
    report->Band = plan.Band;
    report->Limits = plan.Limits;
    report->Pass = 1;
    report->Outcome = OUTCOME_ERROR;
    TraceStart(&report->Trace, plan.HoldSeconds * (double)plan.SetPoints.size());
    SampleSink sink = {&plan, report, {}, 0.0, nullptr, 0, 0};
    std::string csvName;
    int code = PrepareStepBoard(board, &sink);
    if (code == EXIT_DONE && BenchFolder() != nullptr) {
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
            BeginRestoring();
            SendSetPointOrFail(plan.SetPoints.back());
            SetRestoring(0);
        }
    }
    CloseBoard();
    MeasureSteps(plan, &sink);
    if (sink.Csv != nullptr && fclose(sink.Csv) != 0 && !sink.WriteFailed) {
        Fail(EXIT_OTHER, "cannot write %s", csvName.c_str());
        sink.WriteFailed = 1;
        code = code == EXIT_DONE ? EXIT_OTHER : code;
    }
    code = DecideOutcome(report, sink, code);
    if (board->Connected && BenchFolder() != nullptr) {
        WriteStepBoardFiles(board);
    }
    // A board that broke its test off failed it (5); one whose test could not be carried out
    // or recorded keeps the exit code of why, a file that could not be written 1.
    switch (report->Outcome) {
    case OUTCOME_PASS:
        board->Code = EXIT_DONE;
        break;
    case OUTCOME_FAIL:
        board->Code = EXIT_LIMIT_FAILED;
        break;
    case OUTCOME_ABORTED:
        board->Code = EXIT_OTHER;
        break;
    default:
        board->Code = code == EXIT_DONE || code == EXIT_LIMIT_FAILED ? EXIT_OTHER : code;
    }
    board->Why = report->Reason;
    ResultsStepBoard(board->Index, *report);
}

} // namespace

static int StepTestBench(const StepPlan& plan) {
    const std::vector<std::string>& ports = Options.Ports;
    int code = CheckDistinctPorts(ports);
    if (code != 0) {
        return code;
    }
    if (!Options.Csv.empty() || !Options.Svg.empty()) {
        return UsageError("with several ports or --out-dir each board's CSV and SVG go to ",
                          "--out-dir");
    }
    if (BenchFolder() != nullptr && !MakeOutputFolder(BenchFolder())) {
        return Fail(EXIT_OTHER, "cannot make the folder %s", BenchFolder());
    }
    BenchStart start;
    std::vector<StepBoard> boards(ports.size());
    std::vector<void*> pointers;
    for (int i = 0; i < (int)ports.size(); ++i) {
        StepBoard& board = boards[(size_t)i];
        board.Ports = &ports;
        board.Index = i;
        board.Plan = &plan;
        board.Start = &start;
        board.Connected = 0;
        board.Code = EXIT_DONE;
        board.Report.Board = BoardInfo{};
        board.Report.Outcome = OUTCOME_ERROR;
        pointers.push_back(&board);
    }
    RunOnEveryBoard(pointers, StepOneBoard, &start, nullptr, nullptr);
    std::vector<int> codes;
    Reports.clear();
    for (const StepBoard& board : boards) {
        codes.push_back(board.Code);
        Reports.push_back(board.Report);
    }
    code = BenchExitCode(codes);
    if (Options.Json) {
        printf("%s\n", StepBenchJson(boards).c_str());
    } else {
        PrintStepSummary(boards);
    }
    return code;
}

void DefineStepTestCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "step-test",
        "Sends each set point of LIST (%FS, e.g. 0,25,50,75,100,0), holds it S seconds while\n"
        "recording every flow sample, and measures each step from the previous set point:\n"
        "  settle_ms       sending to the first sample after which the flow stays within\n"
        "                  +/- B %FS (default 1) of the set point for the rest of the hold\n"
        "                  (or for MS with --settle-for); none when it never settles\n"
        "  rise_ms         10 % to 90 % of the step; none for a step of 0\n"
        "  overshoot_pct   largest excursion beyond the set point in the step's direction\n"
        "  mean_error_pct, noise_pct   mean and standard deviation of flow - set point over\n"
        "                  the last second of the hold\n"
        "Prints a table and a PASS/FAIL line, or one JSON object with --json. --csv writes\n"
        "every sample (time, set point, flow) as it comes, --svg a plot of set point and flow\n"
        "against time with the bands and settle times (two different files). Limits:\n"
        "--max-settle (a step that never settles fails it), --max-overshoot, --max-error\n"
        "(|mean error|). Exit code 5 when a limit fails. The board is left at the last set\n"
        "point of LIST.\n"
        "Several ports (a bench of boards): the plan runs on every board at once, the steps\n"
        "sent together. With --out-dir each board gets its JSON, CSV and SVG there (named\n"
        "after its port and name); --csv and --svg are for one board. Prints a summary (port,\n"
        "board, worst settle, worst overshoot, worst |mean error|, outcome), or with --json\n"
        "{\"outcome\": ..., \"pass\": ..., \"boards\": [each board's report with its \"port\"]}.\n"
        "Outcomes: PASS; FAIL (a limit failed, or the board broke the test off: no reply to a\n"
        "set point; exit code 5); ERROR (not carried out or not recorded: a board missing or\n"
        "the port in use (3), a meter (1), a file that cannot be written (1)); ABORTED\n"
        "(Ctrl-C, SIGTERM, SIGHUP; 1). A board that is missing or fails does not stop the\n"
        "others; the run's exit code is the first board's that is not 0 or 5, else 5 when a\n"
        "board failed.",
        RunStepTest);
    AddPorts(command, &Options.Ports, MAX_PORTS);
    AddText(command, "--steps", &Options.Steps, "LIST", "the set points, %FS, e.g. 0,50,100")
        ->required();
    AddPositive(command, "--hold", &Options.HoldS, "S", "seconds each set point is held", 86400.0)
        ->required();
    AddPositive(command, "--band", &Options.Band, "B", "the settle band, +/- %FS (default 1)");
    AddWhole(command, "--settle-for", &Options.SettleForMs, 5, 86400000, "MS",
             "settled once inside the band for MS (default: the rest of the hold)");
    AddNumber(command, "--max-settle", &Options.MaxSettleMs, 0.0, 1e12, "MS",
              "the longest settle time a step may take");
    AddNumber(command, "--max-overshoot", &Options.MaxOvershootPct, 0.0, 1e6, "PCT",
              "the largest overshoot a step may have, %FS");
    AddNumber(command, "--max-error", &Options.MaxErrorPct, 0.0, 1e6, "PCT",
              "the largest |mean error| a step may have, %FS");
    AddFlag(command, "--json", &Options.Json, "one JSON object instead of the table");
    CLI::Option* csv =
        AddText(command, "--csv", &Options.Csv, "FILE", "every sample of one board as CSV");
    CLI::Option* svg = AddText(command, "--svg", &Options.Svg, "FILE", "a plot of one board");
    AddText(command, "--out-dir", &Options.OutDir, "DIR",
            "a folder for each board's JSON, CSV and SVG (made if missing)")
        ->excludes(csv)
        ->excludes(svg);
    AddResultsOptions(command);
}
