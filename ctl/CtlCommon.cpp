// The pieces every torvanctl command shares: number checks, the one open board and its
// replies, output files and waits that notice Ctrl-C.
#include "ctl/CtlCommon.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ctl/CtlPlatform.h"
#include "ctl/CtlResults.h"
#include "device/DeviceClock.h"
#include "device/PortLock.h"

// Per thread: a command on several ports runs one thread per board, each with its own board,
// reply, lock and restoring state.
thread_local ComHandle Board = nullptr;
thread_local char Reply[REPLY_TEXT_SIZE];
thread_local BoardReplyKind ReplyKind = REPLY_MISSING;

static thread_local PortLockRec BoardLock = {nullptr};
static thread_local int Restoring = 0;
// Set on a board's own thread: its messages start with its port.
static thread_local const char* BenchPort = nullptr;
thread_local char LastFailure[300];

// Digits with an optional sign, point and exponent, as a person writes a number: strtod and
// strtol alone would also take hexadecimal, "inf", "nan" and leading blanks.
static int DecimalText(const char* text, int whole) {
    const char* p = text;
    if (*p == '+' || *p == '-') {
        ++p;
    }
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
        ++p;
        ++digits;
    }
    if (!whole && *p == '.') {
        ++p;
        while (*p >= '0' && *p <= '9') {
            ++p;
            ++digits;
        }
    }
    if (digits == 0) {
        return 0;
    }
    if (!whole && (*p == 'e' || *p == 'E')) {
        ++p;
        if (*p == '+' || *p == '-') {
            ++p;
        }
        if (!(*p >= '0' && *p <= '9')) {
            return 0;
        }
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
    }
    return *p == '\0';
}

