// The multi-step conversations: finding the board's speed and moving the link to 230400,
// putting speed and line ending back at the end, and the calibration operations.
#include "device/LegacyBoardUtils.h"

#include "device/DeviceClock.h"

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

// Saved on the first connection to a board and sent back by every disconnect; 0 means
// nothing saved. They outlive the disconnect: after a link fault the board may not have
// heard the restore, and the reconnection would otherwise take the speed and line ending
// this program gave it for the board's own. ForgetBoardLineSettings clears them once the
// connection ends for good. The worker sets them; the user-interface thread clears them only
// while no worker runs, and atomics keep that hand-over plain.
std::atomic<uint32_t> InitialBaudRate{0};
std::atomic<uint32_t> InitialNewLine{0};

// Board registers saved on entry to calibration mode and written back on exit.
uint32_t OriginalV1 = 0;
uint32_t OriginalV2 = 0;
uint32_t OriginalV12 = 0;

const uint32_t ProbeSpeeds[] = {9600, 19200, 230400};
constexpr int PROBE_SPEED_COUNT = 3;
constexpr int PROBE_PASSES = 3;
constexpr int OPEN_ATTEMPTS = 3;
constexpr uint32_t LINK_SPEED = 230400;
constexpr int COMMAND_SIZE = 256;
constexpr int VALVE_SETTLE_MS = 2000;

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

// "%f" without the locale: the board only understands a decimal point.
void FormatFixed(float value, char* out, size_t outSize) {
    std::to_chars_result result = std::to_chars(out, out + outSize - 1, static_cast<double>(value),
                                                std::chars_format::fixed, 6);
    if (result.ec != std::errc()) {
        snprintf(out, outSize, "0.000000");
        return;
    }
    *result.ptr = '\0';
}

// Writes the command and reads its reply; on time-out prints the error line with the text
// that did arrive. Returns the reader's result; the reply text through textOut.
int Exchange(ComHandle handle, const char* command, const char* errorFormat,
             char** textOut = nullptr) {
    char* text = nullptr;
    int count = 0;
    WriteComStr(handle, command);
    int ok = GetAsciiResponse(handle, &text, &count);
    if (!ok) {
        printf(errorFormat, text);
    }
    if (textOut != nullptr) {
        *textOut = text;
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
        printf("\nError, Get %s Resp: %s\n", name, text);
        return;
    }
    printf("Get %s Resp: %s\n", name, text);
    unsigned int value = 0;
    if (sscanf(text, scan, &value) == 1) {
        *saved = value;
    }
    printf(showFormat, *saved);
}

int ReadValveDrive(ComHandle handle, uint32_t* driveOut) {
    char* text = nullptr;
    if (!Exchange(handle, "V27\r", "\nError, V27 Resp: %s\n", &text)) {
        return 0;
    }
    unsigned long value = 0;
    if (sscanf(text, "%lu", &value) == 1) {
        *driveOut = static_cast<uint32_t>(value);
    }
    return 1;
}

} // namespace

uint32_t GetInitialBaudRate() {
    return InitialBaudRate.load();
}

uint32_t GetInitialNewLine() {
    return InitialNewLine.load();
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
    if (InitialBaudRate.load() == 0) {
        InitialBaudRate.store(ProbeSpeeds[speedIndex]);
    }
    DisableVerboseResponses(*handleInOut);
    if (InitialNewLine.load() == 0) {
        InitialNewLine.store(GetNewLine(*handleInOut));
    }

    char command[COMMAND_SIZE];
    snprintf(command, sizeof command, "~BAUD=%ld\r", static_cast<long>(LINK_SPEED));
    WriteComStr(*handleInOut, command);
    // The board switches only after its reply window; the port must not change speed sooner.
    DeviceSleepMs(100);
    CloseHandleIn(handleInOut);

    int opened = OpenWithRetries(portName, LINK_SPEED, handleInOut);
    ClearSerialPortErrors();
    return opened;
}

