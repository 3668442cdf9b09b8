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
#include "device/PortLock.h"

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
// The file is named after the port's one name, so "ttyUSB0" and "/dev/ttyUSB0" (or "COM5" and
// "\\.\COM5") find the same file.
static int CalStateFile(const char* canonicalPort, std::string* out) {
    char folder[STATE_FOLDER_SIZE], why[STATE_FOLDER_SIZE + 100];
    if (!StateFolder(folder, sizeof folder, why, sizeof why)) {
        return Fail(EXIT_OTHER, "no folder for the calibration state: %s", why);
    }
    std::string safePort;
    for (const char* p = canonicalPort; *p != '\0' && safePort.size() < 200; ++p) {
        char c = *p;
        int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        safePort.push_back(plain ? c : '_');
    }
#ifdef _WIN32
    *out = std::string(folder) + "\\cal-" + safePort + ".txt";
#else
    *out = std::string(folder) + "/cal-" + safePort + ".txt";
#endif
    return EXIT_DONE;
}

struct CalSaved {
    std::string Port; // the one name of the port the registers came from
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
    char line[PORT_NAME_SIZE + 8];
    int fields = 0;
    if (fgets(line, sizeof line, file) != nullptr && strncmp(line, "port ", 5) == 0) {
        line[strcspn(line, "\r\n")] = '\0';
        char canonical[PORT_NAME_SIZE];
        saved->Port =
            CanonicalPortName(line + 5, canonical, sizeof canonical) ? canonical : line + 5;
        fields = fscanf(file, "V1 %u V2 %x V12 %u", &saved->V1, &saved->V2, &saved->V12);
    }
    fclose(file);
    if (fields != 3) {
        return Fail(EXIT_OTHER, "unreadable saved registers in %s", stateFile);
    }
    // Another board's calibration values would overwrite this one's own for good.
    if (saved->Port != port) {
        fprintf(stderr,
                "torvanctl: the registers in %s were saved from %s, not %s: refused (run "
                "\"torvanctl cal exit %s\")\n",
                stateFile, saved->Port.c_str(), port, saved->Port.c_str());
        return EXIT_OTHER;
    }
    return EXIT_DONE;
}

// The commands that turn calibration mode on, in the library's order. A command whose reply
// was lost may well have been carried out, so it counts as a change to undo; one the board
// refused does not.
struct CalStep {
    const char* Command;
    const char* Undo; // null: nothing to put back
};

// Puts back what the steps before `failed` changed (all of them when the reply to `failed`
// itself was lost). 1 when the board took every undoing command.
static int UndoCalEnter(const CalStep* steps, int count, const CalSaved& saved) {
    BeginRestoring();
    int ok = 1;
    for (int i = count - 1; i >= 0; --i) {
        char command[COMMAND_TEXT_SIZE];
        if (steps[i].Undo == nullptr) {
            continue;
        }
        snprintf(command, sizeof command, steps[i].Undo,
                 strncmp(steps[i].Command, "V2=", 3) == 0 ? saved.V2 : saved.V12);
        ok = Require(command) == EXIT_DONE && ok;
    }
    SetRestoring(0);
    return ok;
}

static int CalEnter(const char* port, const char* stateFile) {
    CalSaved saved = {};
    // Read first, change after: nothing is touched if a value cannot be saved.
    int code = ReadRegister("V1\r", "%u", &saved.V1);
    code = code == EXIT_DONE ? ReadRegister("V12\r", "%u", &saved.V12) : code;
    code = code == EXIT_DONE ? ReadRegister("V2\r", "x%x", &saved.V2) : code;
    if (code != EXIT_DONE) {
        return code;
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
    int written =
        fprintf(file, "port %s\nV1 %u\nV2 %x\nV12 %u\n", port, saved.V1, saved.V2, saved.V12) > 0;
    // On disk before the board is changed: a later "cal exit" depends on it.
    if (!CloseSyncedFile(file) || !written) {
        RemoveFileUtf8(stateFile);
        return Fail(EXIT_OTHER, "cannot write %s", stateFile);
    }
    static const CalStep steps[] = {
        {"FLOK=5807\r", "FLOK\r"},
        {"V2=141\r", "V2=%x\r"},
        {"V12=0\r", "V12=%u\r"},
        {"~EFSC\r", "~DFSC\r"},
    };
    // Replies without the board's verbose words, as the library asks for them.
    Ask("S112=0\r");
    int done = 0;
    for (const CalStep& step : steps) {
        // Ctrl-C stops before the next change, not after all of them.
        if (StopWanted()) {
            code = Fail(EXIT_OTHER, "%s", "interrupted");
            break;
        }
        code = Require(step.Command);
        if (code != EXIT_DONE) {
            // Lost, not refused: it may have been carried out.
            done += ReplyKind == REPLY_MISSING ? 1 : 0;
            break;
        }
        ++done;
    }
    if (code == EXIT_DONE) {
        printf("calibration mode on; saved V1=%u V2=%X V12=%u in %s\n", saved.V1, saved.V2,
               saved.V12, stateFile);
        return EXIT_DONE;
    }
    if (UndoCalEnter(steps, done, saved)) {
        RemoveFileUtf8(stateFile);
        fprintf(stderr, "torvanctl: calibration mode not entered; the board is as it was\n");
    } else {
        fprintf(stderr,
                "torvanctl: calibration mode not entered, and the board did not take every "
                "command that puts it back: its registers stay saved in %s for \"torvanctl cal "
                "exit\"\n",
                stateFile);
    }
    return code;
}

static int CalExit(const char* stateFile, const CalSaved& saved) {
    // The same order as the library's exit: collection off, V12, V1, V2, factory mode off. Every
    // one is sent even after Ctrl-C or a refusal: each puts back a value of its own.
    BeginRestoring();
    char command[COMMAND_TEXT_SIZE];
    int code = Require("~DFSC\r");
    auto require = [&code](const char* line) {
        int one = Require(line);
        code = code == EXIT_DONE ? one : code;
    };
    snprintf(command, sizeof command, "V12=%u\r", saved.V12);
    require(command);
    snprintf(command, sizeof command, "V1=%u\r", saved.V1);
    require(command);
    snprintf(command, sizeof command, "V2=%x\r", saved.V2);
    require(command);
    require("FLOK\r");
    SetRestoring(0);
    if (code != EXIT_DONE) {
        return Fail(code,
                    "the board did not take every restoring command: the registers stay "
                    "saved in %s",
                    stateFile);
    }
    RemoveFileUtf8(stateFile);
    printf("calibration mode off; restored V1=%u V2=%X V12=%u\n", saved.V1, saved.V2, saved.V12);
    return EXIT_DONE;
}

static int RunCal() {
    const char* action = Options.Action.c_str();
    const int enter = strcmp(action, "enter") == 0;
    char port[PORT_NAME_SIZE];
    if (!CanonicalPortName(Options.Port.c_str(), port, sizeof port)) {
        return UsageError("the port's name is too long: ", Options.Port.c_str());
    }
    std::string state = Options.State;
    int code = state.empty() ? CalStateFile(port, &state) : EXIT_DONE;
    const char* stateFile = state.c_str();
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
    code = OpenBoard(Options.Port.c_str());
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