int ParseDouble(const char* text, double* out) {
    if (text == nullptr || !DecimalText(text, 0)) {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    double value = strtod(text, &end);
    if (*end != '\0' || errno != 0 || !std::isfinite(value)) {
        return 0;
    }
    *out = value;
    return 1;
}

int ParseLong(const char* text, long low, long high, long* out) {
    if (text == nullptr || !DecimalText(text, 1)) {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (*end != '\0' || errno != 0 || value < low || value > high) {
        return 0;
    }
    *out = value;
    return 1;
}

// ---------------------------------------------------------------------------------------
// The board

int Fail(int code, const char* format, const char* text) {
    // One write per line, so that the lines of boards running side by side do not mix.
    char message[1200];
    int used = snprintf(message, sizeof message, "torvanctl: %s%s", BenchPort ? BenchPort : "",
                        BenchPort ? ": " : "");
    snprintf(message + used, sizeof message - (size_t)used, format, text);
    fprintf(stderr, "%s\n", message);
    snprintf(LastFailure, sizeof LastFailure, "%s", message + used);
    return code;
}

void BeginBenchBoard(const char* port) {
    BenchPort = port;
    UseOwnBoardStateOnThisThread();
}

static std::atomic<int> EveryBoardStops{0};

void StopEveryBoard() {
    EveryBoardStops.store(1);
}

int StopWanted() {
    return Interrupted() || EveryBoardStops.load();
}

static int StopRequested() {
    return StopWanted() && !Restoring;
}

void InstallAbortCheck() {
    SetDeviceAbortCheck(StopRequested);
}

void SetRestoring(int restoring) {
    Restoring = restoring;
}

// ConnectToTorvan failed after it sent "~BAUD=230400": the port did not open again at the new
// speed, or the board did not answer there. It may sit at 230400 now, so the port is tried
// there a while longer; once a board answers on it the link is up as if nothing had happened.
static int ReopenAtLinkSpeed(const char* port) {
    SetRestoring(1);
    // A stop asked for meanwhile ends the tries; the caller then puts the board back.
    for (int attempt = 0; attempt < 10 && Board == nullptr && !StopWanted(); ++attempt) {
        DeviceSleepMs(200);
        uint32_t error = 0;
        Board = OpenComPort(port, 230400, 'N', 8, 1.0f, &error);
        if (Board != nullptr && !BoardAnswersProbe(Board)) {
            CloseComPort(Board);
            Board = nullptr;
        }
    }
    ClearSerialPortErrors();
    SetRestoring(0);
    return Board != nullptr;
}

int OpenBoard(const char* port) {
    char why[640];
    if (!AcquirePortLock(port, &BoardLock, why, sizeof why)) {
        return Fail(EXIT_NO_BOARD, "%s", why);
    }
    uint32_t portError = GetComPortState(port);
    if (portError != 0) {
        ReleasePortLock(&BoardLock);
        snprintf(why, sizeof why, "cannot open %s (error %u)", port, (unsigned)portError);
        return Fail(EXIT_NO_BOARD, "%s", why);
    }
    // Zero until the probe has found the board: then its speed is saved here, just before the
    // board is moved to 230400.
    SetLineSettingsToRestore(0, 0);
    if (!ConnectToTorvan(port, &Board)) {
        Board = nullptr;
        const uint32_t foundAt = GetInitialBaudRate();
        if (foundAt != 0 && ReopenAtLinkSpeed(port)) {
            return EXIT_DONE;
        }
        if (foundAt != 0) {
            // Whatever the board heard, it is sent its own settings back before the port goes.
            PutBoardBack(port);
        }
        ReleasePortLock(&BoardLock);
        if (foundAt != 0) {
            snprintf(why, sizeof why,
                     "%s did not answer at 230400 after the board was sent there (the port did "
                     "not open again, or the board did not take the speed): it was sent its own "
                     "settings back, but may be left at 230400 with CR LF (\"torvanctl restore "
                     "%s --baud %u\" puts it back)",
                     port, port, (unsigned)foundAt);
            return Fail(EXIT_NO_BOARD, "%s", why);
        }
        // Stopped while the speeds were tried: nothing was changed on the board yet.
        if (StopWanted()) {
            return Fail(EXIT_OTHER, "interrupted while looking for the board on %s", port);
        }
        return Fail(EXIT_NO_BOARD, "no board answered on %s", port);
    }
    ResultsBoardFound(port);
    return EXIT_DONE;
}

void ReleaseBoardPort() {
    ReleasePortLock(&BoardLock);
}

void CloseBoard() {
    DropBoardLink();
    ReleasePortLock(&BoardLock);
}

void DropBoardLink() {
    if (Board != nullptr) {
        DisconnectFromTorvan(Board);
        // The other boards' threads still use the shared table of saved settings; a board's
        // own speed and line ending are forgotten with its thread.
        if (BenchPort == nullptr) {
            ForgetBoardLineSettings();
        }
        Board = nullptr;
    }
}

int LockBoardPort(const char* port) {
    char why[256];
    if (!AcquirePortLock(port, &BoardLock, why, sizeof why)) {
        return Fail(EXIT_NO_BOARD, "%s", why);
    }
    return EXIT_DONE;
}

int ReconnectBoard(const char* port) {
    DropBoardLink();
    if (!ConnectToTorvan(port, &Board)) {
        Board = nullptr;
        return 0;
    }
    return 1;
}

int Ask(const char* command) {
    BoardReply reply;
    BoardCommand(Board, command, &reply);
    snprintf(Reply, sizeof Reply, "%s", reply.Text != nullptr ? reply.Text : "");
    ReplyKind = reply.Kind;
    return reply.Kind != REPLY_MISSING;
}

// The command as the user would type it: without its carriage return.
static void ShownCommand(const char* command, char* out, size_t outSize) {
    snprintf(out, outSize, "%s", command);
    out[strcspn(out, "\r")] = '\0';
}

int StoppedOrTimedOut() {
    return StopWanted() ? EXIT_OTHER : EXIT_TIMED_OUT;
}

int AskOrFail(const char* command) {
    if (Ask(command)) {
        return 1;
    }
    char shown[COMMAND_TEXT_SIZE];
    ShownCommand(command, shown, sizeof shown);
    // A reply cut short by Ctrl-C is no time-out of the board's.
    if (StopWanted()) {
        Fail(EXIT_OTHER, "interrupted waiting for the reply to %s", shown);
    } else {
        Fail(EXIT_TIMED_OUT, "no reply from the board to %s", shown);
    }
    return 0;
}

int AskCode(const char* command) {
    return AskOrFail(command) ? EXIT_DONE : StoppedOrTimedOut();
}

int RequireController(const char* port) {
    int code = AskCode("S64\r");
    if (code != EXIT_DONE) {
        return code;
    }
    unsigned config = 0;
    if (sscanf(Reply, "x%x", &config) != 1) {
        return Fail(EXIT_OTHER, "unexpected product configuration reply \"%s\"", Reply);
    }
    if (!(config & 1u)) {
        char why[300];
        snprintf(why, sizeof why, "%s is a meter: it has no set point", port);
        return Fail(EXIT_OTHER, "%s", why);
    }
    return EXIT_DONE;
}

void DrainStaleReplies() {
    if (Board == nullptr) {
        return;
    }
    // What is left of a reply whose reading was cut short arrives now; the line is taken to be
    // clear once a read waits its whole time-out (about 150 ms) for nothing. A device that never
    // stops talking is given up on after two seconds.
    const double deadline = DeviceNowSeconds() + 2.0;
    uint8_t bytes[256];
    while (ReadComBytes(Board, bytes, (int)sizeof bytes) > 0 && DeviceNowSeconds() < deadline) {
    }
}

void BeginRestoring() {
    DrainStaleReplies();
    ClearSerialPortErrors();
    SetRestoring(1);
}

int ReportReply(const char* command, const BoardReply& reply) {
    char shown[COMMAND_TEXT_SIZE];
    ShownCommand(command, shown, sizeof shown);
    if (reply.Kind == REPLY_MISSING) {
        return Fail(StopWanted() ? EXIT_OTHER : EXIT_TIMED_OUT,
                    StopWanted() ? "interrupted waiting for the reply to %s"
                                 : "no reply from the board to %s",
                    shown);
    }
    if (reply.Kind == REPLY_REFUSED) {
        char words[REPLY_TEXT_SIZE];
        CleanBoardText(reply.Text, words, sizeof words);
        char why[COMMAND_TEXT_SIZE + 100];
        snprintf(why, sizeof why, "the board refused %s: %.80s", shown, words);
        return Fail(EXIT_OTHER, "%s", why);
    }
    return EXIT_DONE;
}

int Require(const char* command) {
    BoardReply reply;
    BoardCommand(Board, command, &reply);
    snprintf(Reply, sizeof Reply, "%s", reply.Text != nullptr ? reply.Text : "");
    ReplyKind = reply.Kind;
    return ReportReply(command, reply);
}

void TrimLineEnd(char* text) {
    size_t length = strlen(text);
    while (length > 0 &&
           (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ')) {
        text[--length] = '\0';
    }
}

void CleanBoardText(const char* in, char* out, size_t outSize) {
    while (*in == ' ' || *in == '\t') {
        ++in;
    }
    size_t used = 0;
    for (; *in != '\0' && used + 1 < outSize; ++in) {
        if (*in != '\r' && *in != '\n') {
            out[used++] = *in;
        }
    }
    out[used] = '\0';
    TrimLineEnd(out);
}

int ReadRegister(const char* command, const char* format, unsigned* value) {
    int code = AskCode(command);
    if (code != EXIT_DONE) {
        return code;
    }
    if (sscanf(Reply, format, value) != 1) {
        char shown[16];
        snprintf(shown, sizeof shown, "%s", command);
        shown[strcspn(shown, "\r")] = '\0';
        char words[REPLY_TEXT_SIZE];
        CleanBoardText(Reply, words, sizeof words);
        char why[200];
        snprintf(why, sizeof why, "unexpected reply to %s: %.80s", shown, words);
        return Fail(EXIT_OTHER, "%s", why);
    }
    return EXIT_DONE;
}

int RejectedByBoard() {
    return ReplyKind == REPLY_REFUSED;
}

int ReadBoardInfo(BoardInfo* info) {
    *info = BoardInfo{};
    if (!AskOrFail("S64\r")) {
        return 0;
    }
    unsigned config = 0;
    info->IsController = sscanf(Reply, "x%x", &config) == 1 && (config & 1u) != 0;
    if (!AskOrFail("S54\r")) {
        return 0;
    }
    CleanBoardText(Reply, info->Name, sizeof info->Name);
    if (!AskOrFail("G4\r")) {
        return 0;
    }
    CleanBoardText(Reply, info->GasSymbol, sizeof info->GasSymbol);
    if (!AskOrFail("G7\r")) {
        return 0;
    }
    CleanBoardText(Reply, info->Units, sizeof info->Units);
    if (!AskOrFail("G18\r")) {
        return 0;
    }
    if (sscanf(Reply, "%f", &info->FullScale) != 1) {
        info->FullScale = 0.0f;
    }
    return 1;
}

int DescribeBoard(char* out, size_t outSize) {
    BoardInfo info;
    if (!ReadBoardInfo(&info)) {
        return 0;
    }
    // Each item is one field of the header line: a name with a comma or a quote is quoted.
    char board[200], gas[200];
    snprintf(board, sizeof board, "Board: %s", info.Name);
    snprintf(gas, sizeof gas, "Gas: %s %.4f %s", info.GasSymbol, info.FullScale, info.Units);
    snprintf(out, outSize, ", %s, %s", CsvField(board).c_str(), CsvField(gas).c_str());
    return 1;
}

const StatusText StatusTexts[STATUS_TEXT_COUNT] = {
    {STATUS_LOW_FLOW_ALARM, "Low Flow Alarm"},
    {STATUS_HIGH_FLOW_ALARM, "High Flow Alarm"},
    {STATUS_TRACKING_ALARM, "Tracking Alarm"},
    {STATUS_VALVE_LATCHED_OPEN, "Valve Latched Open"},
    {STATUS_BAD_DOWNSTREAM_BRIDGE, "Invalid Downstream Bridge Current"},
    {STATUS_BAD_UPSTREAM_BRIDGE, "Invalid Upstream Bridge Current"},
    {STATUS_LOST_SENSOR_BOARD, "System Failure, Lost Communication with Sensor Board"},
    {STATUS_LOST_CONTROL_BOARD, "System Failure, Lost Communication with Control Board"},
};

int WriteLine(FILE* file, const char* line, const char* fileName) {
    if (fputs(line, file) < 0 || fflush(file) != 0) {
        return Fail(EXIT_OTHER, "cannot write %s", fileName);
    }
    return EXIT_DONE;
}

void SleepUntil(double until) {
    for (;;) {
        double left = until - DeviceNowSeconds();
        if (left <= 0.0 || Interrupted()) {
            return;
        }
        DeviceSleepMs(left > 0.02 ? 20u : (uint32_t)(left * 1000.0) + 1u);
    }
}
