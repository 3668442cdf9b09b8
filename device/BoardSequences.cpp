// The multi-step conversations: finding the board's speed and moving the link to 230400,
// putting speed and line ending back at the end, and the calibration operations.
#include "device/LegacyBoardUtils.h"

#include "device/DeviceClock.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

// The speed and line ending the board on the current connection's port had when the program
// found it, sent back by every disconnect; 0 means nothing saved. Set by the worker at each
// connection from SavedPorts; read by the disconnect on the same thread and by tests.
std::atomic<uint32_t> InitialBaudRate{0};
std::atomic<uint32_t> InitialNewLine{0};
// A thread that serves one board of several keeps its connection's pair here instead.
thread_local int ThreadOwnsLineSettings = 0;
thread_local uint32_t ThreadInitialBaudRate = 0;
thread_local uint32_t ThreadInitialNewLine = 0;

void StoreInitialLineSettings(uint32_t baud, uint32_t newLine) {
    if (ThreadOwnsLineSettings) {
        ThreadInitialBaudRate = baud;
        ThreadInitialNewLine = newLine;
    } else {
        InitialBaudRate.store(baud);
        InitialNewLine.store(newLine);
    }
}

// What each port's board had when first found. A board that did not hear the program's last
// words (a link fault, an unplugged adapter, a reconnection that failed) still runs at the
// program's own 230400 with CR LF; found that way again on the same port, it is the same board
// and keeps what was saved; so does one found again at the speed saved as its own. Found at
// any other speed it is a board that was reset or another one, and its settings are taken
// afresh. The program's connecting worker uses the table one connection at a time; torvanctl
// connects several ports at once from their own threads, each to its own entry, so every use
// of the table holds SavedPortsBusy. Tests clear it between runs.
struct SavedLineSettings {
    char Port[260];
    uint32_t Baud;
    uint32_t NewLine;
};
// As many ports as torvanctl takes on one bench, so no board's settings are forgotten mid-run.
constexpr int SAVED_PORTS_MAX = 64;
SavedLineSettings SavedPorts[SAVED_PORTS_MAX];
int SavedPortCount = 0;
// A spin lock: the table is held for a copy at a time, and std::mutex is not there in the
// Windows build's thread model.
std::atomic_flag SavedPortsBusy = ATOMIC_FLAG_INIT;

struct SavedPortsHold {
    SavedPortsHold() {
        while (SavedPortsBusy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~SavedPortsHold() { SavedPortsBusy.clear(std::memory_order_release); }
    SavedPortsHold(const SavedPortsHold&) = delete;
    SavedPortsHold& operator=(const SavedPortsHold&) = delete;
};

// "COM7", "com7" and "\\.\COM7" name one port.
const char* BarePortName(const char* name) {
    return strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
}

int SamePort(const char* a, const char* b) {
    a = BarePortName(a);
    b = BarePortName(b);
    for (; *a && *b; a++, b++) {
        char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 32) : *a;
        char cb = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 32) : *b;
        if (ca != cb) {
            return 0;
        }
    }
    return *a == *b;
}

SavedLineSettings* SavedFor(const char* portName) {
    for (int i = 0; i < SavedPortCount; i++) {
        if (SamePort(SavedPorts[i].Port, portName)) {
            return &SavedPorts[i];
        }
    }
    // A full table forgets its oldest port.
    if (SavedPortCount == SAVED_PORTS_MAX) {
        memmove(&SavedPorts[0], &SavedPorts[1], sizeof SavedPorts[0] * (SAVED_PORTS_MAX - 1));
        SavedPortCount--;
    }
    SavedLineSettings* entry = &SavedPorts[SavedPortCount++];
    snprintf(entry->Port, sizeof entry->Port, "%s", portName);
    entry->Baud = 0;
    entry->NewLine = 0;
    return entry;
}

// Board registers saved on entry to calibration mode and written back on exit.
uint32_t OriginalV1 = 0;
uint32_t OriginalV2 = 0;
uint32_t OriginalV12 = 0;

