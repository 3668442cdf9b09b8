// torvanctl bump-valve: settles at two set points and bumps the valve drive to the one found
// at the first; whatever a bump that fails has changed is put back.
#include <cstdio>
#include <cstring>
#include <string>

#include "ctl/CtlArgs.h"
#include "ctl/CtlBump.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlPlatform.h"
#include "ctl/CtlResults.h"
#include "device/LegacyBoardUtils.h"

namespace {
struct BumpOptions {
    std::string Port;
    long Type = 0;
    double Sp1 = 0.0, Sp2 = 0.0;
    double TimeoutS = 60.0;
};
BumpOptions Options;
} // namespace

BumpResult LastBump;

const BumpResult& LastBumpResult() {
    return LastBump;
}

// What a bump changes, as it was before, so that a bump that fails can put it back.
struct BumpBefore {
    unsigned V1;
    float SetPoint;
    float StoredGain; // V24: the board's own proportional gain, which ~PR overrides in RAM
};

// Puts back what the bump changed; says what that was and what could not be put back.
static void UndoBump(const BumpBefore& before, unsigned changed) {
    char command[COMMAND_TEXT_SIZE];
    char restored[200] = "", left[200] = "";
    // After Ctrl-C the replies to these still count.
    BeginRestoring();
    auto put = [&](unsigned bit, const char* what) {
        if (!(changed & bit)) {
            return;
        }
        char* list = Require(command) == EXIT_DONE ? restored : left;
        size_t used = strlen(list);
        snprintf(list + used, sizeof restored - used, "%s%s", used > 0 ? ", " : "", what);
    };
    char what[80];
    FormatSetPointCommand(before.SetPoint, command, sizeof command);
    snprintf(what, sizeof what, "set point %.4f", before.SetPoint);
    put(BUMP_CHANGED_SET_POINT, what);
    FormatProportionalRamCommand(before.StoredGain, command, sizeof command);
    snprintf(what, sizeof what, "~PR=%g (V24)", before.StoredGain);
    put(BUMP_CHANGED_GAIN, what);
    snprintf(command, sizeof command, "V1=%u\r", before.V1);
    snprintf(what, sizeof what, "V1=%u", before.V1);
    put(BUMP_CHANGED_V1, what);
    SetRestoring(0);
    if (restored[0] != '\0') {
        fprintf(stderr, "torvanctl: put back %s\n", restored);
    }
    if (left[0] != '\0') {
        fprintf(stderr, "torvanctl: left changed: %s\n", left);
    }
    ResultsBumpLeft(restored, left);
    if (changed & BUMP_CHANGED_DRIVE) {
        fprintf(stderr, "torvanctl: the valve drive may have been bumped (~BVD sent, no reply)\n");
    }
}

static int ReadBumpBefore(BumpBefore* before) {
    int code = ReadRegister("V1\r", "%u", &before->V1);
    if (code != EXIT_DONE) {
        return code;
    }
    code = AskCode("V24\r");
    if (code != EXIT_DONE) {
        return code;
    }
    if (sscanf(Reply, "%f", &before->StoredGain) != 1) {
        return Fail(EXIT_OTHER, "unexpected reply to V24: %s", Reply);
    }
    SystemStateRec state = {};
    if (!GetLegacyBoardStateVals(Board, &state)) {
        ClearSerialPortErrors();
        return Fail(StoppedOrTimedOut(), "%s",
                    StopWanted() ? "interrupted"
                                 : "no state record from the board for its set point");
    }
    before->SetPoint = state.SetPoint;
    return EXIT_DONE;
}

