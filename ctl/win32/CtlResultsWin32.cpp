// torvanctl.exe keeps no results database yet: there is no SQLite for the cross compiler.
// --db, --db-samples, TORVAN_DB and `results` say so and end with exit code 2; the commands'
// own hooks have no run to add to.
#include "ctl/CtlResults.h"

#include <cstdlib>
#include <cstring>

static const char* const NO_DATABASE =
    "no results database in torvanctl.exe on Windows (--db, TORVAN_DB, results): use "
    "torvanctl on Linux for that";

static int KeepsResults(const CommandDef& def) {
    return strcmp(def.Name, "step-test") == 0 || strcmp(def.Name, "capture") == 0 ||
           strcmp(def.Name, "bump-valve") == 0;
}

int ResultsTakeOptions(const CommandDef& def, int* argc, char** argv) {
    if (!KeepsResults(def)) {
        return 0;
    }
    const char* target = getenv("TORVAN_DB");
    int asked = target != nullptr && target[0] != '\0';
    for (int i = 2; i < *argc; ++i) {
        asked = asked || strcmp(argv[i], "--db") == 0 || strcmp(argv[i], "--db-samples") == 0;
    }
    return asked ? UsageError(def, NO_DATABASE, "") : 0;
}

void PrintResultsHelp(const CommandDef& def) {
    if (KeepsResults(def)) {
        printf("\n%s", RESULTS_OPTIONS_HELP);
    }
}

int ResultsBeginRun(const CommandDef&, const Args&) {
    return EXIT_DONE;
}

int ResultsEndRun(int code) {
    return code;
}

const char* ResultOutcome(int code) {
    return code == EXIT_DONE ? "PASS" : code == EXIT_LIMIT_FAILED ? "FAIL" : "ERROR";
}

void ResultsBoardFound(const char*) {}
void ResultsAddSample(double, float, double) {}
void ResultsStepBoard(int, const StepReport&, int, const char*) {}
void ResultsCaptureBoard(int, int, const char*, const char*, long) {}
void ResultsBumpLeft(const char*, const char*) {}
void ResultsBumpValues(long, double, double, unsigned, float, float, long, long) {}

int RunResults(const CommandDef& def, const Args&) {
    return UsageError(def, NO_DATABASE, "");
}