const uint32_t ProbeSpeeds[] = {9600, 19200, 230400};
constexpr int PROBE_SPEED_COUNT = 3;
constexpr int PROBE_PASSES = 3;
constexpr int OPEN_ATTEMPTS = 3;
constexpr int NEW_LINE_READ_ATTEMPTS = 3;
constexpr uint32_t LINK_SPEED = 230400;
constexpr int COMMAND_SIZE = 256;
constexpr int VALVE_SETTLE_MS = 2000;
constexpr int SAMPLE_MS = 5;
// Batches lost in a row before a bounded settle wait takes the board to be gone.
constexpr int MAX_FAILED_SETTLE_READS = 3;

int OpenWithRetries(const char* portName, uint32_t baud, ComHandle* handleInOut) {
    for (int attempt = 0; attempt < OPEN_ATTEMPTS; attempt++) {
        uint32_t error = 0;
        *handleInOut = OpenComPort(portName, baud, 'N', 8, 1.0f, &error);
        if (*handleInOut != nullptr) {
            return 1;
        }
    }
    return 0;
}

// The probe is a command the board rejects, so its rejection text proves a board is there.
int ProbeAnswered(ComHandle handle) {
    char* text = nullptr;
    int count = 0;
    WriteComStr(handle, "2\r");
    if (!GetAsciiResponseWithin(handle, &text, &count, PROBE_REPLY_MAX_BYTES,
                                PROBE_REPLY_DEADLINE_MS)) {
        return 0;
    }
    return strncmp(text, "Invalid Command", 15) == 0;
}

void CloseHandleIn(ComHandle* handleInOut) {
    if (*handleInOut != nullptr) {
        CloseComPort(*handleInOut);
        *handleInOut = nullptr;
    }
}

// "NAME=%f\r" without the locale: the board only understands a decimal point.
int FormatNumberCommand(const char* name, double value, char* out, size_t outSize) {
    size_t used = strlen(name);
    if (outSize < used + 3) {
        return 0;
    }
    memcpy(out, name, used);
    out[used++] = '=';
    // Room for the number, then "\r" and the terminator.
    std::to_chars_result result =
        std::to_chars(out + used, out + outSize - 2, value, std::chars_format::fixed, 6);
    if (result.ec != std::errc()) {
        out[0] = '\0';
        return 0;
    }
    result.ptr[0] = '\r';
    result.ptr[1] = '\0';
    return 1;
}

// Writes the command and reads its reply; when it is missing or refused prints the error line
// with the text that did arrive. 1 when the board took the command.
int Exchange(ComHandle handle, const char* command, const char* errorFormat,
             BoardReply* replyOut = nullptr) {
    BoardReply reply;
    int ok = BoardCommand(handle, command, &reply);
    if (!ok) {
        DeviceDiagnostic(errorFormat, reply.Text);
    }
    if (replyOut != nullptr) {
        *replyOut = reply;
    }
    return ok;
}

// Reads a register and keeps its value when the reply parses; a missing reply keeps the
// previous value.
void SaveRegister(ComHandle handle, const char* command, const char* name, const char* scan,
                  const char* showFormat, uint32_t* saved) {
    char* text = nullptr;
    int count = 0;
    WriteComStr(handle, command);
    if (!GetAsciiResponse(handle, &text, &count)) {
        DeviceDiagnostic("\nError, Get %s Resp: %s\n", name, text);
        return;
    }
    DeviceDiagnostic("Get %s Resp: %s\n", name, text);
    unsigned int value = 0;
    if (sscanf(text, scan, &value) == 1) {
        *saved = value;
    }
    DeviceDiagnostic(showFormat, *saved);
}

// 1 with the drive when the board answered a number; a refusal or an unreadable answer is
// as much a failure as none.
int ReadValveDrive(ComHandle handle, uint32_t* driveOut) {
    BoardReply reply;
    unsigned long value = 0;
    if (!BoardCommand(handle, "V27\r", &reply) || sscanf(reply.Text, "%lu", &value) != 1) {
        DeviceDiagnostic("\nError, V27 Resp: %s\n", reply.Text);
        return 0;
    }
    *driveOut = static_cast<uint32_t>(value);
    return 1;
}

// Sleeps until the given DeviceNowSeconds() time in short slices, so that the abort check is
// seen within 20 ms.
void PauseUntil(double until) {
    for (;;) {
        double left = until - DeviceNowSeconds();
        if (left <= 0.0 || DeviceAbortRequested()) {
            return;
        }
        DeviceSleepMs(left > 0.02 ? 20u : static_cast<uint32_t>(left * 1000.0) + 1u);
    }
}

