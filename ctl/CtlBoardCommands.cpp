// The commands of one short conversation with one board: probe, state, get, set, send,
// setpoint and log.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "app/LogFormat.h"
#include "app/Utf8File.h"
#include "ctl/CtlArgs.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlPlatform.h"
#include "device/DeviceClock.h"
#include "device/LegacyBoardUtils.h"

// State records lost in a row before the log gives the board up.
constexpr int MAX_FAILED_SAMPLES = 3;

namespace {

// The command line of whichever of these commands runs (one per run).
struct BoardCommandOptions {
    std::string Port;
    std::string Register, Value, Text;
    bool Json = false;
    double Percent = 0.0;
    double Band = 0.0;
    long ForMs = 1000;
    double TimeoutS = 30.0;
    long IntervalMs = 0;
    double DurationS = -1.0;
    std::string Out;
};
BoardCommandOptions Options;

CLI::Option* AddPort(CLI::App* command) {
    return command->add_option("PORT", Options.Port, "the board's port: COM5, /dev/ttyUSB0")
        ->required();
}

} // namespace

// ---------------------------------------------------------------------------------------
// probe

static int RunProbe() {
    const char* port = Options.Port.c_str();
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    uint32_t speed = GetInitialBaudRate();
    uint32_t newLine = GetInitialNewLine();
    unsigned config = 0;
    char name[REPLY_TEXT_SIZE];
    code = AskCode("S64\r");
    if (code == EXIT_DONE) {
        if (sscanf(Reply, "x%x", &config) != 1) {
            CloseBoard();
            return Fail(EXIT_OTHER, "unexpected product configuration reply \"%s\"", Reply);
        }
        code = AskCode("S54\r");
        if (code == EXIT_DONE) {
            CleanBoardText(Reply, name, sizeof name);
            printf("port: %s\n", port);
            printf("kind: %s\n", (config & 1u) ? "controller" : "meter");
            printf("name: %s\n", name);
            printf("speed: %u\n", (unsigned)speed);
            printf("line ending: 0x%X\n", (unsigned)newLine);
        }
    }
    CloseBoard();
    return code;
}

void DefineProbeCommand(CLI::App* root) {
    CLI::App* command = AddCommand(root, "probe",
                                   "Finds the board and its speed; prints its kind, name, the "
                                   "speed it was found at\nand its line-ending setting.",
                                   RunProbe);
    AddPort(command);
}

// ---------------------------------------------------------------------------------------
// state

static nlohmann::ordered_json JsonFloat(float value) {
    return std::isfinite(value) ? nlohmann::ordered_json(value) : nlohmann::ordered_json(nullptr);
}

static void PrintStateJson(const SystemStateRec& s) {
    nlohmann::ordered_json alarms = nlohmann::ordered_json::array();
    for (const auto& status : StatusTexts) {
        if (s.StatusFlags & status.Bit) {
            alarms.push_back(status.Text);
        }
    }
    nlohmann::ordered_json state = {
        {"raw_flow_counts", s.RawFlowCounts},
        {"flow", JsonFloat(s.Flow)},
        {"set_point", JsonFloat(s.SetPoint)},
        {"aux_value_1", JsonFloat(s.AuxValue1)},
        {"aux_value_2", JsonFloat(s.AuxValue2)},
        {"aux_value_3", JsonFloat(s.AuxValue3)},
        {"aux_value_4", JsonFloat(s.AuxValue4)},
        {"totalizer_flow", JsonFloat(s.TotalizerFlow)},
        {"aux_word_1", s.AuxWord1},
        {"aux_word_2", s.AuxWord2},
        {"status_flags", s.StatusFlags},
        {"alarms", alarms},
        {"active_gas", s.ActiveGas},
    };
    printf("%s\n", state.dump().c_str());
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

static int RunState() {
    int code = OpenBoard(Options.Port.c_str());
    if (code != EXIT_DONE) {
        return code;
    }
    SystemStateRec state = {};
    code = ReadState(&state);
    CloseBoard();
    if (code == EXIT_DONE) {
        if (Options.Json) {
            PrintStateJson(state);
        } else {
            PrintStateText(state);
        }
    }
    return code;
}

void DefineStateCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "state",
        "Reads one state record (~GLSV) and prints it, or one JSON object with --json.", RunState);
    AddPort(command);
    AddFlag(command, "--json", &Options.Json, "one JSON object instead of text");
}