void DisconnectFromTorvan(ComHandle handle) {
    char command[COMMAND_SIZE];
    // A line ending that was never read (no answer to "S65") is not sent back as 0.
    uint32_t newLine = InitialNewLine.load();
    if (newLine != 0) {
        snprintf(command, sizeof command, "~SNLC=%x\r", newLine);
        WriteComStr(handle, command);
    }
    uint32_t baud = InitialBaudRate.load();
    if (baud != 0) {
        snprintf(command, sizeof command, "~BAUD=%ld\r", static_cast<long>(baud));
        WriteComStr(handle, command);
    }
    CloseComPort(handle);
}

void ForgetBoardLineSettings() {
    InitialBaudRate.store(0);
    InitialNewLine.store(0);
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
    char number[64];
    char command[COMMAND_SIZE];
    FormatFixed(value, number, sizeof number);
    snprintf(command, sizeof command, "~PR=%s\r", number);
    Exchange(handle, command, "\nError, ~PR Resp: %s\n");
    return 1;
}

int SetControlBiasRam(ComHandle handle, uint32_t value) {
    char command[COMMAND_SIZE];
    snprintf(command, sizeof command, "~CBR=%lu\r", static_cast<unsigned long>(value));
    Exchange(handle, command, "\nError, ~CBR Resp: %s\n");
    return 1;
}

int SendSetPoint(ComHandle handle, float percent) {
    char number[64];
    char command[COMMAND_SIZE];
    FormatFixed(percent, number, sizeof number);
    snprintf(command, sizeof command, "V5=%s\r", number);
    Exchange(handle, command, "\nError, V5 Resp: %s\n");
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

int WaitForFlowToSettleBetween(ComHandle handle, int type, float low, float high, int durationMs) {
    int needed = durationMs / 5;
    int run = 0;
    for (;;) {
        if (DeviceAbortRequested()) {
            return 0;
        }
        float* samples = nullptr;
        int count = 0;
        if (!GetFlowReadings(handle, durationMs, type, &samples, &count)) {
            printf("\nError from GetFlowReadings");
            // Without a pause a vanished link would turn this wait into a busy loop.
            DeviceSleepMs(FlowReadingsWaitMs(needed));
            continue;
        }
        for (int i = 0; i < count; i++) {
            if (samples[i] >= low && samples[i] <= high) {
                run++;
            } else {
                run = 0;
            }
        }
        if (run >= needed) {
            return 1;
        }
    }
}

int WaitForRawFlowToSettleBetween(ComHandle handle, float low, float high, int durationMs) {
    return WaitForFlowToSettleBetween(handle, 1, low, high, durationMs);
}

int WaitForFilteredFlowToSettleBetween(ComHandle handle, float low, float high, int durationMs) {
    return WaitForFlowToSettleBetween(handle, 0, low, high, durationMs);
}

int BumpValveDrive(ComHandle handle, int type, float setPoint2, float setPoint1,
                   uint32_t* drive2Out, uint32_t* drive1Out) {
    Exchange(handle, "V1=1\r", "\nError, V1 Resp: %s\n");
    SetProportionalRam(handle, 500.0f);
    SendSetPoint(handle, setPoint1);
    printf("Waiting for the flow to settle at %f\n", static_cast<double>(setPoint1));
    if (!WaitForFlowToSettleBetween(handle, type, setPoint1 - 2, setPoint1 + 2, VALVE_SETTLE_MS)) {
        return 0;
    }

    printf("Get the Current Valve Drive");
    ReadValveDrive(handle, drive1Out);

    SendSetPoint(handle, setPoint2);
    printf("Waiting for the flow to settle at %f\n", static_cast<double>(setPoint2));
    if (!WaitForFlowToSettleBetween(handle, type, setPoint2 - 2, setPoint2 + 2, VALVE_SETTLE_MS)) {
        return 0;
    }

    Exchange(handle, "V1=5\r", "\nBumpValveDrive Error: V1 Resp: %s\n");

    printf("Get the Current Valve Drive");
    ReadValveDrive(handle, drive2Out);

    printf("Send the BumpValveDrive command");
    char command[COMMAND_SIZE];
    snprintf(command, sizeof command, "~BVD=%lu\r", static_cast<unsigned long>(*drive1Out));
    return Exchange(handle, command, "\nBumpValveDrive Error: BVD Resp: %s\n");
}
