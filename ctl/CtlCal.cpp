// torvanctl cal: calibration mode changes V1, V2 and V12, and the board's own values are put
// back when it is left. Entering and leaving happen in separate runs of this program, so the
// values travel in a small state file.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/Utf8File.h"
#include "ctl/CtlArgs.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlPlatform.h"
#include "device/LegacyBoardUtils.h"

namespace {
struct CalOptions {
    std::string Action;
    std::string Port;
    std::string State;
};
CalOptions Options;
} // namespace

// Calibration mode changes V1, V2 and V12 and the board's values are put back on exit. The
// two happen in separate runs of this program, so the values travel in a small file in the
// user's own state folder, with the port they came from.
static int CalStateFile(const char* port, char* out, size_t outSize) {
    char folder[300], why[400];
    if (!StateFolder(folder, sizeof folder, why, sizeof why)) {
        return Fail(EXIT_OTHER, "no folder for the calibration state: %s", why);
    }
    char safePort[64];
    size_t used = 0;
    for (const char* p = port; *p != '\0' && used + 1 < sizeof safePort; ++p) {
        char c = *p;
        int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        safePort[used++] = plain ? c : '_';
    }
    safePort[used] = '\0';
    snprintf(out, outSize, "%s/cal-%s.txt", folder, safePort);
    return EXIT_DONE;
}

struct CalSaved {
    char Port[256];
    unsigned V1, V2, V12;
};

// Reads the saved registers. EXIT_DONE, or the exit code of a reported failure: no file, a
// link in its place, unreadable, or saved from another port.
static int ReadCalState(const char* port, const char* stateFile, CalSaved* saved) {
    int isLink = 0;
    FILE* file = OpenPlainFile(stateFile, &isLink);
    if (file == nullptr) {
        return Fail(EXIT_OTHER,
                    isLink ? "%s is a link, not a state file of torvanctl: refused"
                           : "no saved registers in %s: run \"torvanctl cal enter\" first",
                    stateFile);
    }
    char line[300];
    int fields = 0;
    if (fgets(line, sizeof line, file) != nullptr && strncmp(line, "port ", 5) == 0) {
        line[strcspn(line, "\r\n")] = '\0';
        snprintf(saved->Port, sizeof saved->Port, "%s", line + 5);
        fields = fscanf(file, "V1 %u V2 %x V12 %u", &saved->V1, &saved->V2, &saved->V12);
    }
    fclose(file);
    if (fields != 3) {
        return Fail(EXIT_OTHER, "unreadable saved registers in %s", stateFile);
    }
    // Another board's calibration values would overwrite this one's own for good.
    if (strcmp(saved->Port, port) != 0) {
        fprintf(stderr,
                "torvanctl: the registers in %s were saved from %s, not %s: refused (run "
                "\"torvanctl cal exit %s\")\n",
                stateFile, saved->Port, port, saved->Port);
        return EXIT_OTHER;
    }
    return EXIT_DONE;
}

static int CalEnter(const char* port, const char* stateFile) {
    unsigned v1 = 0, v2 = 0, v12 = 0;
    // Read first, change after: nothing is touched if a value cannot be saved.
    if (!ReadRegister("V1\r", "%u", &v1) || !ReadRegister("V12\r", "%u", &v12) ||
        !ReadRegister("V2\r", "x%x", &v2)) {
        return EXIT_TIMED_OUT;
    }
    // Made only where nothing is yet: a second entry would save the calibration values over
    // the board's own, and a planted link would send them elsewhere.
    int existed = 0;
    FILE* file = CreateNewFile(stateFile, &existed);
    if (file == nullptr) {
        return Fail(EXIT_OTHER,
                    existed ? "registers already saved in %s: run \"torvanctl cal exit\" first "
                              "(or remove the file if the board was restored by other means)"
                            : "cannot create %s",
                    stateFile);
    }
    int written = fprintf(file, "port %s\nV1 %u\nV2 %x\nV12 %u\n", port, v1, v2, v12) > 0;
    if (fclose(file) != 0 || !written) {
        remove(stateFile);
        return Fail(EXIT_OTHER, "cannot write %s", stateFile);
    }
    int ok = EnterTorvanCalMode(Board);
    printf("calibration mode %s; saved V1=%u V2=%X V12=%u in %s\n", ok ? "on" : "requested", v1, v2,
           v12, stateFile);
    return ok ? EXIT_DONE : Fail(EXIT_TIMED_OUT, "%s", "no reply to ~EFSC");
}

