// torvanctl: the board conversation from a console, for bench scripts and quick checks.
// Every command connects the way the window program does (finding the board's speed and
// moving the link to 230400), does its work, and puts the board's line ending and speed
// back before it ends, also after Ctrl-C.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/LogFormat.h"
#include "app/Utf8File.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlPlatform.h"
#include "ctl/CtlResults.h"
#include "device/DeviceClock.h"
#include "device/LegacyBoardUtils.h"

// State records lost in a row before the log gives the board up.
constexpr int MAX_FAILED_SAMPLES = 3;

// ---------------------------------------------------------------------------------------
// Commands

static int RunProbe(const CommandDef&, const Args& args) {
    const char* port = args.Positional[0];
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    uint32_t speed = GetInitialBaudRate();
    uint32_t newLine = GetInitialNewLine();
    unsigned config = 0;
    char name[REPLY_TEXT_SIZE];
    code = EXIT_TIMED_OUT;
    if (AskOrFail("S64\r")) {
        if (sscanf(Reply, "x%x", &config) != 1) {
            CloseBoard();
            return Fail(EXIT_OTHER, "unexpected product configuration reply \"%s\"", Reply);
        }
        if (AskOrFail("S54\r")) {
            CleanBoardText(Reply, name, sizeof name);
            printf("port: %s\n", port);
            printf("kind: %s\n", (config & 1u) ? "controller" : "meter");
            printf("name: %s\n", name);
            printf("speed: %u\n", (unsigned)speed);
            printf("line ending: 0x%X\n", (unsigned)newLine);
            code = EXIT_DONE;
        }
    }
    CloseBoard();
    return code;
}

// A board left at the link speed by a program that could not put it back (killed, or its
// link lost) keeps 230400 and CR LF, and is found that way. This finds it and ends the
// connection with the speed and line ending the operator names instead.
static int RunRestore(const CommandDef& def, const Args& args) {
    long baud = 0;
    if (!ParseLong(args.Value[0], 0, LONG_MAX, &baud) ||
        (baud != 9600 && baud != 19200 && baud != 230400)) {
        return UsageError(def, "--baud must be 9600, 19200 or 230400, not ",
                          args.Present[0] ? args.Value[0] : "missing");
    }
    uint32_t newLine = 0xD;
    const char* ending = args.Present[1] ? args.Value[1] : "cr";
    if (strcmp(ending, "crlf") == 0) {
        newLine = 0xD0A;
    } else if (strcmp(ending, "cr") != 0) {
        return UsageError(def, "--line-ending must be cr or crlf, not ", ending);
    }
    const char* port = args.Positional[0];
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    printf("found at: %u, line ending 0x%X\n", (unsigned)GetInitialBaudRate(),
           (unsigned)GetInitialNewLine());
    SetLineSettingsToRestore((uint32_t)baud, newLine);
    CloseBoard();
    printf("left at: %ld, line ending 0x%X\n", baud, (unsigned)newLine);
    return EXIT_DONE;
}

static void PrintJsonFloat(const char* key, float value, const char* after) {
    if (std::isfinite(value)) {
        printf("\"%s\":%.9g%s", key, value, after);
    } else {
        printf("\"%s\":null%s", key, after);
    }
}

static void PrintStateJson(const SystemStateRec& s) {
    printf("{\"raw_flow_counts\":%d,", (int)s.RawFlowCounts);
    PrintJsonFloat("flow", s.Flow, ",");
    PrintJsonFloat("set_point", s.SetPoint, ",");
    PrintJsonFloat("aux_value_1", s.AuxValue1, ",");
    PrintJsonFloat("aux_value_2", s.AuxValue2, ",");
    PrintJsonFloat("aux_value_3", s.AuxValue3, ",");
    PrintJsonFloat("aux_value_4", s.AuxValue4, ",");
    PrintJsonFloat("totalizer_flow", s.TotalizerFlow, ",");
    printf("\"aux_word_1\":%u,\"aux_word_2\":%u,\"status_flags\":%u,\"alarms\":[",
           (unsigned)s.AuxWord1, (unsigned)s.AuxWord2, (unsigned)s.StatusFlags);
    const char* separator = "";
    for (const auto& status : StatusTexts) {
        if (s.StatusFlags & status.Bit) {
            printf("%s\"%s\"", separator, status.Text);
            separator = ",";
        }
    }
    printf("],\"active_gas\":%u}\n", (unsigned)s.ActiveGas);
}

