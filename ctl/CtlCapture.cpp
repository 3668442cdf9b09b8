// torvanctl capture: every flow sample the board makes, as CSV, for as long as asked.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/Utf8File.h"
#include "ctl/CtlArgs.h"
#include "ctl/CtlBench.h"
#include "ctl/CtlCapture.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlFlowStream.h"
#include "ctl/CtlPlatform.h"
#include "ctl/CtlResults.h"
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

int FlowStreamStart(FlowStream* stream, double originSeconds) {
    NewFlowReadingsRec readings;
    SampleClockStart(&stream->Clock);
    stream->FailedInRow = 0;
    if (!ReadBatch(&readings)) {
        return Fail(EXIT_TIMED_OUT, "%s", "no flow samples from the board (~GAFV)");
    }
    stream->OriginSeconds = originSeconds >= 0.0 ? originSeconds : DeviceNowSeconds();
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

// Writes every sample until durationS (from the origin; <= 0: until Ctrl-C); origin as
// FlowStreamStart. *written counts the rows.
static int CaptureSamples(FILE* file, const char* fileName, double durationS, int withSetPoint,
                          float setPoint, double origin, long* written) {
    FlowStream stream;
    int code = FlowStreamStart(&stream, origin);
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
        // Ctrl-C is how a capture without a duration ends; one with a duration was cut short.
        if (Interrupted()) {
            return durationS <= 0.0 ? EXIT_DONE : Fail(EXIT_OTHER, "%s", "interrupted");
        }
        int count = FlowStreamRead(&stream, flows, times);
        if (count < 0) {
            return EXIT_TIMED_OUT;
        }
        *written += count;
        for (int i = 0; i < count; ++i) {
            ResultsAddSample(times[i], flows[i], withSetPoint ? setPoint : NAN);
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

namespace {
struct CaptureOptions {
    std::vector<std::string> Ports;
    double DurationS = -1.0;
    std::string Out, OutDir;
    bool SetPoint = false;
};
CaptureOptions Options;
} // namespace

static int CaptureBench(double durationS);

static std::vector<CaptureResult> Results;

const std::vector<CaptureResult>& CaptureResults() {
    return Results;
}

// PASS: captured for as long as asked (or until Ctrl-C without a duration); ABORTED: a capture
// with a duration cut short; ERROR: no board, a board that stopped, a file not written.
static TestOutcome CaptureOutcome(int code, double durationS) {
    if (code == EXIT_DONE) {
        return OUTCOME_PASS;
    }
    return Interrupted() && durationS > 0.0 ? OUTCOME_ABORTED : OUTCOME_ERROR;
}

static int CaptureOneBoardHere(const char* fileName, CaptureResult* result);

static int RunCapture() {
    Results.clear();
    if (Options.Ports.size() > 1 || !Options.OutDir.empty()) {
        return CaptureBench(Options.DurationS);
    }
    const char* fileName = Options.Out.empty() ? "standard output" : Options.Out.c_str();
    CaptureResult result = {Options.Ports[0], fileName, 0, OUTCOME_ERROR, ""};
    int code = CaptureOneBoardHere(fileName, &result);
    result.Outcome = CaptureOutcome(code, Options.DurationS);
    result.Reason = code == EXIT_DONE ? "" : LastFailure;
    Results.push_back(result);
    ResultsCaptureBoard(0, result.Outcome, result.Reason.c_str(), fileName, result.Samples);
    return code;
}

static int CaptureOneBoardHere(const char* fileName, CaptureResult* result) {
    const double durationS = Options.DurationS;
    const int toFile = !Options.Out.empty();
    const int withSetPoint = Options.SetPoint;

    int code = OpenBoard(Options.Ports[0].c_str());
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
    if (toFile) {
        file = OpenFileUtf8(fileName, "w");
        if (file == nullptr) {
            CloseBoard();
            return Fail(EXIT_OTHER, "cannot create %s", fileName);
        }
    }
    code = WriteLine(file, withSetPoint ? "time_s,flow_pct,set_point_pct\n" : "time_s,flow_pct\n",
                     fileName);
    if (code == EXIT_DONE) {
        code = CaptureSamples(file, fileName, durationS, withSetPoint, state.SetPoint, -1.0,
                              &result->Samples);
    }
    if (file != stdout && fclose(file) != 0 && code == EXIT_DONE) {
        code = Fail(EXIT_OTHER, "cannot write %s", fileName);
    }
    CloseBoard();
    return code;
}

// ---------------------------------------------------------------------------------------
// Several boards: one CSV each in --out-dir, every board on its own thread, all on one time
// origin.

namespace {
struct CaptureBoard {
    const std::vector<std::string>* Ports;
    int Index;
    const char* Folder;
    double DurationS;
    int WithSetPoint;
    BenchStart* Start;
    int Code;
    long Written;
    std::string Name;
    std::string File;
    TestOutcome Outcome;
    std::string Reason;
};

// Connects, names and opens the board's file; EXIT_DONE with the file open in *file.
int PrepareCaptureBoard(CaptureBoard* board, float* setPoint, FILE** file) {
    const char* port = (*board->Ports)[(size_t)board->Index].c_str();
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    BoardInfo info;
    if (!ReadBoardInfo(&info)) {
        return StoppedOrTimedOut();
    }
    board->Name = info.Name;
    SystemStateRec state = {};
    if (board->WithSetPoint && !GetLegacyBoardStateVals(Board, &state)) {
        ClearSerialPortErrors();
        return Fail(EXIT_TIMED_OUT, "%s", "no state record from the board for its set point");
    }
    *setPoint = state.SetPoint;
    board->File =
        BenchFilePath(board->Folder, BoardFileBase(*board->Ports, board->Index, info.Name), "csv");
    *file = OpenFileUtf8(board->File.c_str(), "w");
    if (*file == nullptr) {
        return Fail(EXIT_OTHER, "cannot create %s", board->File.c_str());
    }
    return WriteLine(*file,
                     board->WithSetPoint ? "time_s,flow_pct,set_point_pct\n" : "time_s,flow_pct\n",
                     board->File.c_str());
}

void CaptureOneBoard(void* arg) {
    CaptureBoard* board = static_cast<CaptureBoard*>(arg);
    BeginBenchBoard((*board->Ports)[(size_t)board->Index].c_str());
    float setPoint = 0.0f;
    FILE* file = nullptr;
    int code = PrepareCaptureBoard(board, &setPoint, &file);
    if (code != EXIT_DONE) {
        ArriveAtBenchStart(board->Start);
    } else {
        double origin = WaitForBenchStart(board->Start);
        // The duration counts from the common origin, so every file ends together.
        if (origin >= 0.0) {
            code = CaptureSamples(file, board->File.c_str(), board->DurationS, board->WithSetPoint,
                                  setPoint, origin, &board->Written);
        }
    }
    if (file != nullptr && fclose(file) != 0 && code == EXIT_DONE) {
        code = Fail(EXIT_OTHER, "cannot write %s", board->File.c_str());
    }
    CloseBoard();
    board->Code = code;
    board->Outcome = CaptureOutcome(code, board->DurationS);
    board->Reason = code == EXIT_DONE ? "" : LastFailure;
    ResultsCaptureBoard(board->Index, board->Outcome, board->Reason.c_str(), board->File.c_str(),
                        board->Written);
}
} // namespace

static int CaptureBench(double durationS) {
    const std::vector<std::string>& ports = Options.Ports;
    int code = CheckDistinctPorts(ports);
    if (code != 0) {
        return code;
    }
    if (Options.OutDir.empty()) {
        return UsageError("several ports need --out-dir DIR (one CSV per board)", "");
    }
    const char* folder = Options.OutDir.c_str();
    if (!MakeOutputFolder(folder)) {
        return Fail(EXIT_OTHER, "cannot make the folder %s", folder);
    }
    BenchStart start;
    std::vector<CaptureBoard> boards(ports.size());
    std::vector<void*> pointers;
    for (size_t i = 0; i < ports.size(); ++i) {
        boards[i] = CaptureBoard{&ports,    (int)i, folder, durationS, Options.SetPoint, &start,
                                 EXIT_DONE, 0,      "",     "",        OUTCOME_ERROR,    ""};
        pointers.push_back(&boards[i]);
    }
    RunOnEveryBoard(pointers, CaptureOneBoard, &start, nullptr, nullptr);
    std::vector<int> codes;
    for (const CaptureBoard& board : boards) {
        const char* port = ports[(size_t)board.Index].c_str();
        if (board.Code == EXIT_DONE) {
            printf("%s: PASS: %ld samples in %s\n", port, board.Written, board.File.c_str());
        } else if (board.Written > 0) {
            printf("%s: %s: %s (exit code %d); %ld samples in %s\n", port,
                   OutcomeName(board.Outcome), board.Reason.c_str(), board.Code, board.Written,
                   board.File.c_str());
        } else {
            printf("%s: %s: %s (exit code %d)\n", port, OutcomeName(board.Outcome),
                   board.Reason.c_str(), board.Code);
        }
        codes.push_back(board.Code);
        Results.push_back(
            CaptureResult{port, board.File, board.Written, board.Outcome, board.Reason});
    }
    return BenchExitCode(codes);
}

void DefineCaptureCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "capture",
        "Records every flow sample the board makes (one per 5 ms, none lost or repeated) as\n"
        "CSV to FILE or standard output, until S seconds have passed or Ctrl-C. Columns:\n"
        "time_s (since the capture began, 5 ms apart, kept to the computer's clock) and\n"
        "flow_pct (%FS); with --set-point also set_point_pct, the board's set point.\n"
        "Several ports (a bench of boards) need --out-dir: each board gets its own CSV there,\n"
        "named after its port and name (COM5-Bench_2.csv, COM6-unnamed.csv), all boards are\n"
        "read side by side and their times count from one common start, so their rows line\n"
        "up. A board that is missing or fails does not stop the others; a line per board says\n"
        "how many samples went to which file, and the exit code is that of the first board\n"
        "that failed.",
        RunCapture);
    AddPorts(command, &Options.Ports, MAX_PORTS);
    AddPositive(command, "--duration", &Options.DurationS, "S",
                "ends after S seconds (default: at Ctrl-C)");
    CLI::Option* out = AddText(command, "--out", &Options.Out, "FILE.csv",
                               "the CSV file of one board (default: standard output)");
    AddFlag(command, "--set-point", &Options.SetPoint, "adds the board's set point to each row");
    AddText(command, "--out-dir", &Options.OutDir, "DIR",
            "a folder for one CSV per board (made if missing)")
        ->excludes(out);
    AddResultsOptions(command);
}
