// The worker: the only code that talks to the serial port. A run connects, then takes one
// request per pass from the command queue, performs it and posts the request's reply message
// to the main window with its token. In simulation it makes up the answers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "device/SerialPort.h"

constexpr int PORT_NAME_SIZE = 256;

// 1 while the main window's graph exists; the simulation then reuses its last flow for the
// state record so the graph and the readout agree.
extern std::atomic<int32_t> SimGraphWindowExists;

// How a run posts to the main window: PostMessageA in the exe, a recorder in tests.
typedef int (*PostToWindowFn)(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// One run of the worker: everything it needs is its own, so a run that is left to end by
// itself (its read ignored the stop and the cancel) can never reach the port, the board or the
// error bits of the run that follows. The user-interface thread fills it in before the start
// and afterwards touches only Stop; it frees it once the run has posted WM_WORKER_ENDED and
// its thread has returned.
constexpr size_t WORKER_SCRATCH_SIZE = 5120; // the longest reply target (the command window's)

struct WorkerRunRec {
    char PortName[PORT_NAME_SIZE];
    uint64_t Token; // never 0: every message the run posts carries it in wParam
    int Simulation;
    // 1 for a reconnection: a port that cannot be opened, or a board that does not answer the
    // probe, is tried again for a while (RideThroughWait) before the run reports its failure.
    int RideThrough;
    std::atomic<int32_t> Stop;
    // The run's own serial error bits and the speed and line ending its end puts back: the
    // device layer's per-thread copies are loaded from here on every call and saved after.
    uint32_t ErrorBits;
    uint32_t InitialBaud;
    uint32_t InitialNewLine;
    ComHandle Device;
    int Connected;
    int ErrorReported;
    PostToWindowFn Post;
    void* Target; // the window the run posts to (opaque here)
    // A reply is read here and copied to its target only while the run has not been told to
    // stop: a run that outlives its stop must not write a record the next run's window reads.
    uint8_t Scratch[WORKER_SCRATCH_SIZE];
};

// Sets a record up for a new run (port name cut to fit; stop, errors, device cleared).
void PrepareWorkerRun(WorkerRunRec* run, void* target, PostToWindowFn post, const char* portName,
                      uint64_t token, int simulation, int rideThrough);
// Opens the port, probes the board and finds its speed (the ride-through included), and posts
// WM_CONNECTED (lParam 1 when the board's line ending was read) or WM_CONNECT_FAILED. A
// simulation connects to nothing and posts neither. Returns 1 when the run may take requests.
int WorkerRunConnect(WorkerRunRec* run);
// At most one request from the command queue, performed and its reply posted; then, once per
// run, WM_SERIAL_ERROR (lParam: the run's error bits) when the link failed. Returns 1 when it
// took a request. Takes nothing once told to stop.
int WorkerRunStep(WorkerRunRec* run);
// Puts the board back to its own speed and line ending, closes the port, and posts
// WM_WORKER_ENDED as the run's last act. A run without a link whose connect had moved the
// board puts it back through a port opened for that (PutBoardBack).
void WorkerRunFinish(WorkerRunRec* run);
// Tells the run to stop and wakes it if it waits on the queue.
void StopWorkerRun(WorkerRunRec* run);
// The thread body: WorkerRunConnect, WorkerRunStep until told to stop (waiting on the queue's
// signal while it is empty), WorkerRunFinish. Returns 0.
unsigned WorkerThreadFunction(WorkerRunRec* run);

// Simulation arithmetic.
int32_t SimulatedRawFlowCounts(float setPoint, float flow);
