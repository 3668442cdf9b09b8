// The Win32 side of the connection's owner (app/ConnectionOwner.h): it turns the window's
// messages into the owner's events, with the time from GetTickCount64, and carries out the
// actions that come back: worker threads started, told to stop and cancelled, the port locks,
// the timers, the identification, the boxes and the port dialog, the companion windows' hooks
// (app/win32/Companions.h). Nothing here waits for a worker except the session's end.
// User-interface thread only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/ConnectionOwner.h"

// How the worker thread is started (_beginthreadex); tests replace it with a thread that
// cannot be started or one they count.
typedef uintptr_t (*BeginThreadFunc)(void* security, unsigned stackSize,
                                     unsigned(__stdcall* start)(void*), void* argument,
                                     unsigned flags, unsigned* threadId);
extern BeginThreadFunc BeginWorkerThread;

// A new main window starts with no connection (and with the tokens of a new source).
void InitConnection();

ConnectionState CurrentConnectionState();
// Non-zero while the port dialog shows; nothing else starts then.
int ConnectionBusy();
// The port the connection is for ("FAKE" while simulating); empty before the first Open.
const char* ConnectionPortName();

// Connection > Open: the port dialog, then the chosen port.
void ConnectionOpenCommand(HWND window);
// Ends whatever runs (the simulation) and connects to portName, as if chosen in the dialog.
void ConnectionOpenPort(HWND window, const char* portName);
void ConnectionClose(HWND window);    // Connection > Close
void ConnectionSimulate(HWND window); // command 40110
// WM_START_WORKER: starts the worker only for the start the owner asked for and still wants.
void ConnectionStartWorker(HWND window, WPARAM token);
// A worker's own reports: WM_CONNECTED, WM_CONNECT_FAILED, WM_SERIAL_ERROR, WM_WORKER_ENDED.
void ConnectionWorkerReport(HWND window, UINT message, WPARAM token, LPARAM lParam);
// Non-zero when WM_PRODUCT_CONFIG of token answers the identification the owner waits for.
int ConnectionWantsIdentification(WPARAM token);
// The identification answered (the window has taken the board's kind): the link is up.
void ConnectionIdentified(HWND window, WPARAM token, int isController);
// WM_FLOW_READINGS / WM_BOARD_STATE of token arrived: non-zero when it answers the request
// in flight of its kind, and so may be shown.
int ConnectionPollAnswered(HWND window, WPARAM token, PollKind kind);
// Timers 264 and 265, and the owner's clock (273).
void ConnectionPollTick(HWND window, UINT timerId);
void ConnectionClockTick(HWND window);
void ConnectionGraphOpened(HWND window);
void ConnectionGraphClosed(HWND window);
// WM_ENDSESSION, the session ending: the boards are put back (a bounded wait for the workers)
// before this returns, and nothing starts again.
void ConnectionEndForSession(HWND window);
// WM_CLOSE and the quit request: the window is destroyed once the connection has ended.
void ConnectionEndForExit(HWND window);

// Replies of token may be shown (its run serves the queue now): a stopped run's, or another
// program's, are dropped.
int ConnectionTakesReplies(WPARAM token);
int ConnectionControllerIdentified();
int ConnectionSessionEnded(); // Windows logs off or shuts down: nothing starts again
int ConnectionLinkUp();
int ConnectionSimulating();
int ConnectionWaitingForPrevious();
uint64_t ConnectionCurrentToken();
// The Connection menu's items as the owner's rules say.
void ApplyConnectionMenu(HMENU menu);

// Tests that play the worker's part put the connection in a state with a run of their own
// (no thread) and post its reports with the token returned.
WPARAM ActAsWorkerForTests(ConnectionState state, const char* port = nullptr);
// ... and the poll timer has asked for a record of the kind.
void ExpectPollForTests(PollKind kind);
// The number of worker threads this window has that have not ended.
int LiveWorkerThreads();
