// torvanctl.exe keeps no results database yet: there is no SQLite for the cross compiler.
// Its commands take --db and --db-samples as on Linux, so that one command line means one
// thing; --db, --db-samples, TORVAN_DB and `results` say so and end with exit code 2, and the
// commands' own hooks have no run to add to.
#include "ctl/CtlResults.h"

#include "ctl/CtlArgs.h"

static const char* const NO_DATABASE =
    "no results database in torvanctl.exe on Windows (--db, TORVAN_DB, results): use "
    "torvanctl on Linux for that";

int ResultsBeginRun(const CLI::App* command, const std::vector<std::string>&) {
    const int asked = !ResultsGiven.Target.empty() || ResultsGiven.KeepSamples;
    return KeepsResults(command) && asked ? UsageError(NO_DATABASE, "") : EXIT_DONE;
}

int ResultsEndRun(int code) {
    return code;
}

TestOutcome ResultOutcome(int code) {
    return code == EXIT_DONE           ? OUTCOME_PASS
           : code == EXIT_LIMIT_FAILED ? OUTCOME_FAIL
                                       : OUTCOME_ERROR;
}

void ResultsBoardFound(const char*) {}
void ResultsAddSample(double, float, double) {}
void ResultsStepBoard(int, const StepReport&) {}
void ResultsCaptureBoard(int, TestOutcome, const char*, const char*, long) {}
void ResultsBumpBoard(TestOutcome, const char*) {}
void ResultsBumpLeft(const char*, const char*) {}
void ResultsBumpValues(long, double, double, unsigned, float, float, long, long) {}

int RunResults() {
    return UsageError(NO_DATABASE, "");
}
