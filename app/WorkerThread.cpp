#include "app/WorkerThread.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/ConnectionState.h"
#include "app/QueueSignal.h"
#include "app/SerialCmdQ.h"
#include "device/DeviceClock.h"
#include "device/LegacyBoardUtils.h"

std::atomic<int32_t> SimGraphWindowExists{0};

// The last flow the simulation made up; the state record reuses it while the graph is open.
static float SimulatedFlow = 0.0f;

static const char NotConnectedReply[] = "NOT CONNECTED TO DEVICE >\r\n";

// The pause after each request, which paces the requests on the line.
constexpr uint32_t REQUEST_PAUSE_MS = 5;
// How long a wait on an empty queue lasts when no signal comes. Enqueue and stop both signal,
// so this is only a bound, not a poll.
constexpr uint32_t IDLE_WAIT_MS = 250;

// Copies a reply into a text target of the given capacity, cutting it so the NUL fits.
static void StoreText(void* result, size_t resultSize, const char* text) {
    if (result == nullptr || resultSize == 0) {
        return;
    }
    size_t length = strlen(text);
    if (length > resultSize - 1) {
        length = resultSize - 1;
    }
    char* target = (char*)result;
    memcpy(target, text, length);
    target[length] = '\0';
}

// Stores an ASCII reply by parse kind. The board sends plain "C" numbers ("12.5", "x1F");
// the program never changes the C library's locale, so sscanf reads them that way.
static void StoreParsedReply(const char* reply, int parse, void* result, size_t resultSize) {
    if (result == nullptr) {
        return;
    }
    switch (parse) {
    case PARSE_TEXT:
        StoreText(result, resultSize, reply);
        break;
    case PARSE_INT: {
        int value;
        if (sscanf(reply, "%d", &value) == 1) {
            *(int32_t*)result = value;
        }
        break;
    }
    case PARSE_FLOAT: {
        float value;
        if (sscanf(reply, "%f", &value) == 1) {
            *(float*)result = value;
        }
        break;
    }
    case PARSE_HEX: {
        unsigned value;
        if (sscanf(reply, "x%x", &value) == 1) {
            *(uint32_t*)result = value;
        }
        break;
    }
    default:
        break;
    }
}

static float ReadSetPoint() {
    // Written by the user-interface thread when the operator sends a set point.
    float setPoint;
    __atomic_load(&SystemState.SetPoint, &setPoint, __ATOMIC_RELAXED);
    return setPoint;
}

static float SimulatedSample(float setPoint) {
    double jitter = (rand() % 100) * 0.01;
    return (float)(setPoint + jitter);
}

int32_t SimulatedRawFlowCounts(float setPoint, float flow) {
    if (setPoint == 0.0f) {
        return 0;
    }
    double counts = flow * 23145.3 + 3400000.0;
    // A wild set point must not turn into an out-of-range conversion.
    if (!(counts > -2147483648.0)) {
        return INT32_MIN;
    }
    if (counts >= 2147483647.0) {
        return INT32_MAX;
    }
    return (int32_t)counts;
}

static void SimulateFlowValues(NewFlowReadingsRec* readings) {
    float setPoint = ReadSetPoint();
    for (int i = 0; i < 5; ++i) {
        readings->Values[i] = SimulatedSample(setPoint);
    }
    SimulatedFlow = readings->Values[4];
    readings->Count = 5;
}

static void SimulateBoardState(SystemStateRec* state) {
    float setPoint = ReadSetPoint();
    if (!SimGraphWindowExists.load()) {
        SimulatedFlow = SimulatedSample(setPoint);
    }
    state->RawFlowCounts = SimulatedRawFlowCounts(setPoint, SimulatedFlow);
    state->Flow = SimulatedFlow;
    state->SetPoint = setPoint;
    state->AuxValue1 = 2.5f;
    state->AuxValue2 = 1.5f;
    state->AuxValue3 = 32.25f;
    state->AuxValue4 = 123.45f;
    state->TotalizerFlow = SimulatedFlow;
    state->AuxWord1 = 1;
    state->AuxWord2 = 4;
    state->StatusFlags = 0;
    state->ActiveGas = 0;
}

static void SimulateAscii(int parse, void* result, size_t resultSize) {
    if (result == nullptr) {
        return;
    }
    switch (parse) {
    case PARSE_TEXT:
        StoreText(result, resultSize, NotConnectedReply);
        break;
    case PARSE_INT:
    case PARSE_HEX:
        *(int32_t*)result = 1;
        break;
    case PARSE_FLOAT:
        *(float*)result = 0.0f;
        break;
    default:
        break;
    }
}

