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

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ctl/CtlArgs.h"
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
    TestOutcome Outcome = OUTCOME_ERROR;
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

const std::string& Target = ResultsGiven.Target; // the database of this run, "" for none
std::unique_ptr<KeptRun> Kept;
thread_local int ThisBoard = -1;
std::atomic<int> Spooled{0}; // the run went to the spool: its server could not be reached

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

void Decide(BoardSlot* slot, TestOutcome outcome, const char* why) {
    slot->Outcome = outcome;
    slot->Board.Outcome = OutcomeName(outcome);
    slot->Board.Why = outcome == OUTCOME_PASS                  ? ""
                      : outcome == OUTCOME_FAIL && why[0] == 0 ? "outside a limit"
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

// The limits and plan a run is held to, from its parsed options, with numbers as numbers.
std::string LimitsOf(const CLI::App* command) {
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
        const CLI::Option* option = command->get_option_no_throw(limit.Option);
        if (command->get_name() != limit.Command || option == nullptr || option->count() == 0 ||
            option->results().empty()) {
            continue;
        }
        // The value as its checks left it (a whole number in plain decimal).
        Json value = Json::array();
        const std::string& list = option->results().front();
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
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The arguments after the command as the run stores them: a --db target without its
// password. After "--" every word is a port.
std::vector<std::string> StoredArguments(std::vector<std::string> arguments) {
    const std::string db = "--db", dbIs = "--db=";
    for (size_t i = 0; i < arguments.size() && arguments[i] != "--"; ++i) {
        if (arguments[i] == db && i + 1 < arguments.size()) {
            arguments[i + 1] = ShownResultsTarget(arguments[i + 1].c_str());
            ++i;
        } else if (arguments[i].compare(0, dbIs.size(), dbIs) == 0) {
            arguments[i] = dbIs + ShownResultsTarget(arguments[i].c_str() + dbIs.size());
        }
    }
    return arguments;
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

int ResultsBeginRun(const CLI::App* command, const std::vector<std::string>& arguments) {
    if (!KeepsResults(command)) {
        return EXIT_DONE;
    }
    if (ResultsGiven.KeepSamples && Target.empty()) {
        return UsageError("--db-samples needs --db PATH (or TORVAN_DB)", "");
    }
    if (Target.empty()) {
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
    run.Command = command->get_name();
    run.Options =
        Json(StoredArguments(arguments)).dump(-1, ' ', false, Json::error_handler_t::replace);
    run.Limits = LimitsOf(command);
    run.StartedAt = UtcNowText();
    run.Host = HostName();
    run.Operator = OperatorName();
    run.Version = CTL_VERSION;
    const CLI::Option* duration = command->get_option_no_throw("--duration");
    Kept->HasDuration = run.Command == "capture" && duration != nullptr && duration->count() > 0;
    const CLI::Option* ports = command->get_option_no_throw("PORT");
    const std::vector<std::string> none;
    const std::vector<std::string>& named = ports != nullptr ? ports->results() : none;
    Kept->Boards.resize(named.size());
    for (size_t i = 0; i < named.size(); ++i) {
        Kept->Boards[i].Board.Index = (int)i;
        Kept->Boards[i].Board.Port = named[i];
    }
    if (!Kept->Store->BeginRun(run)) {
        why = Kept->Store->Why();
        Kept.reset();
        return Fail(EXIT_OTHER, "results database %s",
                    (ShownResultsTarget(Target.c_str()) + ": " + why).c_str());
    }
    if (ResultsGiven.KeepSamples) {
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

TestOutcome ResultOutcome(int code) {
    if (code == EXIT_DONE) {
        // A capture without a duration ends at Ctrl-C as planned; one with a duration was cut
        // short.
        return Interrupted() && Kept && Kept->HasDuration ? OUTCOME_ABORTED : OUTCOME_PASS;
    }
    if (code == EXIT_LIMIT_FAILED) {
        return OUTCOME_FAIL;
    }
    return Interrupted() ? OUTCOME_ABORTED : OUTCOME_ERROR;
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
    // The run's outcome is the worst of its boards', as each command decided it; a board the
    // command never reached, and a run without boards, read as the exit code says.
    TestOutcome outcome = Kept->Boards.empty() ? ResultOutcome(code) : OUTCOME_PASS;
    for (BoardSlot& slot : Kept->Boards) {
        if (!slot.Decided) {
            Decide(&slot, ResultOutcome(code), LastFailure);
        }
        outcome = WorstOutcome(outcome, slot.Outcome);
    }
    if (!Kept->Failure.empty() && code == EXIT_DONE) {
        code = EXIT_OTHER;
    }
    // Boards that passed in a run that failed afterwards (its output or its results not
    // written).
    if (outcome == OUTCOME_PASS && code != EXIT_DONE) {
        outcome = ResultOutcome(code);
    }
    if (!Kept->Store->EndRun(Kept->Run.RunId, UtcNowText(), OutcomeName(outcome), code)) {
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

void ResultsStepBoard(int index, const StepReport& report) {
    BoardSlot* slot = Slot(index);
    if (slot == nullptr) {
        return;
    }
    Decide(slot, report.Outcome, report.Reason.c_str());
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

void ResultsCaptureBoard(int index, TestOutcome outcome, const char* reason, const char* file,
                         long written) {
    BoardSlot* slot = Slot(index);
    if (slot == nullptr) {
        return;
    }
    Decide(slot, outcome, reason);
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

void ResultsBumpBoard(TestOutcome outcome, const char* reason) {
    BoardSlot* slot = Slot(0);
    if (slot != nullptr) {
        Decide(slot, outcome, reason);
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

const ResultsArgs& Query = ResultsGiven;

// Whether the results command was given an option (--board "" is given, and refused by show).
int Given(const char* option) {
    return Query.Results->count(option) > 0;
}

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

int ShowRun(ResultsStore* store) {
    if (!Given("RUN")) {
        return UsageError("show needs the run's id (or the start of it)", "");
    }
    if (Given("--board") || Given("--port") || Given("--since") || Given("--outcome") ||
        Given("--csv")) {
        return UsageError("show takes --json only", "");
    }
    ResultsRunDetail detail;
    if (!store->LoadRun(Query.Run, &detail)) {
        return Fail(EXIT_OTHER, "%s", store->Why().c_str());
    }
    if (Query.Json) {
        printf("%s\n", Dump(RunDetailJson(detail)).c_str());
    } else {
        PrintRun(detail);
    }
    return EXIT_DONE;
}

} // namespace

static int ListOrShow();

// JSON never throws out of torvanctl: a failure of its writer is this command's error.
int RunResults() {
    try {
        return ListOrShow();
    } catch (const nlohmann::json::exception& e) {
        return Fail(EXIT_OTHER, "cannot print the results: %s", e.what());
    }
}

// `results sync`: every run spooled for the server goes to it.
static int SyncSpool(const char* target) {
    if (Given("RUN") || Given("--board") || Given("--port") || Given("--since") ||
        Given("--outcome") || Given("--json") || Given("--csv")) {
        return UsageError("sync takes --db only", "");
    }
    if (!IsServerTarget(target)) {
        return UsageError("sync sends what was spooled for a server: --db postgresql://...", "");
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

static int ListOrShow() {
    const char* target = Query.Target.c_str();
    if (target[0] == '\0') {
        return UsageError("no database: --db PATH or TORVAN_DB", "");
    }
    if (Query.Action == "sync") {
        return SyncSpool(target);
    }
    const int show = Query.Action == "show";
    ResultsFilter filter;
    if (Given("--since") && !ParseWhen(Query.Since.c_str(), &filter.Since)) {
        return UsageError("--since needs an ISO 8601 date or date and time, not ",
                          Query.Since.c_str());
    }
    if (Given("--outcome")) {
        for (char c : Query.Outcome) {
            filter.Outcome.push_back((char)toupper((unsigned char)c));
        }
        if (filter.Outcome != RESULT_PASS && filter.Outcome != RESULT_FAIL &&
            filter.Outcome != RESULT_ERROR && filter.Outcome != RESULT_ABORTED) {
            return UsageError("--outcome must be PASS, FAIL, ERROR or ABORTED, not ",
                              Query.Outcome.c_str());
        }
    }
    filter.Board = Query.Board;
    filter.Port = Query.Port;

    std::string why;
    std::unique_ptr<ResultsStore> store = OpenResultsStore(target, 0, &why);
    if (!store) {
        return Fail(EXIT_OTHER, "results database %s", why.c_str());
    }
    if (show) {
        return ShowRun(store.get());
    }
    std::vector<ResultsListedRun> runs;
    if (!store->ListRuns(filter, &runs)) {
        return Fail(EXIT_OTHER, "%s", store->Why().c_str());
    }
    if (Query.Json) {
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
    } else if (Query.Csv) {
        PrintCsv(runs);
    } else {
        PrintList(runs);
    }
    return EXIT_DONE;
}
