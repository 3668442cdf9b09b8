// What step-test, capture and bump-valve keep in a results database (--db PATH, TORVAN_DB),
// through a few calls at the places where each command learns something, and the `results`
// command that reads it back. Without a database every call here does nothing.
#pragma once

#include "ctl/CtlCommon.h"
#include "ctl/CtlReport.h"

// The paragraph the three commands' --help adds.
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

// Takes --db PATH and --db-samples out of the command line of step-test, capture and
// bump-valve (argv[1] is the command), so that the command's own options follow. Returns 0,
// or the exit code of a reported usage error.
int ResultsTakeOptions(const CommandDef& def, int* argc, char** argv);
void PrintResultsHelp(const CommandDef& def);
// Opens the database and stores the run's start, before any board is touched. EXIT_DONE, or
// EXIT_OTHER (reported) when the database cannot be opened or written.
int ResultsBeginRun(const CommandDef& def, const Args& args);
// Stores the run's end with its outcome and exit code, and the outcome of every board not yet
// decided. Returns the exit code, EXIT_OTHER when the run's results could not all be stored.
int ResultsEndRun(int code);

// The outcome the run or a board reads as: PASS, FAIL (a limit), ABORTED (Ctrl-C) or ERROR.
const char* ResultOutcome(int code);

// On the board's own thread, once it is found: its port, speed, line ending, kind and name.
void ResultsBoardFound(const char* port);
// On the board's thread, every sample as it comes (setPoint NaN when there is none).
void ResultsAddSample(double time, float flow, double setPoint);
// A board's end: its outcome (from its exit code, why it failed) and what it measured.
void ResultsStepBoard(int index, const StepReport& report, int code, const char* why);
void ResultsCaptureBoard(int index, int code, const char* why, const char* file, long written);
// What a failed bump put back ("" when nothing) and left changed.
void ResultsBumpLeft(const char* restored, const char* left);
// The values a bump read and found (drives -1 when not found).
void ResultsBumpValues(long type, double sp1, double sp2, unsigned v1, float gain, float setPoint,
                       long drive1, long drive2);

int RunResults(const CommandDef& def, const Args& args);
