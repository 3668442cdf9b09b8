// The results a run keeps (--db PATH, TORVAN_DB) and `torvanctl results`, which lists and
// shows them. The commands call in at the few places where they learn something; the run's
// records are kept here, one slot per port, and go to the store as they are complete.
#include "ctl/CtlResults.h"

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ctl/CtlPlatform.h"
#include "ctl/ResultsStore.h"
#include "device/LegacyBoardUtils.h"

static const char* const CTL_VERSION = TORVAN_VERSION;

using Json = nlohmann::ordered_json;

namespace {

struct BoardSlot {
    ResultsBoard Board;
    int Found = 0;   // stored when the board was found
    int Decided = 0; // its outcome is stored
    long long NextSample = 0;
    long long Made = 0;
    double Min = INFINITY, Max = -INFINITY, Sum = 0.0;
    double LastTime = NAN, LargestGap = 0.0;
    std::string BumpLeft;
};

struct KeptRun {
    std::unique_ptr<ResultsStore> Store;
    ResultsRun Run;
    std::vector<BoardSlot> Boards; // one per port, by its place on the command line
    std::unique_ptr<SampleWriter> Samples;
    int HasDuration = 0; // a capture with a duration, which Ctrl-C cuts short
    std::mutex FailureLock;
    std::string Failure; // the first write that failed
};

std::string Target; // the database of this run, "" for none
int KeepSamples = 0;
std::vector<std::string> Arguments; // as given after the command
std::unique_ptr<KeptRun> Kept;
thread_local int ThisBoard = -1;
std::atomic<int> Spooled{0}; // the run went to the spool: its server could not be reached

int KeepsResults(const CommandDef& def) {
    return strcmp(def.Name, "step-test") == 0 || strcmp(def.Name, "capture") == 0 ||
           strcmp(def.Name, "bump-valve") == 0;
}

// Reports a write that failed, once; the run's exit code says so at its end.
void StoreFailed(const std::string& why) {
    std::lock_guard<std::mutex> hold(Kept->FailureLock);
    if (Kept->Failure.empty()) {
        Kept->Failure = why;
        fprintf(stderr, "torvanctl: results not stored: %s\n", why.c_str());
    }
}

void StoreBoard(BoardSlot* slot) {
    if (!Kept->Store->AddBoard(Kept->Run.RunId, slot->Board)) {
        StoreFailed(Kept->Store->Why());
    }
}

BoardSlot* Slot(int index) {
    if (!Kept || index < 0 || index >= (int)Kept->Boards.size()) {
        return nullptr;
    }
    return &Kept->Boards[(size_t)index];
}

void Decide(BoardSlot* slot, int code, const char* why) {
    slot->Board.Outcome = ResultOutcome(code);
    slot->Board.Why = code == EXIT_DONE                    ? ""
                      : code == EXIT_LIMIT_FAILED && !*why ? "outside a limit"
                                                           : why;
    slot->Decided = 1;
    StoreBoard(slot);
}

std::string HostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) {
        name[0] = '\0';
    }
    name[sizeof name - 1] = '\0';
    return name;
}

std::string OperatorName() {
    for (const char* variable : {"LOGNAME", "USER"}) {
        const char* name = getenv(variable);
        if (name != nullptr && name[0] != '\0') {
            return name;
        }
    }
    const passwd* entry = getpwuid(geteuid());
    return entry != nullptr && entry->pw_name != nullptr ? entry->pw_name : "";
}