static void PrintStateText(const SystemStateRec& s) {
    printf("raw flow counts: %d\n", (int)s.RawFlowCounts);
    printf("flow: %.4f %%FS\n", s.Flow);
    printf("set point: %.4f %%FS\n", s.SetPoint);
    printf("aux values: %g %g %g %g\n", s.AuxValue1, s.AuxValue2, s.AuxValue3, s.AuxValue4);
    printf("totalizer flow: %.4f\n", s.TotalizerFlow);
    printf("aux words: %u %u\n", (unsigned)s.AuxWord1, (unsigned)s.AuxWord2);
    printf("status flags: 0x%04X", (unsigned)s.StatusFlags);
    for (const auto& status : StatusTexts) {
        if (s.StatusFlags & status.Bit) {
            printf(", %s", status.Text);
        }
    }
    printf("\nactive gas: %u\n", (unsigned)s.ActiveGas);
}

// Reads one state record; on failure reports why and returns the exit code (else 0).
static int ReadState(SystemStateRec* state) {
    if (GetLegacyBoardStateVals(Board, state)) {
        return EXIT_DONE;
    }
    uint32_t errors = GetSerialPortErrors();
    ClearSerialPortErrors();
    if (Interrupted()) {
        return Fail(EXIT_OTHER, "%s", "interrupted");
    }
    if (errors & SERIAL_ERROR_TIMEOUT) {
        return Fail(EXIT_TIMED_OUT, "%s", "no state record from the board (time-out)");
    }
    return Fail(EXIT_OTHER, "%s", "bad state record from the board (checksum)");
}

static int RunState(const CommandDef&, const Args& args) {
    int code = OpenBoard(args.Positional[0]);
    if (code != EXIT_DONE) {
        return code;
    }
    SystemStateRec state = {};
    code = ReadState(&state);
    CloseBoard();
    if (code == EXIT_DONE) {
        if (args.Present[0]) {
            PrintStateJson(state);
        } else {
            PrintStateText(state);
        }
    }
    return code;
}

// A register name the board can take as one token: no blanks, '=' or line breaks.
static int ValidRegister(const char* name) {
    size_t length = strlen(name);
    return length > 0 && length < 32 && strcspn(name, " \t\r\n=") == length;
}

static int RunRegisterCommand(const char* port, const char* command, int rejectIsError) {
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    code = EXIT_TIMED_OUT;
    if (AskOrFail(command)) {
        TrimLineEnd(Reply);
        printf("%s\n", Reply);
        code = EXIT_DONE;
        if (rejectIsError && RejectedByBoard()) {
            code = Fail(EXIT_OTHER, "%s", "the board rejected the command");
        }
    }
    CloseBoard();
    return code;
}

static int RunGet(const CommandDef& def, const Args& args) {
    const char* name = args.Positional[1];
    if (!ValidRegister(name)) {
        return UsageError(def, "bad register name ", name);
    }
    char command[COMMAND_TEXT_SIZE];
    snprintf(command, sizeof command, "%s\r", name);
    return RunRegisterCommand(args.Positional[0], command, 1);
}

static int RunSet(const CommandDef& def, const Args& args) {
    const char* name = args.Positional[1];
    const char* value = args.Positional[2];
    if (!ValidRegister(name)) {
        return UsageError(def, "bad register name ", name);
    }
    if (strcspn(value, "\r\n") != strlen(value) || strlen(value) > 200) {
        return UsageError(def, "bad value ", value);
    }
    char command[COMMAND_TEXT_SIZE];
    snprintf(command, sizeof command, "%s=%s\r", name, value);
    return RunRegisterCommand(args.Positional[0], command, 1);
}

static int RunSend(const CommandDef& def, const Args& args) {
    const char* text = args.Positional[1];
    size_t length = strlen(text);
    if (length > 0 && text[length - 1] == '\r') {
        --length;
    }
    if (length == 0 || length > 250 || strcspn(text, "\r\n") < length) {
        return UsageError(def, "bad command text ", text);
    }
    char command[COMMAND_TEXT_SIZE];
    snprintf(command, sizeof command, "%.*s\r", (int)length, text);
    return RunRegisterCommand(args.Positional[0], command, 0);
}