// One step of a valve bump that changes the board: the change counts as made unless the board
// refused it (a command whose reply was lost may well have been carried out).
int BumpStep(ComHandle handle, const char* command, const char* errorFormat, unsigned changes,
             const char* stepName, BumpValveProgress* progress) {
    BoardReply reply;
    int ok = Exchange(handle, command, errorFormat, &reply);
    if (reply.Kind != REPLY_REFUSED) {
        progress->Changed |= changes;
    }
    if (!ok) {
        snprintf(progress->FailedStep, sizeof progress->FailedStep, "%s", stepName);
    }
    return ok;
}

int BumpSettle(ComHandle handle, int type, float setPoint, double timeoutSeconds,
               BumpValveProgress* progress) {
    DeviceDiagnostic("Waiting for the flow to settle at %f\n", static_cast<double>(setPoint));
    SettleResult result =
        WaitForFlowToSettleWithin(handle, type, setPoint - 2, setPoint + 2, VALVE_SETTLE_MS,
                                  timeoutSeconds, DeviceNowSeconds());
    if (result.Outcome == SETTLED) {
        return 1;
    }
    progress->SettleFailed = result.Outcome;
    snprintf(progress->FailedStep, sizeof progress->FailedStep, "settle at %g",
             static_cast<double>(setPoint));
    return 0;
}
} // namespace

uint32_t GetInitialBaudRate() {
    return ThreadOwnsLineSettings ? ThreadInitialBaudRate : InitialBaudRate.load();
}

uint32_t GetInitialNewLine() {
    return ThreadOwnsLineSettings ? ThreadInitialNewLine : InitialNewLine.load();
}

void UseOwnBoardStateOnThisThread() {
    UseOwnSerialPortErrorsOnThisThread();
    ThreadOwnsLineSettings = 1;
    ThreadInitialBaudRate = 0;
    ThreadInitialNewLine = 0;
}

int ReplyRefused(const char* text) {
    return strncmp(text, "Invalid Command", 15) == 0;
}

int BoardCommand(ComHandle handle, const char* command, BoardReply* reply) {
    BoardReply ignored;
    if (reply == nullptr) {
        reply = &ignored;
    }
    char* text = nullptr;
    int count = 0;
    WriteComStr(handle, command);
    int answered = GetAsciiResponse(handle, &text, &count);
    reply->Text = text;
    reply->Kind = !answered ? REPLY_MISSING : ReplyRefused(text) ? REPLY_REFUSED : REPLY_TAKEN;
    return reply->Kind == REPLY_TAKEN;
}

int FormatSetPointCommand(double percent, char* out, size_t outSize) {
    return FormatNumberCommand("V5", percent, out, outSize);
}

int FormatProportionalRamCommand(double value, char* out, size_t outSize) {
    return FormatNumberCommand("~PR", value, out, outSize);
}