// The limits and plan a run is held to, from its options, with numbers as numbers.
std::string LimitsOf(const CommandDef& def, const Args& args) {
    static const struct {
        const char* Command;
        const char* Option;
        const char* Key;
    } limits[] = {
        {"step-test", "--steps", "steps_pct"},
        {"step-test", "--hold", "hold_s"},
        {"step-test", "--band", "band_pct"},
        {"step-test", "--settle-for", "settle_for_ms"},
        {"step-test", "--max-settle", "max_settle_ms"},
        {"step-test", "--max-overshoot", "max_overshoot_pct"},
        {"step-test", "--max-error", "max_error_pct"},
        {"capture", "--duration", "duration_s"},
        {"bump-valve", "--type", "flow_type"},
        {"bump-valve", "--sp1", "sp1_pct"},
        {"bump-valve", "--sp2", "sp2_pct"},
        {"bump-valve", "--timeout", "timeout_s"},
    };
    Json out = Json::object();
    for (const auto& limit : limits) {
        if (strcmp(limit.Command, def.Name) != 0) {
            continue;
        }
        for (int k = 0; k < MAX_OPTIONS && def.Options[k].Name != nullptr; ++k) {
            if (strcmp(def.Options[k].Name, limit.Option) != 0 || !args.Present[k]) {
                continue;
            }
            Json value = Json::array();
            std::string list = args.Value[k];
            size_t at = 0;
            for (;;) {
                size_t comma = list.find(',', at);
                std::string item = list.substr(at, comma == std::string::npos ? comma : comma - at);
                double number;
                value.push_back(ParseDouble(item.c_str(), &number) ? Json(number) : Json(item));
                if (comma == std::string::npos) {
                    break;
                }
                at = comma + 1;
            }
            out[limit.Key] = strcmp(limit.Option, "--steps") == 0 ? value : value[0];
        }
    }
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void SaySpooled(const std::string& host) {
    Spooled = 1;
    fprintf(stderr,
            "torvanctl: results spooled: the database at %s is not reachable (\"torvanctl "
            "results sync\" sends them)\n",
            host.c_str());
}

// The user's state folder, where a server's runs wait; "" when there is none.
std::string SpoolFolder() {
    char folder[1024], why[1200];
    return StateFolder(folder, sizeof folder, why, sizeof why) ? folder : "";
}

// After a run that reached its server: what earlier runs left in the spool goes there too.
// Its failure is only told; the run's own exit code stands.
void SendSpooledRuns() {
    if (Spooled || !IsServerTarget(Target.c_str())) {
        return;
    }
    std::string folder = SpoolFolder();
    struct stat info;
    if (folder.empty() || stat(SpoolPath(folder, Target.c_str()).c_str(), &info) != 0) {
        return;
    }
    SpoolSync sync;
    std::string why;
    if (!SyncResultsSpool(Target.c_str(), folder, &sync, &why)) {
        fprintf(stderr, "torvanctl: spooled results not sent yet: %s\n", why.c_str());
    } else if (sync.Sent > 0) {
        fprintf(stderr, "torvanctl: %d spooled run(s) sent to the database at %s\n", sync.Sent,
                ResultsTargetHost(Target.c_str()).c_str());
    }
}

} // namespace