static uint32_t PerformSimulated(int kind, uint32_t message, int parse, void* result,
                                 size_t resultSize) {
    switch (kind) {
    case REQUEST_FLOW_VALUES:
        if (result != nullptr) {
            SimulateFlowValues((NewFlowReadingsRec*)result);
        }
        return message;
    case REQUEST_BOARD_STATE:
        if (result != nullptr) {
            SimulateBoardState((SystemStateRec*)result);
        }
        return message;
    case REQUEST_ASCII:
        SimulateAscii(parse, result, resultSize);
        return message;
    default:
        return WM_FAKE_BAD_REQUEST;
    }
}

// The run this thread is serving now: the device layer's abort check asks it whether to give up.
static thread_local WorkerRunRec* ThisThreadRun = nullptr;

static int RunStopRequested() {
    WorkerRunRec* run = ThisThreadRun;
    return run != nullptr && run->Stop.load() != 0;
}

// The device layer keeps error bits and the speed and line ending to put back per thread:
// loaded from the run before each of its calls and saved after, so runs served by one thread
// one after the other (a single-threaded simulation) each keep their own.
static void EnterRun(WorkerRunRec* run) {
    UseOwnBoardStateOnThisThread();
    AddSerialPortErrors(run->ErrorBits);
    SetLineSettingsToRestore(run->InitialBaud, run->InitialNewLine);
    ThisThreadRun = run;
    SetDeviceAbortCheck(RunStopRequested);
}

static void LeaveRun(WorkerRunRec* run) {
    run->ErrorBits = GetSerialPortErrors();
    run->InitialBaud = GetInitialBaudRate();
    run->InitialNewLine = GetInitialNewLine();
    ThisThreadRun = nullptr;
}

static void PostFromRun(WorkerRunRec* run, uint32_t message, intptr_t lParam) {
    if (run->Post != nullptr) {
        run->Post(run->Target, message, (uintptr_t)run->Token, lParam);
    }
}

static int PauseRunUnlessStopped(WorkerRunRec* run, double seconds) {
    double until = DeviceNowSeconds() + seconds;
    for (;;) {
        if (run->Stop.load()) {
            return 0;
        }
        double left = until - DeviceNowSeconds();
        if (left <= 0.0) {
            return 1;
        }
        DeviceSleepMs(left > 0.02 ? 20u : static_cast<uint32_t>(left * 1000.0) + 1u);
    }
}

void PrepareWorkerRun(WorkerRunRec* run, void* target, PostToWindowFn post, const char* portName,
                      uint64_t token, int simulation, int rideThrough) {
    snprintf(run->PortName, sizeof run->PortName, "%s", portName ? portName : "");
    run->Token = token;
    run->Simulation = simulation ? 1 : 0;
    run->RideThrough = rideThrough ? 1 : 0;
    run->Stop.store(0);
    run->ErrorBits = 0;
    run->InitialBaud = 0;
    run->InitialNewLine = 0;
    run->Device = nullptr;
    run->Connected = 0;
    run->ErrorReported = 0;
    run->Post = post;
    run->Target = target;
}

int WorkerRunConnect(WorkerRunRec* run) {
    if (run->Simulation) {
        return 1;
    }
    EnterRun(run);
    double firstAttempt = DeviceNowSeconds();
    ComHandle device = nullptr;
    int connected = !run->Stop.load() && ConnectToTorvan(run->PortName, &device);
    if (!connected && run->RideThrough && !run->Stop.load()) {
        double lastAttempt = firstAttempt;
        for (;;) {
            double wait = RideThroughWait(firstAttempt, lastAttempt, DeviceNowSeconds());
            if (wait < 0.0 || !PauseRunUnlessStopped(run, wait)) {
                break;
            }
            lastAttempt = DeviceNowSeconds();
            if (ConnectToTorvan(run->PortName, &device)) {
                connected = 1;
                break;
            }
        }
    }
    run->Device = connected ? device : nullptr;
    run->Connected = connected;
    int newLineKnown = GetInitialNewLine() != 0;
    // The probe's time-outs are expected, not a fault of the link the run now has.
    ClearSerialPortErrors();
    LeaveRun(run);
    PostFromRun(run, connected ? WM_CONNECTED : WM_CONNECT_FAILED, connected ? newLineKnown : 0);
    return connected;
}