int ConnectToTorvan(const char* portName, ComHandle* handleInOut) {
    CloseHandleIn(handleInOut);
    int speedIndex = 0;
    int pass = 0;
    ClearSerialPortErrors();

    for (;;) {
        // A stop asked for while the port is probed ends the search between rounds; nothing
        // has changed on the board yet.
        if (DeviceAbortRequested() ||
            !OpenWithRetries(portName, ProbeSpeeds[speedIndex], handleInOut)) {
            CloseHandleIn(handleInOut);
            ClearSerialPortErrors();
            return 0;
        }
        if (ProbeAnswered(*handleInOut)) {
            break;
        }
        CloseHandleIn(handleInOut);
        speedIndex++;
        if (speedIndex >= PROBE_SPEED_COUNT) {
            DeviceSleepMs(10);
            pass++;
            speedIndex = 0;
            if (pass >= PROBE_PASSES) {
                ClearSerialPortErrors();
                return 0;
            }
        }
        // The probes that timed out are expected, not a fault of the link.
        ClearSerialPortErrors();
    }

    ClearSerialPortErrors();
    SavedLineSettings saved;
    uint32_t foundAt = ProbeSpeeds[speedIndex];
    {
        SavedPortsHold hold;
        SavedLineSettings* entry = SavedFor(portName);
        // Found again at the speed saved as its own, it is the same board, which the last end
        // may have reached only in part (its speed back, the "~SNLC" lost): it now answers
        // with the program's CR LF, and the line ending saved with it stays.
        if (!(foundAt == LINK_SPEED && entry->Baud != 0) && entry->Baud != foundAt) {
            entry->Baud = foundAt;
            entry->NewLine = 0;
        }
        saved = *entry;
    }
    DisableVerboseResponses(*handleInOut);
    // A lost answer is asked again: the line ending saved here is what every end of a
    // connection puts back. One still unread stays 0, and the program then leaves the board's
    // line ending as it is.
    for (int attempt = 0; saved.NewLine == 0 && attempt < NEW_LINE_READ_ATTEMPTS; attempt++) {
        if (DeviceAbortRequested()) {
            break;
        }
        saved.NewLine = GetNewLine(*handleInOut);
    }
    if (saved.NewLine != 0) {
        SavedPortsHold hold;
        SavedFor(portName)->NewLine = saved.NewLine;
    }
    StoreInitialLineSettings(saved.Baud, saved.NewLine);

    char command[COMMAND_SIZE];
    snprintf(command, sizeof command, "~BAUD=%ld\r", static_cast<long>(LINK_SPEED));
    WriteComStr(*handleInOut, command);
    // The board switches only after its reply window; the port must not change speed sooner.
    DeviceSleepMs(100);
    CloseHandleIn(handleInOut);

    int opened = OpenWithRetries(portName, LINK_SPEED, handleInOut);
    // Only a board that answers at 230400 took the switch; one that refused or missed it still
    // runs at the speed it was found at, where every later command would reach it as noise.
    if (opened && foundAt != LINK_SPEED && !ProbeAnswered(*handleInOut)) {
        CloseHandleIn(handleInOut);
        opened = 0;
    }
    // A failure leaves what was saved in place: the board may be at either speed now, and the
    // caller puts it back (PutBoardBack) rather than trust an answer that may be a late one.
    ClearSerialPortErrors();
    return opened;
}

int BoardAnswersProbe(ComHandle handle) {
    return ProbeAnswered(handle);
}

void PutBoardBack(const char* portName) {
    uint32_t baud = GetInitialBaudRate();
    if (baud == 0) {
        return;
    }
    // First at its own speed (a board that never switched, or already went back, is there with
    // perhaps the program's CR LF), then at 230400: the restore reaches the board wherever it
    // is, and reaches a board that is elsewhere as noise it rejects.
    const uint32_t speeds[2] = {baud, LINK_SPEED};
    for (int i = 0; i < (baud == LINK_SPEED ? 1 : 2); i++) {
        ComHandle handle = nullptr;
        if (OpenWithRetries(portName, speeds[i], &handle)) {
            DisconnectFromTorvan(handle);
        }
    }
    ClearSerialPortErrors();
}

void DisconnectFromTorvan(ComHandle handle) {
    char command[COMMAND_SIZE];
    // A line ending that was never read (no answer to "S65") is not sent back as 0.
    uint32_t newLine = GetInitialNewLine();
    if (newLine != 0) {
        snprintf(command, sizeof command, "~SNLC=%x\r", newLine);
        WriteComStr(handle, command);
    }
    uint32_t baud = GetInitialBaudRate();
    if (baud != 0) {
        snprintf(command, sizeof command, "~BAUD=%ld\r", static_cast<long>(baud));
        WriteComStr(handle, command);
    }
    CloseComPort(handle);
}

void SetLineSettingsToRestore(uint32_t baud, uint32_t newLine) {
    StoreInitialLineSettings(baud, newLine);
}

void ForgetBoardLineSettings() {
    StoreInitialLineSettings(0, 0);
    SavedPortsHold hold;
    SavedPortCount = 0;
}

int EnableFactoryMode(ComHandle handle) {
    return Exchange(handle, "FLOK=5807\r", "\nError, FLOK Resp: %s\n");
}

int DisableFactoryMode(ComHandle handle) {
    return Exchange(handle, "FLOK\r", "\nError, FLOK Resp: %s\n");
}

int EnableFlowStateCollection(ComHandle handle) {
    return Exchange(handle, "~EFSC\r", "\nError, EFSC Resp: %s\n");
}

int DisableFlowStateCollection(ComHandle handle) {
    return Exchange(handle, "~DFSC\r", "\nError, ~DFSC Resp: %s\n");
}