int ResultsTakeOptions(const CommandDef& def, int* argc, char** argv) {
    if (!KeepsResults(def)) {
        return 0;
    }
    Arguments.assign(argv + 2, argv + *argc);
    const char* target = getenv("TORVAN_DB");
    Target = target != nullptr ? target : "";
    int kept = 2;
    for (int i = 2; i < *argc; ++i) {
        if (strcmp(argv[i], "--db") == 0) {
            if (i + 1 >= *argc || argv[i + 1][0] == '\0') {
                return UsageError(def, "--db needs the database's path", "");
            }
            Target = argv[++i];
        } else if (strcmp(argv[i], "--db-samples") == 0) {
            KeepSamples = 1;
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    // The run's stored options name its server without the password.
    for (size_t i = 0; i + 1 < Arguments.size(); ++i) {
        if (Arguments[i] == "--db") {
            Arguments[i + 1] = ShownResultsTarget(Arguments[i + 1].c_str());
        }
    }
    if (KeepSamples && Target.empty()) {
        return UsageError(def, "--db-samples needs --db PATH (or TORVAN_DB)", "");
    }
    return 0;
}

void PrintResultsHelp(const CommandDef& def) {
    if (KeepsResults(def)) {
        printf("\n%s", RESULTS_OPTIONS_HELP);
    }
}

int ResultsBeginRun(const CommandDef& def, const Args& args) {
    if (Target.empty() || !KeepsResults(def)) {
        return EXIT_DONE;
    }
    std::string why;
    ResultsSpool spool;
    spool.Folder = IsServerTarget(Target.c_str()) ? SpoolFolder() : "";
    spool.Spooled = SaySpooled;
    std::unique_ptr<ResultsStore> store = OpenResultsStore(Target.c_str(), 1, &why, &spool);
    if (!store) {
        return Fail(EXIT_OTHER, "results database %s", why.c_str());
    }
    Kept.reset(new KeptRun);
    Kept->Store = std::move(store);
    ResultsRun& run = Kept->Run;
    run.RunId = NewRunId();
    run.Command = def.Name;
    run.Options = Json(Arguments).dump(-1, ' ', false, Json::error_handler_t::replace);
    run.Limits = LimitsOf(def, args);
    run.StartedAt = UtcNowText();
    run.Host = HostName();
    run.Operator = OperatorName();
    run.Version = CTL_VERSION;
    Kept->HasDuration = strcmp(def.Name, "capture") == 0 && args.Present[0];
    Kept->Boards.resize((size_t)args.PositionalCount);
    for (int i = 0; i < args.PositionalCount; ++i) {
        Kept->Boards[(size_t)i].Board.Index = i;
        Kept->Boards[(size_t)i].Board.Port = args.Positional[i];
    }
    if (!Kept->Store->BeginRun(run)) {
        why = Kept->Store->Why();
        Kept.reset();
        return Fail(EXIT_OTHER, "results database %s",
                    (ShownResultsTarget(Target.c_str()) + ": " + why).c_str());
    }
    if (KeepSamples) {
        try {
            Kept->Samples.reset(new SampleWriter(Kept->Store.get(), run.RunId));
        } catch (const std::system_error&) {
            Kept->Store->DiscardRun(run.RunId);
            Kept.reset();
            return Fail(EXIT_OTHER, "%s", "no thread to store the samples");
        }
    }
    return EXIT_DONE;
}

const char* ResultOutcome(int code) {
    if (code == EXIT_DONE) {
        // A capture without a duration ends at Ctrl-C as planned; one with a duration was cut
        // short.
        return Interrupted() && Kept && Kept->HasDuration ? RESULT_ABORTED : RESULT_PASS;
    }
    if (code == EXIT_LIMIT_FAILED) {
        return RESULT_FAIL;
    }
    return Interrupted() ? RESULT_ABORTED : RESULT_ERROR;
}

int ResultsEndRun(int code) {
    if (!Kept) {
        return code;
    }
    if (Kept->Samples && !Kept->Samples->Finish()) {
        StoreFailed("samples: " + Kept->Samples->Failure());
    }
    int touched = 0;
    for (const BoardSlot& slot : Kept->Boards) {
        touched = touched || slot.Found || slot.Decided;
    }
    if (code == EXIT_USAGE && !touched) {
        // Its arguments were refused before any board was touched: no run to keep.
        Kept->Store->DiscardRun(Kept->Run.RunId);
        Kept.reset();
        return code;
    }
    for (BoardSlot& slot : Kept->Boards) {
        if (!slot.Decided) {
            Decide(&slot, code, LastFailure);
        }
    }
    if (!Kept->Failure.empty() && code == EXIT_DONE) {
        code = EXIT_OTHER;
    }
    if (!Kept->Store->EndRun(Kept->Run.RunId, UtcNowText(), ResultOutcome(code), code)) {
        StoreFailed(Kept->Store->Why());
        code = code == EXIT_DONE ? EXIT_OTHER : code;
    }
    Kept.reset();
    SendSpooledRuns();
    return code;
}

void ResultsBoardFound(const char* port) {
    if (!Kept) {
        return;
    }
    for (size_t i = 0; i < Kept->Boards.size(); ++i) {
        if (Kept->Boards[i].Board.Port == port) {
            ThisBoard = (int)i;
        }
    }
    BoardSlot* slot = Slot(ThisBoard);
    if (slot == nullptr) {
        return;
    }
    ResultsBoard& board = slot->Board;
    board.Speed = (long)GetInitialBaudRate();
    board.LineEnding = (long)GetInitialNewLine();
    BoardInfo info;
    // A board that stops answering here fails the command's own first exchange.
    if (ReadBoardInfo(&info)) {
        board.Kind = info.IsController ? "controller" : "meter";
        board.Name = info.Name;
        board.Gas = info.GasSymbol;
        board.Units = info.Units;
        board.FullScale = info.FullScale;
    }
    slot->Found = 1;
    StoreBoard(slot);
}

void ResultsAddSample(double time, float flow, double setPoint) {
    BoardSlot* slot = Slot(ThisBoard);
    if (slot == nullptr) {
        return;
    }
    ++slot->Made;
    slot->Min = std::fmin(slot->Min, flow);
    slot->Max = std::fmax(slot->Max, flow);
    slot->Sum += flow;
    if (!std::isnan(slot->LastTime)) {
        slot->LargestGap = std::fmax(slot->LargestGap, time - slot->LastTime);
    }
    slot->LastTime = time;
    if (Kept->Samples) {
        Kept->Samples->Push(
            ResultsSample{slot->Board.Index, slot->NextSample++, time, flow, setPoint});
    }
}

void ResultsStepBoard(int index, const StepReport& report, int code, const char* why) {
    BoardSlot* slot = Slot(index);
    if (slot == nullptr) {
        return;
    }
    Decide(slot, code, why);
    std::vector<ResultsStep> steps;
    for (size_t k = 0; k < report.Steps.size() && slot->Found; ++k) {
        const StepRecord& record = report.Steps[k];
        ResultsStep step;
        step.Board = index;
        step.Index = (int)k;
        step.FromPct = record.From;
        step.SetPointPct = record.To;
        step.SettleMs = record.Metrics.SettleMs;
        step.RiseMs = record.Metrics.RiseMs;
        step.OvershootPct = record.Metrics.OvershootPct;
        step.MeanErrorPct = record.Metrics.MeanErrorPct;
        step.NoisePct = record.Metrics.NoisePct;
        step.Pass = record.Pass;
        steps.push_back(step);
    }
    if (!steps.empty() && !Kept->Store->AddSteps(Kept->Run.RunId, steps)) {
        StoreFailed(Kept->Store->Why());
    }
}

void ResultsCaptureBoard(int index, int code, const char* why, const char* file, long written) {
    BoardSlot* slot = Slot(index);
    if (slot == nullptr) {
        return;
    }
    Decide(slot, code, why);
    if (!slot->Found) {
        return;
    }
    ResultsCapture capture;
    capture.Board = index;
    capture.Made = slot->Made;
    capture.Written = written;
    capture.File = file;
    capture.LargestGapMs = slot->Made > 1 ? slot->LargestGap * 1000.0 : NAN;
    capture.FlowMinPct = slot->Made > 0 ? slot->Min : NAN;
    capture.FlowMaxPct = slot->Made > 0 ? slot->Max : NAN;
    capture.FlowMeanPct = slot->Made > 0 ? slot->Sum / (double)slot->Made : NAN;
    if (!Kept->Store->AddCapture(Kept->Run.RunId, capture)) {
        StoreFailed(Kept->Store->Why());
    }
}

void ResultsBumpLeft(const char* restored, const char* left) {
    BoardSlot* slot = Slot(ThisBoard);
    if (slot == nullptr) {
        return;
    }
    slot->BumpLeft = std::string("put back: ") + (restored[0] ? restored : "nothing") +
                     "; left changed: " + (left[0] ? left : "nothing");
}

void ResultsBumpValues(long type, double sp1, double sp2, unsigned v1, float gain, float setPoint,
                       long drive1, long drive2) {
    BoardSlot* slot = Slot(ThisBoard);
    if (slot == nullptr) {
        return;
    }
    ResultsBump bump;
    bump.Board = slot->Board.Index;
    bump.FlowType = (int)type;
    bump.Sp1Pct = sp1;
    bump.Sp2Pct = sp2;
    bump.ReadV1 = (long)v1;
    bump.ReadGain = gain;
    bump.ReadSetPointPct = setPoint;
    bump.Drive1 = drive1;
    bump.Drive2 = drive2;
    bump.Left = drive1 >= 0 && drive2 >= 0 ? "~BVD=" + std::to_string(drive1) : slot->BumpLeft;
    if (!Kept->Store->AddBump(Kept->Run.RunId, bump)) {
        StoreFailed(Kept->Store->Why());
    }
}

// ---------------------------------------------------------------------------------------
// torvanctl results

namespace {

enum ResultsOption { OPT_DB, OPT_BOARD, OPT_PORT, OPT_SINCE, OPT_OUTCOME, OPT_JSON, OPT_CSV };

Json NumberOrNull(double value) {
    return std::isfinite(value) ? Json(value) : Json(nullptr);
}

Json TextOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

Json ParsedOr(const std::string& text) {
    Json parsed = Json::parse(text, nullptr, false);
    return parsed.is_discarded() ? Json(text) : parsed;
}

Json RunJson(const ResultsRun& run) {
    return Json{{"run_id", run.RunId},
                {"command", run.Command},
                {"options", ParsedOr(run.Options)},
                {"limits", ParsedOr(run.Limits)},
                {"started_at", run.StartedAt},
                {"ended_at", TextOrNull(run.EndedAt)},
                {"host", run.Host},
                {"operator", run.Operator},
                {"torvanctl_version", run.Version},
                {"outcome", run.Outcome},
                {"exit_code", run.ExitCode >= 0 ? Json(run.ExitCode) : Json(nullptr)}};
}

Json BoardJson(const ResultsBoard& board) {
    return Json{{"index", board.Index},
                {"port", board.Port},
                {"name", board.Kind.empty() ? Json(nullptr) : Json(board.Name)},
                {"kind", TextOrNull(board.Kind)},
                {"speed", board.Speed > 0 ? Json(board.Speed) : Json(nullptr)},
                {"line_ending", board.LineEnding > 0 ? Json(board.LineEnding) : Json(nullptr)},
                {"gas", TextOrNull(board.Gas)},
                {"units", TextOrNull(board.Units)},
                {"full_scale", NumberOrNull(board.FullScale)},
                {"outcome", board.Outcome},
                {"why", TextOrNull(board.Why)}};
}

std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const char* BoardLabel(const ResultsBoard& board) {
    if (board.Kind.empty()) {
        return "-";
    }
    if (!board.Name.empty()) {
        return board.Name.c_str();
    }
    return board.Kind == "controller" ? "unnamed controller" : "meter";
}

void PrintList(const std::vector<ResultsListedRun>& runs) {
    printf("%-19s  %-8s  %-10s  %-24s %-24s %-7s  %s\n", "started", "run", "command", "port",
           "board", "outcome", "why");
    for (const ResultsListedRun& listed : runs) {
        std::string started = LocalTimeText(listed.Run.StartedAt);
        for (const ResultsBoard& board : listed.Boards) {
            printf("%-19s  %-8.8s  %-10s  %-24s %-24s %-7s  %s\n", started.c_str(),
                   listed.Run.RunId.c_str(), listed.Run.Command.c_str(), board.Port.c_str(),
                   BoardLabel(board), board.Outcome.c_str(), board.Why.c_str());
        }
    }
}

void PrintCsv(const std::vector<ResultsListedRun>& runs) {
    printf("started_at,run_id,command,run_outcome,exit_code,board_index,port,name,kind,outcome,"
           "why\n");
    for (const ResultsListedRun& listed : runs) {
        const ResultsRun& run = listed.Run;
        for (const ResultsBoard& board : listed.Boards) {
            std::string exitCode = run.ExitCode >= 0 ? std::to_string(run.ExitCode) : "";
            printf("%s,%s,%s,%s,%s,%d,%s,%s,%s,%s,%s\n", run.StartedAt.c_str(), run.RunId.c_str(),
                   CsvField(run.Command.c_str()).c_str(), run.Outcome.c_str(), exitCode.c_str(),
                   board.Index, CsvField(board.Port.c_str()).c_str(),
                   CsvField(board.Name.c_str()).c_str(), board.Kind.c_str(), board.Outcome.c_str(),
                   CsvField(board.Why.c_str()).c_str());
        }
    }
}

void PrintFigure(const char* format, double value) {
    if (std::isfinite(value)) {
        printf(format, value);
    } else {
        printf("%10s", "-");
    }
}

void PrintRun(const ResultsRunDetail& detail) {
    const ResultsRun& run = detail.Run;
    printf("run: %s\n", run.RunId.c_str());
    std::string options;
    Json arguments = ParsedOr(run.Options);
    for (const Json& argument : arguments) {
        options += " " + (argument.is_string() ? argument.get<std::string>() : argument.dump());
    }
    printf("command: %s%s\n", run.Command.c_str(), options.c_str());
    printf("limits: %s\n", run.Limits.c_str());
    printf("started: %s\n", LocalTimeText(run.StartedAt).c_str());
    printf("ended: %s\n", run.EndedAt.empty() ? "never (the run was stopped from outside)"
                                              : LocalTimeText(run.EndedAt).c_str());
    printf("host: %s, operator: %s, torvanctl %s\n", run.Host.c_str(), run.Operator.c_str(),
           run.Version.c_str());
    if (run.ExitCode >= 0) {
        printf("outcome: %s (exit code %d)\n", run.Outcome.c_str(), run.ExitCode);
    } else {
        printf("outcome: %s\n", run.Outcome.c_str());
    }
    for (size_t i = 0; i < detail.Boards.size(); ++i) {
        const ResultsBoard& board = detail.Boards[i];
        printf("\nboard %d: %s, %s", board.Index + 1, board.Port.c_str(), BoardLabel(board));
        if (!board.Kind.empty()) {
            printf(" (%s at %ld bit/s, line ending 0x%lX, %s %g %s)", board.Kind.c_str(),
                   board.Speed, board.LineEnding, board.Gas.c_str(), board.FullScale,
                   board.Units.c_str());
        }
        printf(": %s%s%s\n", board.Outcome.c_str(), board.Why.empty() ? "" : ": ",
               board.Why.c_str());
        int header = 0;
        for (const ResultsStep& step : detail.Steps) {
            if (step.Board != board.Index) {
                continue;
            }
            if (!header++) {
                printf("  %4s %8s %8s %10s %10s %10s %10s %10s  result\n", "step", "from", "to",
                       "settle ms", "rise ms", "overshoot", "error", "noise");
            }
            printf("  %4d %8.3f %8.3f", step.Index + 1, step.FromPct, step.SetPointPct);
            PrintFigure(" %10.1f", step.SettleMs);
            PrintFigure(" %10.1f", step.RiseMs);
            PrintFigure(" %10.4f", step.OvershootPct);
            PrintFigure(" %10.4f", step.MeanErrorPct);
            PrintFigure(" %10.4f", step.NoisePct);
            printf("  %s\n", step.Pass ? "PASS" : "FAIL");
        }
        for (const ResultsCapture& capture : detail.Captures) {
            if (capture.Board == board.Index) {
                printf("  capture: %lld samples made, %lld written to %s; largest gap %.1f ms; "
                       "flow %.4f to %.4f, mean %.4f %%FS\n",
                       capture.Made, capture.Written, capture.File.c_str(), capture.LargestGapMs,
                       capture.FlowMinPct, capture.FlowMaxPct, capture.FlowMeanPct);
            }
        }
        for (const ResultsBump& bump : detail.Bumps) {
            if (bump.Board == board.Index) {
                printf("  bump: read V1=%ld, V24 %g, set point %.4f; valve drive %ld at %.4f "
                       "%%FS, %ld at %.4f %%FS; left %s\n",
                       bump.ReadV1, bump.ReadGain, bump.ReadSetPointPct, bump.Drive1, bump.Sp1Pct,
                       bump.Drive2, bump.Sp2Pct, bump.Left.c_str());
            }
        }
        if (detail.SampleCounts[i] > 0) {
            printf("  samples stored: %lld\n", detail.SampleCounts[i]);
        }
    }
}

Json RunDetailJson(const ResultsRunDetail& detail) {
    Json out = RunJson(detail.Run);
    out["boards"] = Json::array();
    for (size_t i = 0; i < detail.Boards.size(); ++i) {
        const ResultsBoard& board = detail.Boards[i];
        Json entry = BoardJson(board);
        Json steps = Json::array();
        for (const ResultsStep& step : detail.Steps) {
            if (step.Board == board.Index) {
                steps.push_back(Json{{"from_pct", NumberOrNull(step.FromPct)},
                                     {"set_point_pct", NumberOrNull(step.SetPointPct)},
                                     {"settle_ms", NumberOrNull(step.SettleMs)},
                                     {"rise_ms", NumberOrNull(step.RiseMs)},
                                     {"overshoot_pct", NumberOrNull(step.OvershootPct)},
                                     {"mean_error_pct", NumberOrNull(step.MeanErrorPct)},
                                     {"noise_pct", NumberOrNull(step.NoisePct)},
                                     {"pass", step.Pass != 0}});
            }
        }
        entry["steps"] = steps;
        for (const ResultsCapture& capture : detail.Captures) {
            if (capture.Board == board.Index) {
                entry["capture"] = Json{{"samples_made", capture.Made},
                                        {"samples_written", capture.Written},
                                        {"file", capture.File},
                                        {"largest_gap_ms", NumberOrNull(capture.LargestGapMs)},
                                        {"flow_min_pct", NumberOrNull(capture.FlowMinPct)},
                                        {"flow_max_pct", NumberOrNull(capture.FlowMaxPct)},
                                        {"flow_mean_pct", NumberOrNull(capture.FlowMeanPct)}};
            }
        }
        for (const ResultsBump& bump : detail.Bumps) {
            if (bump.Board == board.Index) {
                entry["bump"] =
                    Json{{"flow_type", bump.FlowType},
                         {"sp1_pct", NumberOrNull(bump.Sp1Pct)},
                         {"sp2_pct", NumberOrNull(bump.Sp2Pct)},
                         {"read_v1", bump.ReadV1},
                         {"read_gain", NumberOrNull(bump.ReadGain)},
                         {"read_set_point_pct", NumberOrNull(bump.ReadSetPointPct)},
                         {"drive_sp1", bump.Drive1 >= 0 ? Json(bump.Drive1) : Json(nullptr)},
                         {"drive_sp2", bump.Drive2 >= 0 ? Json(bump.Drive2) : Json(nullptr)},
                         {"left", TextOrNull(bump.Left)}};
            }
        }
        entry["samples_stored"] = detail.SampleCounts[i];
        out["boards"].push_back(entry);
    }
    return out;
}

int ShowRun(const CommandDef& def, const Args& args, ResultsStore* store) {
    if (args.PositionalCount != 2) {
        return UsageError(def, "show needs the run's id (or the start of it)", "");
    }
    if (args.Present[OPT_BOARD] || args.Present[OPT_PORT] || args.Present[OPT_SINCE] ||
        args.Present[OPT_OUTCOME] || args.Present[OPT_CSV]) {
        return UsageError(def, "show takes --json only", "");
    }
    ResultsRunDetail detail;
    if (!store->LoadRun(args.Positional[1], &detail)) {
        return Fail(EXIT_OTHER, "%s", store->Why().c_str());
    }
    if (args.Present[OPT_JSON]) {
        printf("%s\n", Dump(RunDetailJson(detail)).c_str());
    } else {
        PrintRun(detail);
    }
    return EXIT_DONE;
}

} // namespace

static int ListOrShow(const CommandDef& def, const Args& args);

// JSON never throws out of torvanctl: a failure of its writer is this command's error.
int RunResults(const CommandDef& def, const Args& args) {
    try {
        return ListOrShow(def, args);
    } catch (const nlohmann::json::exception& e) {
        return Fail(EXIT_OTHER, "cannot print the results: %s", e.what());
    }
}

// `results sync`: every run spooled for the server goes to it.
static int SyncSpool(const CommandDef& def, const Args& args, const char* target) {
    if (args.PositionalCount != 1 || args.Present[OPT_BOARD] || args.Present[OPT_PORT] ||
        args.Present[OPT_SINCE] || args.Present[OPT_OUTCOME] || args.Present[OPT_JSON] ||
        args.Present[OPT_CSV]) {
        return UsageError(def, "sync takes --db only", "");
    }
    if (!IsServerTarget(target)) {
        return UsageError(def, "sync sends what was spooled for a server: --db postgresql://...",
                          "");
    }
    SpoolSync sync;
    std::string why;
    if (!SyncResultsSpool(target, SpoolFolder(), &sync, &why)) {
        why += " (" + std::to_string(sync.Sent) + " run(s) sent before)";
        return Fail(EXIT_OTHER, "results sync: %s", why.c_str());
    }
    printf("%d spooled run(s) sent to %s (%lld samples)", sync.Sent,
           ShownResultsTarget(target).c_str(), sync.Samples);
    if (sync.Waiting > 0) {
        printf("; %d still being written, left in the spool", sync.Waiting);
    }
    printf("\n");
    return EXIT_DONE;
}

static int ListOrShow(const CommandDef& def, const Args& args) {
    const char* target = args.Present[OPT_DB] ? args.Value[OPT_DB] : getenv("TORVAN_DB");
    if (target == nullptr || target[0] == '\0') {
        return UsageError(def, "no database: --db PATH or TORVAN_DB", "");
    }
    if (args.PositionalCount > 0 && strcmp(args.Positional[0], "sync") == 0) {
        return SyncSpool(def, args, target);
    }
    const int show = args.PositionalCount > 0;
    if (show && strcmp(args.Positional[0], "show") != 0) {
        return UsageError(def, "unexpected argument ", args.Positional[0]);
    }
    if (args.Present[OPT_JSON] && args.Present[OPT_CSV]) {
        return UsageError(def, "--json or --csv, not both", "");
    }
    ResultsFilter filter;
    if (args.Present[OPT_SINCE] && !ParseWhen(args.Value[OPT_SINCE], &filter.Since)) {
        return UsageError(def, "--since needs an ISO 8601 date or date and time, not ",
                          args.Value[OPT_SINCE]);
    }
    if (args.Present[OPT_OUTCOME]) {
        for (const char* c = args.Value[OPT_OUTCOME]; *c != '\0'; ++c) {
            filter.Outcome.push_back((char)toupper((unsigned char)*c));
        }
        if (filter.Outcome != RESULT_PASS && filter.Outcome != RESULT_FAIL &&
            filter.Outcome != RESULT_ERROR && filter.Outcome != RESULT_ABORTED) {
            return UsageError(def, "--outcome must be PASS, FAIL, ERROR or ABORTED, not ",
                              args.Value[OPT_OUTCOME]);
        }
    }
    filter.Board = args.Present[OPT_BOARD] ? args.Value[OPT_BOARD] : "";
    filter.Port = args.Present[OPT_PORT] ? args.Value[OPT_PORT] : "";

    std::string why;
    std::unique_ptr<ResultsStore> store = OpenResultsStore(target, 0, &why);
    if (!store) {
        return Fail(EXIT_OTHER, "results database %s", why.c_str());
    }
    if (show) {
        return ShowRun(def, args, store.get());
    }
    std::vector<ResultsListedRun> runs;
    if (!store->ListRuns(filter, &runs)) {
        return Fail(EXIT_OTHER, "%s", store->Why().c_str());
    }
    if (args.Present[OPT_JSON]) {
        Json all = {{"runs", Json::array()}};
        for (const ResultsListedRun& listed : runs) {
            Json run = RunJson(listed.Run);
            run["boards"] = Json::array();
            for (const ResultsBoard& board : listed.Boards) {
                run["boards"].push_back(BoardJson(board));
            }
            all["runs"].push_back(run);
        }
        printf("%s\n", Dump(all).c_str());
    } else if (args.Present[OPT_CSV]) {
        PrintCsv(runs);
    } else {
        PrintList(runs);
    }
    return EXIT_DONE;
}
