// The worker thread: the only code that talks to the serial port. It connects, then takes
// one request per pass from the command queue, performs it and posts the request's reply
// message to the main window. In simulation it makes up the answers.
#pragma once

#include <atomic>
#include <cstdint>

#include "device/SerialPort.h"

constexpr int PORT_NAME_SIZE = 256;

struct ThreadParamsRec {
    void* MainWindow; // HWND of the main window (opaque here)
    std::atomic<ComHandle> Device;
    std::atomic<int32_t> Stop;
    std::atomic<int32_t> Connected;
    std::atomic<int32_t> Simulation;
    std::atomic<int32_t> Running;
    // Which run of the worker this is, never 0: set by the user-interface thread before each
    // start and 0 once it has stopped the worker. Every message the worker posts carries its
    // run in wParam, so the main window can drop what a stopped run left in its queue.
    std::atomic<uint32_t> Run;
    // 1 for a reconnection: a port that cannot be opened, or a board that does not answer the
    // probe, is tried again for a while (RideThroughWait) before the run reports its failure.
    // Set by the user-interface thread before the start.
    std::atomic<int32_t> RideThrough;
    char PortName[PORT_NAME_SIZE];
};

extern ThreadParamsRec ThreadParams;

// 1 while the main window's graph exists; the simulation then reuses its last flow for the
// state record so the graph and the readout agree.
extern std::atomic<int32_t> SimGraphWindowExists;

// How the worker posts to the main window: PostMessageA in the exe, a recorder in tests.
typedef int (*PostToWindowFn)(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam);
void SetWorkerPostFunction(PostToWindowFn post);

// The thread body (the same code on Windows and natively). Returns 0.
unsigned WorkerThreadFunction(ThreadParamsRec* params);

// Simulation arithmetic.
int32_t SimulatedRawFlowCounts(float setPoint, float flow);

// Sets the record up for a new worker run: window, port name (cut to fit), simulation flag;
// clears stop, running, connected, the ride-through and the device handle.
void PrepareWorkerParams(ThreadParamsRec* params, void* mainWindow, const char* portName,
                         int simulation);

// Sets stop and waits until the worker has cleared its running flag, at most timeoutMs.
// Returns non-zero when the worker has ended.
int StopWorkerThread(ThreadParamsRec* params, uint32_t timeoutMs);