static int CalExit(const char* stateFile, const CalSaved& saved) {
    // The same order as the library's exit: collection off, V12, V1, V2, factory mode off.
    char command[COMMAND_TEXT_SIZE];
    int ok = DisableFlowStateCollection(Board);
    snprintf(command, sizeof command, "V12=%u\r", saved.V12);
    ok = Require(command) == EXIT_DONE && ok;
    snprintf(command, sizeof command, "V1=%u\r", saved.V1);
    ok = Require(command) == EXIT_DONE && ok;
    snprintf(command, sizeof command, "V2=%x\r", saved.V2);
    ok = Require(command) == EXIT_DONE && ok;
    ok = DisableFactoryMode(Board) && ok;
    if (!ok) {
        return Fail(EXIT_TIMED_OUT, "%s", "the board did not take every restoring command");
    }
    RemoveFileUtf8(stateFile);
    printf("calibration mode off; restored V1=%u V2=%X V12=%u\n", saved.V1, saved.V2, saved.V12);
    return EXIT_DONE;
}

static int RunCal() {
    const char* action = Options.Action.c_str();
    const int enter = strcmp(action, "enter") == 0;
    const char* port = Options.Port.c_str();
    char stateFile[400];
    int code = EXIT_DONE;
    if (!Options.State.empty()) {
        snprintf(stateFile, sizeof stateFile, "%s", Options.State.c_str());
    } else {
        code = CalStateFile(port, stateFile, sizeof stateFile);
    }
    // The state file is checked before the board is touched.
    CalSaved saved = {};
    if (code == EXIT_DONE && !enter) {
        code = ReadCalState(port, stateFile, &saved);
    }
    if (code == EXIT_DONE && enter) {
        int isLink = 0;
        FILE* existing = OpenPlainFile(stateFile, &isLink);
        if (existing != nullptr || isLink) {
            if (existing != nullptr) {
                fclose(existing);
            }
            code = Fail(EXIT_OTHER,
                        isLink ? "%s is a link, not a state file of torvanctl: refused"
                               : "registers already saved in %s: run \"torvanctl cal exit\" "
                                 "first (or remove the file if the board was restored by other "
                                 "means)",
                        stateFile);
        }
    }
    if (code != EXIT_DONE) {
        return code;
    }
    code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    code = enter ? CalEnter(port, stateFile) : CalExit(stateFile, saved);
    CloseBoard();
    return code;
}

void DefineCalCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "cal",
        "Enters calibration mode, saving V1, V2 and V12 in a state file, or leaves it,\n"
        "writing the saved values back. The file (one per port) is by default in the user's\n"
        "own folder: $XDG_STATE_HOME/torvanctl or ~/.local/state/torvanctl on Linux,\n"
        "%TEMP%\\torvanctl on Windows. It is made only where nothing is (never through a\n"
        "link) and names its port: exit on another port, or from a link, is refused.",
        RunCal);
    command->add_option("enter|exit", Options.Action, "enter or leave calibration mode")
        ->required()
        ->check(CLI::IsMember({"enter", "exit"}));
    command->add_option("PORT", Options.Port, "the board's port: COM5, /dev/ttyUSB0")->required();
    AddText(command, "--state", &Options.State, "FILE", "the state file (default: one per port)");
}