// Performs a board request into the run's scratch space and copies what it read to the
// request's target; *resultOut is null when the record could not be read.
static uint32_t PerformForRun(WorkerRunRec* run, int kind, const char* text, uint32_t message,
                              int parse, void* result, size_t resultSize, void** resultOut) {
    *resultOut = result;
    switch (kind) {
    case REQUEST_FLOW_VALUES: {
        NewFlowReadingsRec readings;
        int ok = GetLegacyFlowVals(run->Device, &readings);
        if (result == nullptr) {
            return message;
        }
        if (!ok) {
            *resultOut = nullptr;
        } else if (!run->Stop.load()) {
            memcpy(result, &readings, sizeof readings);
        }
        return message;
    }
    case REQUEST_BOARD_STATE: {
        SystemStateRec state;
        int ok = GetLegacyBoardStateVals(run->Device, &state);
        if (result == nullptr) {
            return message;
        }
        if (!ok) {
            *resultOut = nullptr;
        } else if (!run->Stop.load()) {
            memcpy(result, &state, sizeof state);
        }
        return message;
    }
    case REQUEST_ASCII: {
        WriteComStr(run->Device, text);
        char* reply = nullptr;
        int count = 0;
        if (GetAsciiResponse(run->Device, &reply, &count) && reply != nullptr &&
            result != nullptr) {
            // Parsed into the scratch space first: a text target is filled only up to its size,
            // a number target keeps its old value when the reply does not parse.
            size_t size = resultSize < sizeof run->Scratch ? resultSize : sizeof run->Scratch;
            size_t copy = parse == PARSE_TEXT ? size : sizeof(uint32_t);
            memcpy(run->Scratch, result, copy);
            StoreParsedReply(reply, parse, run->Scratch, size);
            if (!run->Stop.load()) {
                memcpy(result, run->Scratch, copy);
            }
        }
        return message;
    }
    default:
        return WM_BAD_REQUEST;
    }
}

int WorkerRunStep(WorkerRunRec* run) {
    if (run->Stop.load()) {
        return 0;
    }
    // The window answers a serial error by stopping this run and starting a fresh one: a run
    // reports it once and then takes nothing more.
    if (run->ErrorReported || (!run->Simulation && !run->Connected)) {
        return 0;
    }
    int kind;
    char* text;
    uint32_t message;
    int parse;
    void* result;
    size_t resultSize = 0;
    if (!DequeueThreadMsg(&kind, &text, &message, &parse, &result, &resultSize)) {
        return 0;
    }
    if (run->Simulation) {
        message = PerformSimulated(kind, message, parse, result, resultSize);
        PostFromRun(run, message, (intptr_t)result);
        return 1;
    }
    EnterRun(run);
    void* reported = result;
    message = PerformForRun(run, kind, text, message, parse, result, resultSize, &reported);
    uint32_t errors = GetSerialPortErrors();
    LeaveRun(run);
    // A request that failed reports no result: its target holds nothing the board said, and
    // the serial error that follows tells the window why.
    PostFromRun(run, message, errors != 0 ? 0 : (intptr_t)reported);
    if (errors != 0) {
        PostFromRun(run, WM_SERIAL_ERROR, (intptr_t)errors);
        run->ErrorReported = 1;
    }
    return 1;
}

void WorkerRunFinish(WorkerRunRec* run) {
    if (run->Device != nullptr) {
        EnterRun(run);
        DisconnectFromTorvan(run->Device);
        LeaveRun(run);
        run->Device = nullptr;
    } else if (!run->Simulation && run->InitialBaud != 0) {
        // The connect sent the speed switch and then lost the port, or was stopped before it
        // had the link: the board may sit at 230400 with nobody to put it back but this run.
        EnterRun(run);
        PutBoardBack(run->PortName);
        LeaveRun(run);
    }
    run->Connected = 0;
    PostFromRun(run, WM_WORKER_ENDED, 0);
}

void StopWorkerRun(WorkerRunRec* run) {
    run->Stop.store(1);
    SignalQueueWaiter();
}

unsigned WorkerThreadFunction(WorkerRunRec* run) {
    if (WorkerRunConnect(run)) {
        while (!run->Stop.load()) {
            int took = WorkerRunStep(run);
            if (run->Stop.load()) {
                break;
            }
            // An empty queue is not polled: the worker sleeps until the next enqueue (or a
            // stop) signals it. A pass that took a request keeps its pause, so back-to-back
            // requests reach the board no faster than before.
            if (took) {
                DeviceSleepMs(REQUEST_PAUSE_MS);
            } else {
                WaitForQueueSignal(IDLE_WAIT_MS);
            }
        }
    }
    WorkerRunFinish(run);
    return 0;
}