static const char* SettleOutcomeText(SettleOutcome outcome) {
    switch (outcome) {
    case SETTLE_TIMED_OUT:
        return "the flow did not settle in time";
    case SETTLE_INTERRUPTED:
        return "interrupted";
    case SETTLE_NO_READINGS:
        return "no flow readings from the board";
    default:
        return "settled";
    }
}

static int RunSetPoint(const CommandDef& def, const Args& args) {
    double percent;
    if (!ParseDouble(args.Positional[1], &percent) || percent < -100.0 || percent > 200.0) {
        return UsageError(def, "bad set point ", args.Positional[1]);
    }
    const int waitSettle = args.Present[0];
    double band = 0.0, timeout = 30.0;
    long forMs = 1000;
    if (waitSettle && (!ParseDouble(args.Value[0], &band) || band <= 0.0)) {
        return UsageError(def, "bad band ", args.Value[0]);
    }
    if (args.Present[1] && !ParseLong(args.Value[1], 5, 600000, &forMs)) {
        return UsageError(def, "bad --for ", args.Value[1]);
    }
    if (args.Present[2] && (!ParseDouble(args.Value[2], &timeout) || timeout <= 0.0)) {
        return UsageError(def, "bad --timeout ", args.Value[2]);
    }
    if (!waitSettle && (args.Present[1] || args.Present[2])) {
        return UsageError(def, "--for and --timeout need --wait-settle", "");
    }

    int code = OpenBoard(args.Positional[0]);
    if (code != EXIT_DONE) {
        return code;
    }
    double sentAt = DeviceNowSeconds();
    BoardReply reply;
    if (!SetBoardSetPoint(Board, percent, &reply)) {
        char command[COMMAND_TEXT_SIZE];
        FormatSetPointCommand(percent, command, sizeof command);
        code = ReportReply(command, reply);
        CloseBoard();
        return code;
    }
    printf("set point: %.4f %%FS\n", percent);
    if (waitSettle) {
        float low = (float)(percent - band), high = (float)(percent + band);
        SettleResult result =
            WaitForFlowToSettleWithin(Board, FLOW_FILTERED, low, high, (int)forMs, timeout, sentAt);
        if (result.Outcome == SETTLED) {
            printf("settled in %.3f s (within %.4f..%.4f for %ld ms; wait took %.3f s)\n",
                   result.SettleSeconds, low, high, forMs, result.ElapsedSeconds);
        } else {
            code = result.Outcome == SETTLE_INTERRUPTED ? EXIT_OTHER : EXIT_TIMED_OUT;
            fprintf(stderr, "torvanctl: %s after %.3f s (last flow %.4f)\n",
                    SettleOutcomeText(result.Outcome), result.ElapsedSeconds, result.LastSample);
        }
    }
    CloseBoard();
    return code;
}

static int LogSamples(FILE* file, const char* fileName, long intervalMs, double durationS) {
    const int withMilliseconds = SplitLogInterval((uint32_t)intervalMs).Milliseconds != 0;
    const double interval = intervalMs / 1000.0;
    const double start = DeviceNowSeconds();
    const double end = durationS > 0.0 ? start + durationS : -1.0;
    int failedInRow = 0;
    for (long tick = 1;; ++tick) {
        double due = start + tick * interval;
        if (end >= 0.0 && due > end) {
            return EXIT_DONE;
        }
        SleepUntil(due);
        if (Interrupted()) {
            return EXIT_DONE;
        }
        SystemStateRec state = {};
        if (!GetLegacyBoardStateVals(Board, &state)) {
            ClearSerialPortErrors();
            if (++failedInRow >= MAX_FAILED_SAMPLES) {
                return Fail(EXIT_TIMED_OUT, "%s", "the board stopped sending state records");
            }
            continue;
        }
        failedInRow = 0;
        char line[128];
        FormatLogSample(CurrentLocalTime(), state.Flow, withMilliseconds, line, sizeof line);
        int code = WriteLine(file, line, fileName);
        if (code != EXIT_DONE) {
            return code;
        }
        // A slow reply must not make the log catch up with a burst of samples.
        double now = DeviceNowSeconds();
        if (now > due + interval) {
            tick = (long)((now - start) / interval);
        }
    }
}

