// torvanctl: the board conversation from a console, for bench scripts and quick checks.
// Every command connects the way the window program does (finding the board's speed and
// moving the link to 230400), does its work, and puts the board's line ending and speed
// back before it ends, also after Ctrl-C.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "ctl/CtlArgs.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlPlatform.h"
#include "ctl/CtlResults.h"
#include "device/LegacyBoardUtils.h"

// The command line's exceptions (CLI11's) and the JSON writer's end here as exit codes: none
// reaches the device layer, which the commands call.
static int RunCommandLine(int argc, char** argv) {
    CLI::App root{"torvanctl"};
    root.set_help_flag("-h,--help");
    root.set_version_flag("--version", "torvanctl " TORVAN_VERSION);
    root.require_subcommand(0, 1);
    // An option given twice is a mistake to point out, not one of the two to pick.
    root.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    DefineProbeCommand(&root);
    DefineRestoreCommand(&root);
    DefineStateCommand(&root);
    DefineGetCommand(&root);
    DefineSetCommand(&root);
    DefineSetPointCommand(&root);
    DefineLogCommand(&root);
    DefineCalCommand(&root);
    DefineBumpValveCommand(&root);
    DefineCaptureCommand(&root);
    DefineStepTestCommand(&root);
    DefineWatchCommand(&root);
    DefineResultsCommand(&root);
    DefineSendCommand(&root);
    int code = ParseCommandLine(&root, argc, argv);
    if (code >= 0) {
        return code;
    }
    InstallInterruptHandler();
    InstallAbortCheck();
    // The device layer's progress and error lines are diagnostics: standard output is the
    // command's own (a CSV, a JSON object, a table).
    SetDeviceDiagnosticStream(stderr);
    // The run's start is stored before any board is touched, its end after it. The command
    // is argv[1] (the root has no options of its own that run on).
    code = ResultsBeginRun(root.get_subcommands().front(),
                           std::vector<std::string>(argv + 2, argv + argc));
    if (code == EXIT_DONE) {
        code = ParsedCommandRun(&root)();
    }
    // Output that could not be written (a closed pipe, a full disk) is a failed run.
    if (fflush(stdout) != 0 && code == EXIT_DONE) {
        code = Fail(EXIT_OTHER, "%s", "cannot write standard output");
    }
    code = ResultsEndRun(code);
    RunFinished();
    return code;
}

int main(int argc, char** argv) {
    Utf8Arguments(&argc, &argv);
    try {
        return RunCommandLine(argc, argv);
    } catch (const std::exception& error) {
        fprintf(stderr, "torvanctl: %s\n", error.what());
        RunFinished();
        return EXIT_OTHER;
    }
}
