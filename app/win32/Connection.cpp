// The connection's one owner. Every transition runs start to end on the user-interface thread:
// it marks itself busy, stops or starts the worker, sets the new state and the menus, and only
// once it is complete shows what the operator must hear (the closed log, a failure). A request
// that arrives while one runs (a posted 40110 or Open, a quit request through the port dialog's
// message loop) starts nothing; a quit is kept and carried out when the transition is done.
#include "app/win32/Connection.h"

#include <process.h>

#include <cstdio>
#include <cstring>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/QueueSignal.h"
#include "app/SerialCmdQ.h"
#include "app/WorkerThread.h"
#include "app/win32/FlowLog.h"
#include "app/win32/LegacyApp.h"
#include "app/win32/MainMenu.h"
#include "app/win32/MainReplies.h"
#include "device/LegacyBoardUtils.h"
#include "device/win32/ConfigComPort.h"
#include "device/win32/ConnectionPort.h"
#include "display/win32/Graph.h"
#include "tools/win32/CmdWin.h"

BeginThreadFunc BeginWorkerThread = _beginthreadex;

namespace {

// The worker's handle while it runs.
HANDLE WorkerThread;
ConnectionState State = CONN_IDLE;
int Busy;
int QuitPending;
// Windows is ending the session: the connection has ended for good and nothing starts again.
int SessionEnded;
FaultCounterRec Faults;
PollGateRec Polls;
char PortName[PORT_NAME_SIZE];

// The start that Open or a reconnection asked for with WM_START_WORKER; 0 when none is due.
// Anything that ends the connection withdraws it, so a Close or the start of the simulation
// that the operator chose while the request waited in the queue is not undone.
WPARAM PendingStart;
WPARAM LastStartToken;

// The run number of the last worker started; runs are never 0, which means "none".
uint32_t LastWorkerRun;

// A worker that did not end when told to (its device never let a read finish, not even when
// its I/O was cancelled). It is left to end by itself; no new worker starts before it has.
HANDLE LeftWorker;

// How long a stop waits for the worker: a read gives up within the port's byte time-out
// (about 150 ms) once Stop is seen, and the restore writes two short commands. The second
// wait follows CancelSynchronousIo, for a driver that does not honour the read time-out.
constexpr uint32_t STOP_WAIT_MS = 600;
constexpr uint32_t CANCELLED_STOP_WAIT_MS = 300;

int PostToMainWindow(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageA((HWND)window, message, (WPARAM)wParam, (LPARAM)lParam) ? 1 : 0;
}

unsigned __stdcall WorkerTrampoline(void* params) {
    return WorkerThreadFunction((ThreadParamsRec*)params);
}

double NowSeconds() {
    return GetTickCount64() / 1000.0;
}

int BeginTransition() {
    if (Busy || SessionEnded)
        return 0;
    Busy = 1;
    return 1;
}

void EndTransition(HWND window) {
    Busy = 0;
    if (QuitPending) {
        QuitPending = 0;
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
}

// A worker left running by an earlier stop that has ended since gives its handle back.
int LeftWorkerStillRuns() {
    if (!LeftWorker)
        return 0;
    if (WaitForSingleObject(LeftWorker, 0) == WAIT_TIMEOUT)
        return 1;
    CloseHandle(LeftWorker);
    LeftWorker = nullptr;
    return 0;
}

// Starts WorkerThreadFunction on ThreadParams at time-critical priority, as a new run (one that
// rides through a brief outage when rideThrough is set). Refuses while a worker still runs: two
// readers of the one queue would take each other's requests.
int StartWorkerThread(HWND window, const char* portName, int simulation, int rideThrough) {
    if (LeftWorkerStillRuns() || ThreadParams.Running.load() || WorkerThread)
        return 0;
    PrepareWorkerParams(&ThreadParams, window, portName, simulation);
    ThreadParams.RideThrough.store(rideThrough ? 1 : 0);
    SetWorkerPostFunction(PostToMainWindow);
    if (++LastWorkerRun == 0)
        LastWorkerRun = 1;
    ThreadParams.Run.store(LastWorkerRun);
    // Running is raised here as well as by the thread itself: a stop that comes before the
    // new thread has run its first line must still see it.
    ThreadParams.Running.store(1);
    uintptr_t thread = BeginWorkerThread(nullptr, 0, WorkerTrampoline, &ThreadParams, 0, nullptr);
    if (thread == 0) {
        ThreadParams.Running.store(0);
        ThreadParams.Run.store(0);
        ThreadParams.Simulation.store(0);
        WorkerThread = nullptr;
        return 0;
    }
    WorkerThread = (HANDLE)thread;
    SetThreadPriority(WorkerThread, THREAD_PRIORITY_TIME_CRITICAL);
    return 1;
}

void ReportWorkerStartFailure(HWND window) {
    ResetSettingSends();
    CmdWinConnectionEnded();
    ReleaseConnectionPort();
    SetConnectionMenuIdle(window);
    InvalidateRect(window, nullptr, FALSE);
    EndLogWithNotice(window);
    MainMessageBox(window, "The connection could not be started: no worker thread.", AppName,
                   MB_OK | MB_ICONERROR);
}

void RequestWorkerStart(HWND window) {
    if (++LastStartToken == 0)
        ++LastStartToken;
    PendingStart = LastStartToken;
    PostMessageA(window, WM_START_WORKER, PendingStart, 0);
}

// Whatever runs stops and the board is put back (the ending state); the caller sets the next.
void EndRun() {
    PendingStart = 0;
    State = CONN_ENDING;
    StopProcessing();
}

// The connection ended for good: what the operator chose and was not carried out is dropped,
// and the command window says how many of its lines were not sent.
void EndConnectionForGood() {
    EndRun();
    ResetSettingSends();
    CmdWinConnectionEnded();
    // The port is free for other windows and torvanctl; a port just taken in the port dialog
    // for the next connection stays held.
    ReleaseConnectionPort();
}

void BeginBoardConnection(HWND window, const char* portName) {
    snprintf(PortName, sizeof PortName, "%s", portName);
    snprintf(ThreadParams.PortName, sizeof ThreadParams.PortName, "%s", portName);
    ResetFaultCounter(&Faults);
    State = CONN_CONNECTING;
    RequestWorkerStart(window);
}

} // namespace

ConnectionState CurrentConnectionState() {
    return State;
}

int ConnectionBusy() {
    return Busy;
}

const char* ConnectionPortName() {
    return PortName;
}

void SetConnectionStateForTests(ConnectionState state) {
    State = state;
    ResetFaultCounter(&Faults);
    FaultCounterRunStarted(&Faults, NowSeconds());
    PollGateReset(&Polls);
}

int IsCurrentWorkerRun(WPARAM run) {
    uint32_t current = ThreadParams.Run.load();
    return current != 0 && (uint32_t)run == current;
}

void StopProcessing() {
    HWND window = MainWindowHandle;
    // The log's timer runs on: a reconnection keeps the log, and the log's own end stops it.
    for (UINT id = TIMER_FLOW_READINGS; id <= TIMER_SEND_CRACKING; id++)
        if (id != TIMER_LOG_SAMPLE)
            KillTimer(window, id);

    int ended = 1;
    if (ThreadParams.Running.load()) {
        ended = StopWorkerThread(&ThreadParams, STOP_WAIT_MS);
        // A read the device keeps alive below the port's time-outs (a driver that ignores
        // them, an adapter gone mid-read) is cancelled; the worker then sees the stop.
        if (!ended && WorkerThread) {
            CancelSynchronousIo(WorkerThread);
            ended = StopWorkerThread(&ThreadParams, CANCELLED_STOP_WAIT_MS);
        }
    }
    if (WorkerThread) {
        // Running drops just before the thread returns: let it return before the handle goes.
        if (ended && WaitForSingleObject(WorkerThread, 500) == WAIT_OBJECT_0) {
            CloseHandle(WorkerThread);
        } else {
            if (LeftWorker)
                CloseHandle(LeftWorker);
            LeftWorker = WorkerThread;
            ended = 0;
        }
        WorkerThread = nullptr;
    }

    // A worker left running still has Stop set and takes no further request; it clears its
    // own flags when it ends, and no new run starts before.
    ClearMsgQueue();
    ClearSerialPortErrors();
    PollGateReset(&Polls);
    // The queue's sends are gone with it: the operator's unconfirmed settings and command
    // lines wait for the next run (a reconnection); an end of the connection drops them after.
    SettingsLinkDown();
    CmdWinLinkDown();

    if (ended) {
        ThreadParams.Stop.store(0);
        ThreadParams.Device.store(nullptr);
        ThreadParams.Connected.store(0);
        ThreadParams.Running.store(0);
        ThreadParams.Simulation.store(0);
    }
    // What the stopped run posted and the window has not read yet is now out of date.
    ThreadParams.Run.store(0);

    // A reconnection keeps the log; it writes again once the new run reports the board's
    // state. The ends of a connection close it.
    HoldLogForLink();
    CurrentActiveGas = -1;
}

void ConnectionOpenCommand(HWND window) {
    if (!ConnectionAllowsOpen(State) || !BeginTransition())
        return;
    int portsAvailable = 0;
    char chosen[PORT_NAME_SIZE];
    snprintf(chosen, sizeof chosen, "%s", PortName);
    DWORD baud = 230400;
    int ok = GetSerialPortConfig(MainInstance, window, &portsAvailable, chosen, &baud);
    Busy = 0;
    // The dialog's loop may have carried a quit request; it wins over the port chosen.
    if (QuitPending) {
        EndTransition(window);
        return;
    }
    if (ok && portsAvailable && chosen[0] != '\0')
        ConnectionOpenPort(window, chosen);
}

void ConnectionOpenPort(HWND window, const char* portName) {
    if (!ConnectionAllowsOpen(State) || !BeginTransition())
        return;
    // The simulation, if it runs, ends before the name changes.
    EndConnectionForGood();
    BeginBoardConnection(window, portName);
    EndTransition(window);
    EndLogWithNotice(window);
}

void ConnectionClose(HWND window) {
    if (!BeginTransition())
        return;
    if (State != CONN_IDLE)
        EndConnectionForGood();
    State = CONN_IDLE;
    SetConnectionMenuIdle(window);
    InvalidateRect(window, nullptr, FALSE);
    EndTransition(window);
    EndLogWithNotice(window);
}

void ConnectionSimulate(HWND window) {
    if (!ConnectionAllowsSimulate(State) || !BeginTransition())
        return;
    if (State != CONN_IDLE)
        EndConnectionForGood();
    snprintf(PortName, sizeof PortName, "%s", "FAKE");
    snprintf(ThreadParams.PortName, sizeof ThreadParams.PortName, "%s", "FAKE");
    snprintf(GasUnits, sizeof GasUnits, "%s", "sccm");
    snprintf(GasSymbol, sizeof GasSymbol, "%s", "N2");
    FullScaleFlow = 500.0f;
    GasTimeFactor = 1.0f;
    CurrentActiveGas = 0;
    if (!StartWorkerThread(window, "FAKE", 1, 0)) {
        State = CONN_IDLE;
        EndTransition(window);
        ReportWorkerStartFailure(window);
        return;
    }
    State = CONN_SIMULATING;
    EnqueueThreadMsg(REQUEST_ASCII, "S64\r", WM_PRODUCT_CONFIG, PARSE_HEX, &ProductConfig);
    snprintf(WindowTitle, sizeof WindowTitle, "%s", "Torvan FAKE");
    SetWindowTextA(window, WindowTitle);
    HMENU menu = GetMenu(window);
    EnableMenuItem(menu, CMD_OPEN, MF_BYCOMMAND | MF_ENABLED);
    EnableMenuItem(menu, CMD_SIMULATE, MF_BYCOMMAND | MF_GRAYED);
    EnableMenuItem(menu, CMD_CLOSE, MF_BYCOMMAND | MF_ENABLED);
    InvalidateRect(window, nullptr, FALSE);
    SetTimer(window, TIMER_STATE_POLL, 100, TimerProc);
    if (GraphWin1 && IsWindow(GraphWin1))
        SetTimer(window, TIMER_FLOW_READINGS, 50, TimerProc);
    PostMessageA(window, WM_GAS_INFO, ThreadParams.Run.load(), (LPARAM)&FullScaleFlow);
    EndTransition(window);
    EndLogWithNotice(window);
}

void ConnectionStartWorker(HWND window, WPARAM token) {
    // Only the start this module asked for, while it still wants it: a WM_START_WORKER from
    // anywhere else, or one that an ending withdrew, starts nothing.
    if (token == 0 || token != PendingStart)
        return;
    PendingStart = 0;
    if (State != CONN_CONNECTING && State != CONN_RECONNECTING)
        return;
    if (!BeginTransition())
        return;
    // A reconnection rides through a brief outage; the operator's own Open reports at once.
    if (!StartWorkerThread(window, PortName, 0, State == CONN_RECONNECTING)) {
        State = CONN_IDLE;
        EndTransition(window);
        ReportWorkerStartFailure(window);
        return;
    }
    EndTransition(window);
}

int ConnectionReportConnected(HWND) {
    ConnectionState next = ConnectionAfterReport(State, REPORT_CONNECTED, 0);
    if (next == State)
        return 0;
    State = next;
    FaultCounterRunStarted(&Faults, NowSeconds());
    return 1;
}

void ConnectionReportConnectFailed(HWND window) {
    ConnectionState next = ConnectionAfterReport(State, REPORT_CONNECT_FAILED, 0);
    if (next == State || !BeginTransition())
        return;
    EndConnectionForGood();
    State = next;
    SetConnectionMenuIdle(window);
    InvalidateRect(window, nullptr, FALSE);
    EndTransition(window);
    // The connection is gone: a log that ran through the attempt ends here, and the operator
    // hears of it before choosing a port again.
    EndLogWithNotice(window);
    PostMessageA(window, WM_COMMAND, CMD_OPEN, 0);
}

void ConnectionReportLinkError(HWND window) {
    if (State != CONN_CONNECTED || !BeginTransition())
        return;
    uint32_t errors = GetSerialPortErrors();
    int allowed = FaultCounterMayReconnect(&Faults, NowSeconds());
    SerialPortErrors = errors;
    if (allowed) {
        EndRun();
        State = CONN_RECONNECTING;
        InvalidateRect(window, nullptr, FALSE);
        BringWindowToTop(window);
        RequestWorkerStart(window);
        EndTransition(window);
        return;
    }
    EndConnectionForGood();
    State = ConnectionAfterReport(CONN_CONNECTED, REPORT_LINK_ERROR, allowed);
    InvalidateRect(window, nullptr, FALSE);
    SetConnectionMenuIdle(window);
    EndTransition(window);
    EndLogWithNotice(window);
    // The port dialog that opens says why: the operator picks the port again once the board
    // and its cable are checked, or another one.
    char text[512];
    snprintf(text, sizeof text,
             "The link to %s kept failing (%s): %d connections in a row failed within %d s. "
             "Check the board and its cable, then choose the port again.",
             PortName, (errors & SERIAL_ERROR_CHECKSUM) ? "bad replies" : "no reply in time",
             QUICK_FAULT_LIMIT + 1, (int)QUICK_FAULT_SECONDS);
    SetPortDialogNote(text);
    PostMessageA(window, WM_COMMAND, CMD_OPEN, 0);
}

// A quit request that comes while the port dialog (or a box over it) is up cancels them: the
// program is asked to end, and the operator's choice of a port no longer matters.
static BOOL CALLBACK CancelOwnedDialog(HWND candidate, LPARAM owner) {
    char className[16] = "";
    GetClassNameA(candidate, className, sizeof className);
    if (strcmp(className, "#32770") == 0 && GetWindow(candidate, GW_OWNER) == (HWND)owner)
        PostMessageA(candidate, WM_COMMAND, IDCANCEL, 0);
    return TRUE;
}

void ConnectionEndForSession(HWND window) {
    // Also while a transition shows the port dialog or a box: Windows ends the process soon
    // after this returns, and the board must have been put back by then. No dialog's loop runs
    // the transition on afterwards, since none may start again.
    SessionEnded = 1;
    QuitPending = 0;
    if (State != CONN_IDLE || ThreadParams.Running.load() || WorkerThread)
        EndConnectionForGood();
    State = CONN_IDLE;
    SetConnectionMenuIdle(window);
}

int ConnectionEndForExit(HWND window) {
    if (Busy) {
        QuitPending = 1;
        EnumThreadWindows(GetCurrentThreadId(), CancelOwnedDialog, (LPARAM)window);
        return 0;
    }
    Busy = 1;
    if (State != CONN_IDLE || ThreadParams.Running.load() || WorkerThread)
        EndConnectionForGood();
    State = CONN_IDLE;
    Busy = 0;
    (void)window;
    return 1;
}

void ConnectionPollTick(UINT timerId) {
    if (!ConnectionPolls(State))
        return;
    PollKind kind = timerId == TIMER_STATE_POLL ? POLL_STATE : POLL_FLOW;
    if (!PollGateTake(&Polls, kind))
        return;
    int queued =
        kind == POLL_STATE
            ? EnqueueThreadMsg(REQUEST_BOARD_STATE, nullptr, WM_BOARD_STATE, 0, &TempSystemState)
            : EnqueueThreadMsg(REQUEST_FLOW_VALUES, nullptr, WM_FLOW_READINGS, 0, &NewFlowReadings);
    if (!queued)
        PollGateAnswered(&Polls, kind);
}

void ConnectionPollAnswered(PollKind kind) {
    PollGateAnswered(&Polls, kind);
}