// ---------------------------------------------------------------------------------------
// get, set, send

// A register name the board can take as one token: no blanks, '=', '>' or line breaks.
static int ValidRegister(const char* name) {
    size_t length = strlen(name);
    return length > 0 && BoardValueSendable(name, 31) && strcspn(name, " \t=") == length;
}

// The board's reply goes to standard output; a refusal also ends with exit code 1 and the
// board's words on standard error.
static int RunRegisterCommand(const char* port, const char* command) {
    int code = OpenBoard(port);
    if (code != EXIT_DONE) {
        return code;
    }
    BoardReply reply;
    BoardCommand(Board, command, &reply);
    snprintf(Reply, sizeof Reply, "%s", reply.Text != nullptr ? reply.Text : "");
    if (reply.Kind != REPLY_MISSING) {
        TrimLineEnd(Reply);
        printf("%s\n", Reply);
    }
    code = ReportReply(command, reply);
    CloseBoard();
    return code;
}

static int RunGet() {
    const char* name = Options.Register.c_str();
    if (!ValidRegister(name)) {
        return UsageError("bad register name ", name);
    }
    char command[COMMAND_TEXT_SIZE];
    snprintf(command, sizeof command, "%s\r", name);
    return RunRegisterCommand(Options.Port.c_str(), command);
}

static int RunSet() {
    const char* name = Options.Register.c_str();
    const char* value = Options.Value.c_str();
    if (!ValidRegister(name)) {
        return UsageError("bad register name ", name);
    }
    // The board would store a '>' and end every later reply to the register at it.
    if (!BoardValueSendable(value, 200)) {
        return UsageError("a value cannot hold '>', CR or LF or be over 200 bytes: ", value);
    }
    char command[COMMAND_TEXT_SIZE];
    snprintf(command, sizeof command, "%s=%s\r", name, value);
    return RunRegisterCommand(Options.Port.c_str(), command);
}

static int RunSend() {
    const char* text = Options.Text.c_str();
    size_t length = strlen(text);
    if (length > 0 && text[length - 1] == '\r') {
        --length;
    }
    char line[COMMAND_TEXT_SIZE];
    snprintf(line, sizeof line, "%.*s", (int)(length < 251 ? length : 251), text);
    if (length == 0 || !BoardValueSendable(line, 250) || length > 250) {
        return UsageError("a command line cannot be empty, hold '>', CR or LF, or be over 250 "
                          "bytes: ",
                          text);
    }
    char command[COMMAND_TEXT_SIZE + 1];
    snprintf(command, sizeof command, "%s\r", line);
    return RunRegisterCommand(Options.Port.c_str(), command);
}

void DefineGetCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "get", "Reads a register (\"REGISTER\\r\") and prints the board's reply.", RunGet);
    AddPort(command);
    command->add_option("REGISTER", Options.Register, "the register's name, e.g. V24")->required();
}

void DefineSetCommand(CLI::App* root) {
    CLI::App* command =
        AddCommand(root, "set",
                   "Writes a register (\"REGISTER=VALUE\\r\") and prints the board's reply. A "
                   "value that\nstarts with - goes after --: set COM5 S54 -- -B2-.",
                   RunSet);
    AddPort(command);
    command->add_option("REGISTER", Options.Register, "the register's name, e.g. S54")->required();
    command->add_option("VALUE", Options.Value, "the value to write")->required();
}

void DefineSendCommand(CLI::App* root) {
    CLI::App* command =
        AddCommand(root, "send", "Sends one raw command line and prints the reply.", RunSend);
    AddPort(command);
    command->add_option("TEXT", Options.Text, "the command line, without its carriage return")
        ->required();
}

