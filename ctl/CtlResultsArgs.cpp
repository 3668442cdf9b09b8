// The results' part of torvanctl's command line, the same on every system: --db and
// --db-samples on the commands that keep their runs, and the `results` command's definitions.
// What they do is CtlResults.cpp's (and, on Windows, that there is no database).
#include <string>

#include "ctl/CtlArgs.h"
#include "ctl/CtlResults.h"

ResultsArgs ResultsGiven;

static const char* const DB_OPTION = "--db";
static const char* const SAMPLES_OPTION = "--db-samples";
static const char* const DB_VARIABLE = "TORVAN_DB";

// An empty --db (or TORVAN_DB) names no database: it is refused rather than taken for none.
static CLI::Validator NamesADatabase() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            return text.empty() ? "needs the database's path" : "";
        },
        "", "PATH");
}

static CLI::Option* AddTarget(CLI::App* command, const char* help) {
    return AddText(command, DB_OPTION, &ResultsGiven.Target, "PATH|URI", help)
        ->envname(DB_VARIABLE)
        ->check(NamesADatabase());
}

void AddResultsOptions(CLI::App* command) {
    AddTarget(command, "keeps the run in a SQLite file or on a server (default: TORVAN_DB)");
    AddFlag(command, SAMPLES_OPTION, &ResultsGiven.KeepSamples,
            "keeps every sample too (with --db or TORVAN_DB)");
    command->footer(RESULTS_OPTIONS_HELP);
}

int KeepsResults(const CLI::App* command) {
    return command != nullptr && command->get_option_no_throw(SAMPLES_OPTION) != nullptr;
}

void DefineResultsCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "results",
        "Lists the runs kept in a results database (--db PATH or a PostgreSQL server's\n"
        "postgresql://... URI, else TORVAN_DB) by step-test, capture and bump-valve with\n"
        "--db: one line per board with the run's\n"
        "start (local time), the start of its id, the command, port, board, outcome (PASS,\n"
        "FAIL, ERROR, ABORTED: a run that has no end, killed, reads ABORTED) and why, oldest\n"
        "first. --board NAME and --port P keep one board's runs, --outcome O the boards with\n"
        "that outcome, --since WHEN those started from WHEN on: an ISO 8601 date\n"
        "(2026-12-07) or date and time (2026-12-07T08:00), local time unless it carries an\n"
        "offset (Z, +01:00). --json prints {\"runs\": [each run with its \"boards\"]}, --csv\n"
        "one row per board. \"show RUN\" (the id or its start) prints one run with its\n"
        "boards, their steps, capture and bump figures, and how many samples were kept;\n"
        "with --json as one object. \"sync\" sends the runs spooled while the server\n"
        "could not be reached, each row once, and removes from the spool what the server\n"
        "took; exit code 1 while the server is still not reachable. Not in torvanctl.exe\n"
        "(Windows): exit code 2 there.",
        RunResults);
    ResultsGiven.Results = command;
    command
        ->add_option("show|sync", ResultsGiven.Action,
                     "show: one run; sync: sends what was spooled for a server")
        ->check(CLI::IsMember({"show", "sync"}));
    command->add_option("RUN", ResultsGiven.Run, "the run's id, or the start of it (show)");
    AddTarget(command, "a SQLite file or postgresql://... (default: TORVAN_DB)");
    AddText(command, "--board", &ResultsGiven.Board, "NAME", "the runs of the board named NAME");
    AddText(command, "--port", &ResultsGiven.Port, "P", "the runs of the board on port P");
    AddText(command, "--since", &ResultsGiven.Since, "WHEN",
            "the runs started from WHEN on (ISO 8601)");
    AddText(command, "--outcome", &ResultsGiven.Outcome, "O",
            "the boards with outcome O: PASS, FAIL, ERROR or ABORTED");
    CLI::Option* json = AddFlag(command, "--json", &ResultsGiven.Json, "prints JSON");
    AddFlag(command, "--csv", &ResultsGiven.Csv, "prints CSV, one row per board")->excludes(json);
}
