// The owner of the main window's connection: every way a connection starts, changes or ends
// (the Connection menu, 40110, the worker's reports, WM_START_WORKER, the state and flow
// timers, the window's close and the quit request) goes through the functions below, which
// keep the state of app/ConnectionState.h and start and stop the worker. User-interface thread
// only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/ConnectionState.h"

// How the worker thread is started (_beginthreadex); tests replace it with a thread that
// cannot be started or one they count.
typedef uintptr_t (*BeginThreadFunc)(void* security, unsigned stackSize,
                                     unsigned(__stdcall* start)(void*), void* argument,
                                     unsigned flags, unsigned* threadId);
extern BeginThreadFunc BeginWorkerThread;

ConnectionState CurrentConnectionState();
// Non-zero while a transition runs (it may show the port dialog); nothing else starts then.
int ConnectionBusy();
// The port the connection is for ("FAKE" while simulating); empty before the first Open.
const char* ConnectionPortName();

// Connection > Open: the port dialog, then ConnectionOpenPort with the chosen port.
void ConnectionOpenCommand(HWND window);
// Ends whatever runs (the simulation) and connects to portName: the worker is started through
// WM_START_WORKER. Also what a test calls instead of working the dialog.
void ConnectionOpenPort(HWND window, const char* portName);
// Connection > Close.
void ConnectionClose(HWND window);
// Command 40110: the simulated board.
void ConnectionSimulate(HWND window);
// WM_START_WORKER: starts the worker only for the start this module asked for and still wants.
void ConnectionStartWorker(HWND window, WPARAM token);
// The worker's reports (of the current run). Each returns non-zero when the report moved the
// connection on, so that its reply handler does the rest of its work.
int ConnectionReportConnected(HWND window);
void ConnectionReportConnectFailed(HWND window);
void ConnectionReportLinkError(HWND window);
// WM_ENDSESSION, the session ending: the connection ends for good (the board put back, its
// port closed) before this returns, whatever transition is showing a window, and nothing
// starts again. Bounded by the worker's stop, about 1.4 s at the very worst.
void ConnectionEndForSession(HWND window);
// WM_CLOSE and the quit request: non-zero when the window may go now (the connection has
// ended, the board is restored); 0 when a transition runs, which closes the window when done.
int ConnectionEndForExit(HWND window);

// Timers 264 and 265: a flow or state request, unless the last one is unanswered or no worker
// serves the queue.
void ConnectionPollTick(UINT timerId);
// WM_FLOW_READINGS / WM_BOARD_STATE of the current run arrived, with a record or a failure:
// the next request of the kind may go. A good record does not clear the fault counter: a
// fault that comes back after the first records (an unanswered gas query) must still end.
void ConnectionPollAnswered(PollKind kind);

// Tests that play the worker's part put the connection in the state its reports belong to.
void SetConnectionStateForTests(ConnectionState state);

// Non-zero when a message's wParam names the worker run that is still going: the reports of
// a stopped run change nothing.
int IsCurrentWorkerRun(WPARAM run);
// Stops the worker, at most about 1 s whatever the device does, and empties the queue; the
// log's timer runs on (a reconnection keeps the log).
void StopProcessing();