static int RunLog(const CommandDef& def, const Args& args) {
    long intervalMs = 0;
    double durationS = -1.0;
    if (!args.Present[0] || !ParseLong(args.Value[0], 1, 86400000, &intervalMs)) {
        return UsageError(def, "--interval MS is needed (1 ms or more)", "");
    }
    if (args.Present[1] && (!ParseDouble(args.Value[1], &durationS) || durationS <= 0.0)) {
        return UsageError(def, "bad --duration ", args.Value[1]);
    }
    const char* fileName = args.Present[2] ? args.Value[2] : "standard output";

    int code = OpenBoard(args.Positional[0]);
    if (code != EXIT_DONE) {
        return code;
    }
    char board[300];
    if (!DescribeBoard(board, sizeof board)) {
        CloseBoard();
        return EXIT_TIMED_OUT;
    }
    FILE* file = stdout;
    if (args.Present[2]) {
        file = OpenFileUtf8(args.Value[2], "w");
        if (file == nullptr) {
            CloseBoard();
            return Fail(EXIT_OTHER, "cannot create %s", args.Value[2]);
        }
    }

    char header[512];
    FormatLogHeader((uint32_t)intervalMs, header, sizeof header);
    TrimLineEnd(header);
    size_t used = strlen(header);
    snprintf(header + used, sizeof header - used, "%s\n", board);
    code = WriteLine(file, header, fileName);
    if (code == EXIT_DONE) {
        code = LogSamples(file, fileName, intervalMs, durationS);
    }
    if (file != stdout && fclose(file) != 0 && code == EXIT_DONE) {
        code = Fail(EXIT_OTHER, "cannot write %s", fileName);
    }
    CloseBoard();
    return code;
}

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