int SetProportionalRam(ComHandle handle, float value) {
    char command[COMMAND_SIZE];
    FormatProportionalRamCommand(value, command, sizeof command);
    return Exchange(handle, command, "\nError, ~PR Resp: %s\n");
}

int SetControlBiasRam(ComHandle handle, uint32_t value) {
    char command[COMMAND_SIZE];
    snprintf(command, sizeof command, "~CBR=%lu\r", static_cast<unsigned long>(value));
    return Exchange(handle, command, "\nError, ~CBR Resp: %s\n");
}

int SetBoardSetPoint(ComHandle handle, double percent, BoardReply* reply) {
    char command[COMMAND_SIZE];
    FormatSetPointCommand(percent, command, sizeof command);
    return BoardCommand(handle, command, reply);
}

int SendSetPoint(ComHandle handle, float percent) {
    BoardReply reply;
    if (!SetBoardSetPoint(handle, percent, &reply)) {
        DeviceDiagnostic("\nError, V5 Resp: %s\n", reply.Text);
        return 0;
    }
    return 1;
}

int EnterTorvanCalMode(ComHandle handle) {
    EnableFactoryMode(handle);
    DisableVerboseResponses(handle);
    SaveRegister(handle, "V1\r", "V1", "%u", "OriginalV1: %u\n", &OriginalV1);
    SaveRegister(handle, "V12\r", "V12", "%u", "OriginalV12: %u\n", &OriginalV12);
    SaveRegister(handle, "V2\r", "V2", "x%x", "OriginalV2: %04X\n", &OriginalV2);
    Exchange(handle, "V2=141\r", "\nError, V2 Resp: %s\n");
    Exchange(handle, "V12=0\r", "\nError, V12 Resp: %s\n");
    return EnableFlowStateCollection(handle);
}

int ExitTorvanCalMode(ComHandle handle) {
    char command[COMMAND_SIZE];
    DisableFlowStateCollection(handle);
    snprintf(command, sizeof command, "V12=%u\r", OriginalV12);
    Exchange(handle, command, "\nError, V12 Resp: %s\n");
    snprintf(command, sizeof command, "V1=%u\r", OriginalV1);
    Exchange(handle, command, "\nError, V1 Resp: %s\n");
    // V2 was read in hexadecimal, so it goes back in hexadecimal.
    snprintf(command, sizeof command, "V2=%x\r", OriginalV2);
    Exchange(handle, command, "\nError, V2 Resp: %s\n");
    return DisableFactoryMode(handle);
}

SettleResult WaitForFlowToSettleWithin(ComHandle handle, int type, float low, float high,
                                       int durationMs, double timeoutSeconds, double startSeconds) {
    const int needed = durationMs / 5 > 0 ? durationMs / 5 : 1;
    const int bounded = timeoutSeconds > 0.0;
    const double deadline = startSeconds + timeoutSeconds;
    SettleResult result = {SETTLE_NO_READINGS, 0.0, 0.0, 0.0f};
    int run = 0;
    double runStart = 0.0;
    int failedReads = 0;
    NewFlowReadingsRec batch;

    while (type >= FLOW_FILTERED && type <= FLOW_STATE_SAMPLES) {
        if (DeviceAbortRequested()) {
            result.Outcome = SETTLE_INTERRUPTED;
            break;
        }
        if (bounded && DeviceNowSeconds() >= deadline) {
            result.Outcome = SETTLE_TIMED_OUT;
            break;
        }
        int ok = ReadFlowBatch(handle, type, &batch);
        double now = DeviceNowSeconds();
        if (!ok && bounded) {
            ClearSerialPortErrors();
            if (++failedReads >= MAX_FAILED_SETTLE_READS) {
                result.Outcome = SETTLE_NO_READINGS;
                break;
            }
        } else if (!ok) {
            DeviceDiagnostic("\nError from GetFlowReadings");
        } else {
            failedReads = 0;
            // The batch holds the samples made since the last request, the newest last, one
            // every 5 ms.
            for (int i = 0; i < batch.Count; i++) {
                float value = batch.Values[i];
                result.LastSample = value;
                if (value >= low && value <= high) {
                    if (run == 0) {
                        runStart = now - (batch.Count - 1 - i) * (SAMPLE_MS / 1000.0);
                    }
                    run++;
                } else {
                    run = 0;
                }
            }
            if (run >= needed) {
                result.Outcome = SETTLED;
                result.SettleSeconds = runStart > startSeconds ? runStart - startSeconds : 0.0;
                break;
            }
        }
        // The board makes one sample every 5 ms: give it time to make those still missing.
        // Without a pause a vanished link would turn this wait into a busy loop.
        double wake = now + FlowReadingsWaitMs(needed - run) / 1000.0;
        PauseUntil(bounded && wake > deadline ? deadline : wake);
    }
    result.ElapsedSeconds = DeviceNowSeconds() - startSeconds;
    return result;
}

