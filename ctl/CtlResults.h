// What step-test, capture and bump-valve keep in a results database (--db PATH, TORVAN_DB),
// through a few calls at the places where each command learns something, and the `results`
// command that reads it back. Without a database every call here does nothing.
#pragma once

#include <string>
#include <vector>

#include "ctl/CtlCommon.h"
#include "ctl/CtlReport.h"

namespace CLI {
class App;
}

// The footer of the three commands' --help.
constexpr const char* RESULTS_OPTIONS_HELP =
    "Results: --db PATH keeps the run in a SQLite database at PATH (made if missing,\n"
    "readable by its user only; TORVAN_DB names it when --db is not given): command,\n"
    "options and limits, start and end, host, operator, outcome (PASS, FAIL, ERROR,\n"
    "ABORTED) and exit code, each board with what it measured; --db-samples also every\n"
    "sample. A database that cannot be opened or written fails before any board is\n"
    "touched (exit code 1). --db postgresql://USER@HOST/DB (or a conninfo string) keeps\n"
    "it on a PostgreSQL server instead; a server that cannot be reached, or is lost\n"
    "during the run, does not stop it: the results are spooled in the user's state\n"
    "folder until \"torvanctl results sync\" (or the next run that reaches the server)\n"
    "sends them. \"torvanctl results\" reads either. torvanctl.exe on Windows keeps no\n"
    "database yet: --db and TORVAN_DB end it with exit code 2.\n";

// What the command line gave the results, filled in as it is parsed.
struct ResultsArgs {
    std::string Target; // --db, else TORVAN_DB; "" for none
    bool KeepSamples = false;
    // results [show RUN | sync]
    std::string Action, Run;
    std::string Board, Port, Since, Outcome;
    bool Json = false, Csv = false;
    const CLI::App* Results = nullptr; // asked which of its options were given
};
extern ResultsArgs ResultsGiven;

// --db PATH and --db-samples on a command that keeps its runs (step-test, capture,
// bump-valve), with the paragraph on them as its help's footer.
void AddResultsOptions(CLI::App* command);
void DefineResultsCommand(CLI::App* root);
// Whether the command's runs are kept (it has the options above).
int KeepsResults(const CLI::App* command);

// Opens the database and stores the run's start, before any board is touched: command is the
// parsed command, arguments what followed it on the command line. EXIT_DONE; EXIT_OTHER
// (reported) when the database cannot be opened or written, EXIT_USAGE when the options do
// not go together.
int ResultsBeginRun(const CLI::App* command, const std::vector<std::string>& arguments);
// Stores the run's end with its outcome and exit code, and the outcome of every board its
// command did not decide. Returns the exit code, EXIT_OTHER when the run's results could not
// all be stored.
int ResultsEndRun(int code);

// The outcome an exit code reads as, for a run or board its command gave none: PASS, FAIL (a
// limit), ABORTED (Ctrl-C) or ERROR.
TestOutcome ResultOutcome(int code);

// On the board's own thread, once it is found: its port, speed, line ending, kind and name.
void ResultsBoardFound(const char* port);
// On the board's thread, every sample as it comes (setPoint NaN when there is none).
void ResultsAddSample(double time, float flow, double setPoint);
// A board's end, with the outcome and reason its command gave it, and what it measured.
void ResultsStepBoard(int index, const StepReport& report);
void ResultsCaptureBoard(int index, TestOutcome outcome, const char* reason, const char* file,
                         long written);
void ResultsBumpBoard(TestOutcome outcome, const char* reason);
// What a failed bump put back ("" when nothing) and left changed.
void ResultsBumpLeft(const char* restored, const char* left);
// The values a bump read and found (drives -1 when not found).
void ResultsBumpValues(long type, double sp1, double sp2, unsigned v1, float gain, float setPoint,
                       long drive1, long drive2);

// torvanctl results, once its arguments are parsed.
int RunResults();