static int ReadRegister(const char* command, const char* format, unsigned* value) {
    if (!AskOrFail(command)) {
        return 0;
    }
    if (sscanf(Reply, format, value) != 1) {
        char shown[16];
        snprintf(shown, sizeof shown, "%s", command);
        shown[strcspn(shown, "\r")] = '\0';
        Fail(EXIT_OTHER, "unexpected reply to %s", shown);
        return 0;
    }
    return 1;
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

static int RunCal(const CommandDef& def, const Args& args) {
    const char* action = args.Positional[0];
    const int enter = strcmp(action, "enter") == 0;
    if (!enter && strcmp(action, "exit") != 0) {
        return UsageError(def, "expected enter or exit, not ", action);
    }
    if (args.PositionalCount < 2) {
        return UsageError(def, "missing PORT", "");
    }
    const char* port = args.Positional[1];
    char stateFile[400];
    int code = EXIT_DONE;
    if (args.Present[0]) {
        snprintf(stateFile, sizeof stateFile, "%s", args.Value[0]);
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
    SetRestoring(1);
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
    if (!ReadRegister("V1\r", "%u", &before->V1)) {
        return EXIT_TIMED_OUT;
    }
    if (!AskOrFail("V24\r")) {
        return EXIT_TIMED_OUT;
    }
    if (sscanf(Reply, "%f", &before->StoredGain) != 1) {
        return Fail(EXIT_OTHER, "unexpected reply to V24: %s", Reply);
    }
    SystemStateRec state = {};
    if (!GetLegacyBoardStateVals(Board, &state)) {
        ClearSerialPortErrors();
        return Fail(EXIT_TIMED_OUT, "%s", "no state record from the board for its set point");
    }
    before->SetPoint = state.SetPoint;
    return EXIT_DONE;
}

static int RunBumpValve(const CommandDef& def, const Args& args) {
    long type = 0;
    double sp1 = 0.0, sp2 = 0.0, timeout = 60.0;
    if (!args.Present[0] || !ParseLong(args.Value[0], 0, 2, &type)) {
        return UsageError(def, "--type must be 0, 1 or 2", "");
    }
    if (!args.Present[1] || !ParseDouble(args.Value[1], &sp1) || sp1 < -100.0 || sp1 > 200.0) {
        return UsageError(def, "--sp1 PERCENT is needed (-100 to 200)", "");
    }
    if (!args.Present[2] || !ParseDouble(args.Value[2], &sp2) || sp2 < -100.0 || sp2 > 200.0) {
        return UsageError(def, "--sp2 PERCENT is needed (-100 to 200)", "");
    }
    if (args.Present[3] && (!ParseDouble(args.Value[3], &timeout) || timeout <= 0.0)) {
        return UsageError(def, "bad --timeout ", args.Value[3]);
    }
    int code = OpenBoard(args.Positional[0]);
    if (code != EXIT_DONE) {
        return code;
    }
    BumpBefore before = {};
    code = ReadBumpBefore(&before);
    if (code != EXIT_DONE) {
        CloseBoard();
        return code;
    }
    uint32_t drive1 = 0, drive2 = 0;
    BumpValveProgress progress;
    ClearSerialPortErrors();
    int bumped = BumpValveDriveWithin(Board, (int)type, (float)sp2, (float)sp1, &drive2, &drive1,
                                      timeout, &progress);
    // The library's progress lines do not all end their line.
    printf("\n");
    if (bumped) {
        printf("valve drive at %.4f %%FS: %u\n", sp1, (unsigned)drive1);
        printf("valve drive at %.4f %%FS: %u\n", sp2, (unsigned)drive2);
        ResultsBumpValues(type, sp1, sp2, before.V1, before.StoredGain, before.SetPoint,
                          (long)drive1, (long)drive2);
        CloseBoard();
        return EXIT_DONE;
    }
    uint32_t errors = GetSerialPortErrors();
    ClearSerialPortErrors();
    if (Interrupted() || progress.SettleFailed == SETTLE_INTERRUPTED) {
        code = Fail(EXIT_OTHER, "interrupted at %s", progress.FailedStep);
    } else if (progress.SettleFailed == SETTLE_TIMED_OUT) {
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

// ---------------------------------------------------------------------------------------

static const CommandDef Commands[] = {
    {"probe",
     "probe PORT",
     "Finds the board and its speed; prints its kind, name, the speed it was found at\n"
     "and its line-ending setting.",
     1,
     1,
     {},
     RunProbe},
    {"restore",
     "restore PORT --baud N [--line-ending cr|crlf]",
     "Puts a board back that a program left at its own 230400 with CR LF (it was killed,\n"
     "or lost the link): finds the board and leaves it at speed N (9600, 19200 or\n"
     "230400) with the line ending given (default cr), instead of the ones it was found\n"
     "with. Prints both.",
     1,
     1,
     {{"--baud", 1}, {"--line-ending", 1}},
     RunRestore},
    {"state",
     "state PORT [--json]",
     "Reads one state record (~GLSV) and prints it, or one JSON object with --json.",
     1,
     1,
     {{"--json", 0}},
     RunState},
    {"get",
     "get PORT REGISTER",
     "Reads a register (\"REGISTER\\r\") and prints the board's reply.",
     2,
     2,
     {},
     RunGet},
    {"set",
     "set PORT REGISTER VALUE",
     "Writes a register (\"REGISTER=VALUE\\r\") and prints the board's reply.",
     3,
     3,
     {},
     RunSet},
    {"setpoint",
     "setpoint PORT PERCENT [--wait-settle BAND [--for MS] [--timeout S]]",
     "Sends a set point in %FS. With --wait-settle, waits until the filtered flow stays\n"
     "within PERCENT +/- BAND for MS (default 1000) and prints the settle time; gives up\n"
     "after S seconds (default 30, exit code 4).",
     2,
     2,
     {{"--wait-settle", 1}, {"--for", 1}, {"--timeout", 1}},
     RunSetPoint},
    {"log",
     "log PORT --interval MS [--duration S] [--out FILE.csv]",
     "Logs the flow every MS milliseconds in the window program's CSV format, to FILE or\n"
     "standard output, until S seconds have passed or Ctrl-C.",
     1,
     1,
     {{"--interval", 1}, {"--duration", 1}, {"--out", 1}},
     RunLog},
    {"cal",
     "cal enter|exit PORT [--state FILE]",
     "Enters calibration mode, saving V1, V2 and V12 in a state file, or leaves it,\n"
     "writing the saved values back. The file (one per port) is by default in the user's\n"
     "own folder: $XDG_STATE_HOME/torvanctl or ~/.local/state/torvanctl on Linux,\n"
     "%TEMP%\\torvanctl on Windows. It is made only where nothing is (never through a\n"
     "link) and names its port: exit on another port, or from a link, is refused.",
     2,
     2,
     {{"--state", 1}},
     RunCal},
    {"bump-valve",
     "bump-valve PORT --type N --sp1 X --sp2 Y [--timeout S]",
     "Settles at X and at Y (%FS, -100 to 200; flow type N: 0 filtered, 1 raw, 2 state),\n"
     "then bumps the valve drive to the drive found at X; prints both drives. Each settle\n"
     "wait gives up after S seconds (default 60, exit code 4). When a step fails or on\n"
     "Ctrl-C, the set point, the RAM gain (~PR, back to the stored V24) and V1 are put\n"
     "back, and whatever could not be is named.",
     1,
     1,
     {{"--type", 1}, {"--sp1", 1}, {"--sp2", 1}, {"--timeout", 1}},
     RunBumpValve},
    {"capture",
     "capture PORT [PORT ...] [--duration S] [--out FILE.csv | --out-dir DIR] [--set-point]",
     "Records every flow sample the board makes (one per 5 ms, none lost or repeated) as\n"
     "CSV to FILE or standard output, until S seconds have passed or Ctrl-C. Columns:\n"
     "time_s (since the capture began, 5 ms apart, kept to the computer's clock) and\n"
     "flow_pct (%FS); with --set-point also set_point_pct, the board's set point.\n"
     "Several ports (a bench of boards) need --out-dir: each board gets its own CSV there,\n"
     "named after its port and name (COM5-Bench_2.csv, COM6-unnamed.csv), all boards are\n"
     "read side by side and their times count from one common start, so their rows line\n"
     "up. A board that is\n"
     "missing or fails does not stop the others; a line per board says how many samples\n"
     "went to which file, and the exit code is that of the first board that failed.",
     1,
     MAX_POSITIONALS,
     {{"--duration", 1}, {"--out", 1}, {"--set-point", 0}, {"--out-dir", 1}},
     RunCapture},
    {"step-test",
     "step-test PORT [PORT ...] --steps LIST --hold S [--band B] [--settle-for MS]\n"
     "            [--max-settle MS] [--max-overshoot PCT] [--max-error PCT] [--json]\n"
     "            [--csv FILE] [--svg FILE] [--out-dir DIR]",
     "Sends each set point of LIST (%FS, e.g. 0,25,50,75,100,0), holds it S seconds while\n"
     "recording every flow sample, and measures each step from the previous set point:\n"
     "  settle_ms       sending to the first sample after which the flow stays within\n"
     "                  +/- B %FS (default 1) of the set point for the rest of the hold\n"
     "                  (or for MS with --settle-for); none when it never settles\n"
     "  rise_ms         10 % to 90 % of the step; none for a step of 0\n"
     "  overshoot_pct   largest excursion beyond the set point in the step's direction\n"
     "  mean_error_pct, noise_pct   mean and standard deviation of flow - set point over\n"
     "                  the last second of the hold\n"
     "Prints a table and a PASS/FAIL line, or one JSON object with --json. --csv writes\n"
     "every sample (time, set point, flow) as it comes, --svg a plot of set point and flow\n"
     "against time with the bands and settle times (two different files). Limits: --max-settle (a "
     "step that never\n"
     "settles fails it), --max-overshoot, --max-error (|mean error|). Exit code 5 when a\n"
     "limit fails. The board is left at the last set point of LIST.\n"
     "Several ports (a bench of boards): the plan runs on every board at once, the steps\n"
     "sent together. With --out-dir each board gets its JSON, CSV and SVG there (named\n"
     "after its port and name); --csv and --svg are for one board. Prints a summary (port,\n"
     "board, worst settle, worst overshoot, worst |mean error|, PASS/FAIL), or with --json\n"
     "{\"pass\": ..., \"boards\": [each board's report with its \"port\"]}. A board that\n"
     "fails a limit, or whose test breaks off (no reply to a set point, a meter), FAILs:\n"
     "exit code 5, the failing boards named. A board that is missing or cannot be\n"
     "reached does not stop the others; it is listed as NOT TESTED and its exit code\n"
     "(3 no board found or the port in use) is the run's.",
     1,
     MAX_POSITIONALS,
     {{"--steps", 1},
      {"--hold", 1},
      {"--band", 1},
      {"--settle-for", 1},
      {"--max-settle", 1},
      {"--max-overshoot", 1},
      {"--max-error", 1},
      {"--json", 0},
      {"--csv", 1},
      {"--svg", 1},
      {"--out-dir", 1}},
     RunStepTest},
    {"watch",
     "watch PORT [PORT ...] [--once [--json]] [--duration S]",
     "Shows a bench of boards as a live table, one row per board, redrawn about five\n"
     "times a second: port, name (or \"unnamed controller\" or \"meter\"), flow and set\n"
     "point in %FS and in the active gas's units, the gas, the link (connecting,\n"
     "connected, reconnecting, gone) and the status flags in words. Rows with an alarm are\n"
     "yellow, failures and lost links red (no colour when NO_COLOR is set; to a file or a\n"
     "pipe, a plain table a second). A board that falls silent or is unplugged is looked\n"
     "for again every second while the others carry on. Ctrl-C (or S seconds) ends it,\n"
     "every board put back, the last table left on screen. --once prints one snapshot as\n"
     "soon as every board has answered or failed its first attempt (after S seconds with\n"
     "--duration), as a table or with --json as {\"boards\": [...]}; its exit code is 3\n"
     "when a board is not connected then.",
     1,
     MAX_POSITIONALS,
     {{"--once", 0}, {"--json", 0}, {"--duration", 1}},
     RunWatch},
    {"results",
     "results [show RUN | sync] [--db PATH|URI] [--board NAME] [--port P]\n"
     "            [--since WHEN] [--outcome O] [--json|--csv]",
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
     0,
     2,
     {{"--db", 1},
      {"--board", 1},
      {"--port", 1},
      {"--since", 1},
      {"--outcome", 1},
      {"--json", 0},
      {"--csv", 0}},
     RunResults},
    {"send",
     "send PORT TEXT",
     "Sends one raw command line and prints the reply.",
     2,
     2,
     {},
     RunSend},
};

static void PrintOverview(FILE* out) {
    fprintf(out, "usage: torvanctl COMMAND PORT ... (PORT: COM5 on Windows, a device path "
                 "elsewhere)\n\ncommands:\n");
    for (const CommandDef& def : Commands) {
        fprintf(out, "  %s\n", def.Usage);
    }
    fprintf(out, "\n\"torvanctl COMMAND --help\" describes a command. Exit codes: 0 done, 2 bad "
                 "arguments,\n3 no board found or the port in use, 4 time-out, 5 a step-test "
                 "limit failed,\n1 other errors. A command the board refuses is an error (1), with "
                 "its words.\n"
                 "Ctrl-C, SIGTERM, SIGHUP and a closed output pipe end a command early; the\n"
                 "board gets its speed and line ending back either way. While a command runs\n"
                 "its port is locked: a second torvanctl on it ends with exit code 3.\n"
                 "\"torvanctl --version\" prints the version.\n"
                 "The commands, replies and frames the board speaks are described in "
                 "docs/protocol.md.\n");
}

static int WantsHelp(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
            return 1;
        }
    }
    return 0;
}

int main(int argc, char** argv) {
    Utf8Arguments(&argc, &argv);
    if (argc < 2) {
        PrintOverview(stderr);
        return EXIT_USAGE;
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
        strcmp(argv[1], "help") == 0) {
        PrintOverview(stdout);
        return EXIT_DONE;
    }
    if (strcmp(argv[1], "--version") == 0) {
        printf("torvanctl %s\n", TORVAN_VERSION);
        return EXIT_DONE;
    }
    for (const CommandDef& def : Commands) {
        if (strcmp(argv[1], def.Name) != 0) {
            continue;
        }
        if (WantsHelp(argc - 2, argv + 2)) {
            printf("usage: torvanctl %s\n\n%s\n", def.Usage, def.Help);
            PrintResultsHelp(def);
            return EXIT_DONE;
        }
        // Results database (--db, --db-samples): its options are taken out before the
        // command's own.
        int code = ResultsTakeOptions(def, &argc, argv);
        if (code != 0) {
            return code;
        }
        Args args;
        code = ParseArgs(def, argc - 2, argv + 2, &args);
        if (code != 0) {
            return code;
        }
        InstallInterruptHandler();
        InstallAbortCheck();
        // The run's start is stored before any board is touched, its end after it.
        code = ResultsBeginRun(def, args);
        if (code == EXIT_DONE) {
            code = def.Run(def, args);
        }
        // Output that could not be written (a closed pipe, a full disk) is a failed run.
        if (fflush(stdout) != 0 && code == EXIT_DONE) {
            code = Fail(EXIT_OTHER, "%s", "cannot write standard output");
        }
        code = ResultsEndRun(code);
        RunFinished();
        return code;
    }
    fprintf(stderr, "torvanctl: unknown command \"%s\" (see torvanctl --help)\n", argv[1]);
    return EXIT_USAGE;
}