int WaitForFlowToSettleBetween(ComHandle handle, int type, float low, float high, int durationMs) {
    return WaitForFlowToSettleWithin(handle, type, low, high, durationMs, 0.0, DeviceNowSeconds())
               .Outcome == SETTLED;
}

int WaitForRawFlowToSettleBetween(ComHandle handle, float low, float high, int durationMs) {
    return WaitForFlowToSettleBetween(handle, FLOW_RAW, low, high, durationMs);
}

int WaitForFilteredFlowToSettleBetween(ComHandle handle, float low, float high, int durationMs) {
    return WaitForFlowToSettleBetween(handle, FLOW_FILTERED, low, high, durationMs);
}

int BumpValveDriveWithin(ComHandle handle, int type, float setPoint2, float setPoint1,
                         uint32_t* drive2Out, uint32_t* drive1Out, double settleTimeoutSeconds,
                         BumpValveProgress* progress) {
    BumpValveProgress ignored;
    if (progress == nullptr) {
        progress = &ignored;
    }
    *progress = BumpValveProgress{};
    progress->SettleFailed = SETTLED;
    char command[COMMAND_SIZE];

    if (!BumpStep(handle, "V1=1\r", "\nError, V1 Resp: %s\n", BUMP_CHANGED_V1, "V1=1", progress)) {
        return 0;
    }
    FormatProportionalRamCommand(500.0, command, sizeof command);
    if (!BumpStep(handle, command, "\nError, ~PR Resp: %s\n", BUMP_CHANGED_GAIN, "~PR=500",
                  progress)) {
        return 0;
    }
    FormatSetPointCommand(setPoint1, command, sizeof command);
    if (!BumpStep(handle, command, "\nError, V5 Resp: %s\n", BUMP_CHANGED_SET_POINT, "V5",
                  progress) ||
        !BumpSettle(handle, type, setPoint1, settleTimeoutSeconds, progress)) {
        return 0;
    }

    DeviceDiagnostic("Get the Current Valve Drive");
    uint32_t drive1 = 0;
    if (!ReadValveDrive(handle, &drive1)) {
        snprintf(progress->FailedStep, sizeof progress->FailedStep, "V27");
        return 0;
    }
    *drive1Out = drive1;

    FormatSetPointCommand(setPoint2, command, sizeof command);
    if (!BumpStep(handle, command, "\nError, V5 Resp: %s\n", BUMP_CHANGED_SET_POINT, "V5",
                  progress) ||
        !BumpSettle(handle, type, setPoint2, settleTimeoutSeconds, progress)) {
        return 0;
    }
    if (!BumpStep(handle, "V1=5\r", "\nBumpValveDrive Error: V1 Resp: %s\n", BUMP_CHANGED_V1,
                  "V1=5", progress)) {
        return 0;
    }

    DeviceDiagnostic("Get the Current Valve Drive");
    if (!ReadValveDrive(handle, drive2Out)) {
        snprintf(progress->FailedStep, sizeof progress->FailedStep, "V27");
        return 0;
    }

    DeviceDiagnostic("Send the BumpValveDrive command");
    snprintf(command, sizeof command, "~BVD=%lu\r", static_cast<unsigned long>(drive1));
    return BumpStep(handle, command, "\nBumpValveDrive Error: BVD Resp: %s\n", BUMP_CHANGED_DRIVE,
                    "~BVD", progress);
}

int BumpValveDrive(ComHandle handle, int type, float setPoint2, float setPoint1,
                   uint32_t* drive2Out, uint32_t* drive1Out) {
    return BumpValveDriveWithin(handle, type, setPoint2, setPoint1, drive2Out, drive1Out, 0.0,
                                nullptr);
}