static int BumpValveOnce() {
    const long type = Options.Type;
    const double sp1 = Options.Sp1, sp2 = Options.Sp2, timeout = Options.TimeoutS;
    int code = OpenBoard(Options.Port.c_str());
    if (code != EXIT_DONE) {
        return code;
    }
    // A meter has no set point to settle at: it is refused before anything is sent.
    code = RequireController(Options.Port.c_str());
    BumpBefore before = {};
    if (code == EXIT_DONE) {
        code = ReadBumpBefore(&before);
    }
    if (code != EXIT_DONE) {
        CloseBoard();
        return code;
    }
    uint32_t drive1 = 0, drive2 = 0;
    BumpValveProgress progress;
    ClearSerialPortErrors();
    int bumped = BumpValveDriveWithin(Board, (int)type, (float)sp2, (float)sp1, &drive2, &drive1,
                                      timeout, &progress);
    // The library's progress lines (on standard error) do not all end their line.
    DeviceDiagnostic("\n");
    if (bumped) {
        LastBump.Drive1 = drive1;
        LastBump.Drive2 = drive2;
        printf("valve drive at %.4f %%FS: %u\n", sp1, (unsigned)drive1);
        printf("valve drive at %.4f %%FS: %u\n", sp2, (unsigned)drive2);
        ResultsBumpValues(type, sp1, sp2, before.V1, before.StoredGain, before.SetPoint,
                          (long)drive1, (long)drive2);
        CloseBoard();
        return EXIT_DONE;
    }
    uint32_t errors = GetSerialPortErrors();
    ClearSerialPortErrors();
    if (StopWanted() || progress.SettleFailed == SETTLE_INTERRUPTED) {
        code = Fail(EXIT_OTHER, "interrupted at %s", progress.FailedStep);
    } else if (progress.SettleFailed == SETTLE_TIMED_OUT) {
        // The board did not do what it was asked: the bump failed, rather than could not be made.
        LastBump.Outcome = OUTCOME_FAIL;
        code = Fail(EXIT_TIMED_OUT, "the flow did not %s in time", progress.FailedStep);
    } else if (progress.SettleFailed == SETTLE_NO_READINGS) {
        code = Fail(EXIT_TIMED_OUT, "no flow readings from the board (%s)", progress.FailedStep);
    } else if (errors & SERIAL_ERROR_TIMEOUT) {
        code = Fail(EXIT_TIMED_OUT, "no reply from the board to %s", progress.FailedStep);
    } else {
        code =
            Fail(EXIT_OTHER, "the board refused or garbled the reply to %s", progress.FailedStep);
    }
    UndoBump(before, progress.Changed);
    ResultsBumpValues(type, sp1, sp2, before.V1, before.StoredGain, before.SetPoint, -1, -1);
    CloseBoard();
    return code;
}

static int RunBumpValve() {
    LastBump = BumpResult{OUTCOME_ERROR, "", 0, 0};
    int code = BumpValveOnce();
    if (code == EXIT_DONE) {
        LastBump.Outcome = OUTCOME_PASS;
    } else if (StopWanted()) {
        LastBump.Outcome = OUTCOME_ABORTED;
    }
    LastBump.Reason = code == EXIT_DONE ? "" : LastFailure;
    ResultsBumpBoard(LastBump.Outcome, LastBump.Reason.c_str());
    return code;
}

void DefineBumpValveCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "bump-valve",
        "Settles at X and at Y (%FS, -100 to 200; flow type N: 0 filtered, 1 raw, 2 state),\n"
        "then bumps the valve drive to the drive found at X; prints both drives. Each settle\n"
        "wait gives up after S seconds (default 60, exit code 4). When a step fails or on\n"
        "Ctrl-C, the set point, the RAM gain (~PR, back to the stored V24) and V1 are put\n"
        "back, and whatever could not be is named.",
        RunBumpValve);
    command->add_option("PORT", Options.Port, "the board's port: COM5, /dev/ttyUSB0")->required();
    AddWhole(command, "--type", &Options.Type, 0, 2, "N", "0 filtered, 1 raw, 2 state flow")
        ->required();
    AddNumber(command, "--sp1", &Options.Sp1, -100.0, 200.0, "X", "the first set point, %FS")
        ->required();
    AddNumber(command, "--sp2", &Options.Sp2, -100.0, 200.0, "Y", "the second set point, %FS")
        ->required();
    AddPositive(command, "--timeout", &Options.TimeoutS, "S",
                "each settle wait gives up after S seconds (default 60)");
    AddResultsOptions(command);
}