// ---------------------------------------------------------------------------------------
// setpoint

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

static int RunSetPoint() {
    const double percent = Options.Percent;
    const int waitSettle = Options.Band > 0.0;
    int code = OpenBoard(Options.Port.c_str());
    if (code != EXIT_DONE) {
        return code;
    }
    code = RequireController(Options.Port.c_str());
    if (code != EXIT_DONE) {
        CloseBoard();
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
        const double band = Options.Band;
        const long forMs = Options.ForMs;
        float low = (float)(percent - band), high = (float)(percent + band);
        SettleResult result = WaitForFlowToSettleWithin(Board, FLOW_FILTERED, low, high, (int)forMs,
                                                        Options.TimeoutS, sentAt);
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

void DefineSetPointCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "setpoint",
        "Sends a set point in %FS. With --wait-settle, waits until the filtered flow stays\n"
        "within PERCENT +/- BAND for MS (default 1000) and prints the settle time; gives up\n"
        "after S seconds (default 30, exit code 4).",
        RunSetPoint);
    AddPort(command);
    command->add_option("PERCENT", Options.Percent, "the set point, %FS (-100 to 200)")
        ->required()
        ->transform(DecimalIn(-100.0, 200.0));
    CLI::Option* wait = AddPositive(command, "--wait-settle", &Options.Band, "BAND",
                                    "waits until the flow stays within +/- BAND %FS");
    AddWhole(command, "--for", &Options.ForMs, 5, 600000, "MS",
             "how long the flow must stay in the band (default 1000)")
        ->needs(wait);
    AddPositive(command, "--timeout", &Options.TimeoutS, "S",
                "gives up after S seconds (default 30)")
        ->needs(wait);
}

// ---------------------------------------------------------------------------------------
// log

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
        // Ctrl-C is how a log without a duration ends; one with a duration was cut short.
        if (Interrupted()) {
            return end < 0.0 ? EXIT_DONE : Fail(EXIT_OTHER, "%s", "interrupted");
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

static int RunLog() {
    const long intervalMs = Options.IntervalMs;
    const int toFile = !Options.Out.empty();
    const char* fileName = toFile ? Options.Out.c_str() : "standard output";
    int code = OpenBoard(Options.Port.c_str());
    if (code != EXIT_DONE) {
        return code;
    }
    char board[300];
    if (!DescribeBoard(board, sizeof board)) {
        CloseBoard();
        return StoppedOrTimedOut();
    }
    FILE* file = stdout;
    if (toFile) {
        file = OpenFileUtf8(fileName, "w");
        if (file == nullptr) {
            CloseBoard();
            return Fail(EXIT_OTHER, "cannot create %s", fileName);
        }
    }

    char header[512];
    FormatLogHeader((uint32_t)intervalMs, header, sizeof header);
    TrimLineEnd(header);
    size_t used = strlen(header);
    snprintf(header + used, sizeof header - used, "%s\n", board);
    code = WriteLine(file, header, fileName);
    if (code == EXIT_DONE) {
        code = LogSamples(file, fileName, intervalMs, Options.DurationS);
    }
    if (file != stdout && fclose(file) != 0 && code == EXIT_DONE) {
        code = Fail(EXIT_OTHER, "cannot write %s", fileName);
    }
    CloseBoard();
    return code;
}

void DefineLogCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "log",
        "Logs the flow every MS milliseconds in the window program's CSV format, to FILE or\n"
        "standard output, until S seconds have passed or Ctrl-C.",
        RunLog);
    AddPort(command);
    AddWhole(command, "--interval", &Options.IntervalMs, 1, 86400000, "MS",
             "milliseconds between samples (1 or more)")
        ->required();
    AddPositive(command, "--duration", &Options.DurationS, "S",
                "ends after S seconds (default: at Ctrl-C)");
    AddText(command, "--out", &Options.Out, "FILE.csv", "the CSV file (default: standard output)");
}
