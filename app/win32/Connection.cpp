// The owner's actions carried out with Win32. Each event is handled to its end by the owner
// before anything is done about it; an action that fails or cannot wait (a thread that does not
// start, a poll the full queue refused, a stop of a run that has no thread) is answered with
// an event of its own once the list is done. A thread that does not start also drops the rest
// of its list (the simulation's title, its identification, its timers): the failure's own
// actions say what the window shows instead.
#define _CRT_RAND_S
#include <stdlib.h>

#include "app/win32/Connection.h"

#include <process.h>

#include <cstdio>
#include <cstring>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/QueueSignal.h"
#include "app/SerialCmdQ.h"
#include "app/WorkerThread.h"
#include "app/win32/Companions.h"
#include "app/win32/LegacyApp.h"
#include "app/win32/MainReplies.h"
#include "device/win32/ConfigComPort.h"
#include "device/win32/ConnectionPort.h"

BeginThreadFunc BeginWorkerThread = _beginthreadex;

namespace {

ConnectionOwnerRec Owner;
int OwnerReady;

// The worker threads this window started and that have not reported their end (the run going,
// one ending, one left to end by itself; a few to spare).
constexpr int WORKERS_MAX = 6;
struct WorkerSlot {
    uint64_t Token;
    HANDLE Thread;
    WorkerRunRec* Run;
};
WorkerSlot Workers[WORKERS_MAX];

// Events that answer an action of the list being carried out; handled once it is done.
constexpr int DEFERRED_MAX = 8;
OwnerEvent Deferred[DEFERRED_MAX];
int DeferredCount;
int StartFailed;

// Each run's token comes from the system's random source, so that another program cannot guess
// one and post a report the window would take as its worker's.
uint64_t RandomToken(void*) {
    unsigned int high = 0, low = 0;
    if (rand_s(&high) != 0 || rand_s(&low) != 0) {
        static uint64_t fallback = GetTickCount64() * 2654435761u;
        return ++fallback;
    }
    return ((uint64_t)high << 32) | low;
}

uint64_t TestTokens(void* context) {
    return ++*(uint64_t*)context;
}

double NowSeconds() {
    return GetTickCount64() / 1000.0;
}

void EnsureOwner() {
    if (!OwnerReady)
        InitConnection();
}

int PostToMainWindow(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageA((HWND)window, message, (WPARAM)wParam, (LPARAM)lParam) ? 1 : 0;
}

unsigned __stdcall WorkerTrampoline(void* run) {
    return WorkerThreadFunction((WorkerRunRec*)run);
}

WorkerSlot* FindWorker(uint64_t token) {
    for (WorkerSlot& slot : Workers)
        if (slot.Thread && slot.Token == token)
            return &slot;
    return nullptr;
}

void Defer(OwnerEventKind kind, uint64_t token, PollKind poll) {
    if (DeferredCount >= DEFERRED_MAX)
        return;
    OwnerEvent event = MakeOwnerEvent(kind, NowSeconds());
    event.Token = token;
    event.Poll = poll;
    Deferred[DeferredCount++] = event;
}

// Starts a run on a thread of its own at time-critical priority.
int StartRun(HWND window, const OwnerAction& action) {
    WorkerSlot* free = nullptr;
    for (WorkerSlot& slot : Workers)
        if (!slot.Thread) {
            free = &slot;
            break;
        }
    if (!free)
        return 0;
    WorkerRunRec* run = new WorkerRunRec;
    PrepareWorkerRun(run, window, PostToMainWindow, action.Port, action.Token, action.Simulation,
                     action.RideThrough);
    uintptr_t thread = BeginWorkerThread(nullptr, 0, WorkerTrampoline, run, 0, nullptr);
    if (thread == 0) {
        delete run;
        return 0;
    }
    free->Token = action.Token;
    free->Thread = (HANDLE)thread;
    free->Run = run;
    SetThreadPriority(free->Thread, THREAD_PRIORITY_TIME_CRITICAL);
    return 1;
}

// The run posted its end as its last act: its thread returns at once, and its record goes.
void ForgetWorker(WorkerSlot* slot, DWORD waitMs) {
    if (WaitForSingleObject(slot->Thread, waitMs) != WAIT_OBJECT_0)
        return; // still running: its record stays, it must not be freed under it
    CloseHandle(slot->Thread);
    delete slot->Run;
    *slot = WorkerSlot{};
}

// The session's end: every worker is waited for, its I/O cancelled half-way, at most seconds.
void WaitForWorkers(double seconds) {
    ULONGLONG start = GetTickCount64();
    DWORD half = (DWORD)(seconds * 500.0);
    for (int pass = 0; pass < 2; pass++) {
        for (WorkerSlot& slot : Workers) {
            if (!slot.Thread)
                continue;
            ULONGLONG spent = GetTickCount64() - start;
            DWORD until = pass == 0 ? half : 2 * half;
            ForgetWorker(&slot, spent >= until ? 0 : (DWORD)(until - spent));
        }
        if (pass == 0)
            for (WorkerSlot& slot : Workers)
                if (slot.Thread)
                    CancelSynchronousIo(slot.Thread);
    }
}

// A quit request that comes while the port dialog (or a box over it) is up cancels them.
BOOL CALLBACK CancelOwnedDialog(HWND candidate, LPARAM owner) {
    char className[16] = "";
    GetClassNameA(candidate, className, sizeof className);
    if (strcmp(className, "#32770") == 0 && GetWindow(candidate, GW_OWNER) == (HWND)owner)
        PostMessageA(candidate, WM_COMMAND, IDCANCEL, 0);
    return TRUE;
}

void Fire(HWND window, const OwnerEvent& event);

void RunPortDialog(HWND window) {
    int portsAvailable = 0;
    char chosen[PORT_NAME_SIZE];
    snprintf(chosen, sizeof chosen, "%s", Owner.Port);
    DWORD baud = 230400;
    int ok = GetSerialPortConfig(MainInstance, window, &portsAvailable, chosen, &baud);
    OwnerEvent answer = MakeOwnerEvent(OWNER_PORT_DIALOG_CANCELLED, NowSeconds());
    if (ok && portsAvailable && chosen[0] != '\0') {
        answer.Kind = OWNER_PORT_CHOSEN;
        snprintf(answer.Port, sizeof answer.Port, "%s", chosen);
    }
    Fire(window, answer);
}

void SetUpSimulation(HWND window, uint64_t token) {
    snprintf(GasUnits, sizeof GasUnits, "%s", "sccm");
    snprintf(GasSymbol, sizeof GasSymbol, "%s", "N2");
    FullScaleFlow = 500.0f;
    GasTimeFactor = 1.0f;
    CurrentActiveGas = 0;
    snprintf(WindowTitle, sizeof WindowTitle, "%s", "Torvan FAKE");
    SetWindowTextA(window, WindowTitle);
    PostMessageA(window, WM_GAS_INFO, (WPARAM)token, (LPARAM)&FullScaleFlow);
}

void Poll(const OwnerAction& action) {
    int queued =
        action.Poll == POLL_STATE
            ? EnqueueThreadMsg(REQUEST_BOARD_STATE, nullptr, WM_BOARD_STATE, 0, &TempSystemState)
            : EnqueueThreadMsg(REQUEST_FLOW_VALUES, nullptr, WM_FLOW_READINGS, 0, &NewFlowReadings);
    if (!queued)
        Defer(OWNER_POLL_ANSWERED, action.Token, action.Poll);
}

void Carry(HWND window, const OwnerAction& a) {
    switch (a.Kind) {
    case ACT_START_WORKER:
        if (!StartRun(window, a)) {
            Defer(OWNER_WORKER_START_FAILED, a.Token, POLL_STATE);
            StartFailed = 1;
        }
        break;
    case ACT_POST_START:
        PostMessageA(window, WM_START_WORKER, (WPARAM)a.Token, 0);
        break;
    case ACT_STOP_WORKER:
        if (WorkerSlot* slot = FindWorker(a.Token))
            StopWorkerRun(slot->Run);
        else
            // A run with no thread (a test's) ends as soon as it is told.
            Defer(OWNER_WORKER_ENDED, a.Token, POLL_STATE);
        break;
    case ACT_CANCEL_WORKER_IO:
        if (WorkerSlot* slot = FindWorker(a.Token))
            CancelSynchronousIo(slot->Thread);
        break;
    case ACT_WAIT_FOR_WORKERS:
        WaitForWorkers(a.Seconds);
        break;
    case ACT_CLEAR_QUEUE:
        ClearMsgQueue();
        break;
    case ACT_HOLD_PORT: {
        // Taken in the port dialog already; a test's Open of a port takes it here.
        char why[320];
        HoldPortForConnection(a.Port, why, sizeof why);
        break;
    }
    case ACT_RELEASE_PORT:
        ReleaseConnectionPort(a.Port);
        break;
    case ACT_IDENTIFY:
        IdentifyBoard(window, a.Simulation, a.NewLineKnown);
        break;
    case ACT_SIMULATION_SETUP:
        SetUpSimulation(window, Owner.Run.Token);
        break;
    case ACT_POLL:
        Poll(a);
        break;
    case ACT_SET_TIMER:
        SetTimer(window, a.Timer, a.Ms, TimerProc);
        break;
    case ACT_KILL_TIMER:
        KillTimer(window, a.Timer);
        break;
    case ACT_HOOK:
        CompanionHook(window, a.Hook);
        break;
    case ACT_UPDATE_MENU:
        ApplyConnectionMenu(GetMenu(window));
        break;
    case ACT_REDRAW:
        SerialPortErrors = Owner.ShownErrors;
        InvalidateRect(window, nullptr, FALSE);
        break;
    case ACT_BRING_TO_TOP:
        BringWindowToTop(window);
        break;
    case ACT_SHOW_BOX:
        MainMessageBox(window, a.Text, AppName, MB_OK | (a.Error ? MB_ICONERROR : MB_ICONWARNING));
        break;
    case ACT_POST_OPEN:
        if (a.Text[0] != '\0')
            SetPortDialogNote(a.Text);
        PostMessageA(window, WM_COMMAND, CMD_OPEN, 0);
        break;
    case ACT_SHOW_PORT_DIALOG:
        RunPortDialog(window);
        break;
    case ACT_CANCEL_DIALOGS:
        EnumThreadWindows(GetCurrentThreadId(), CancelOwnedDialog, (LPARAM)window);
        break;
    case ACT_DESTROY_WINDOW:
        DestroyWindow(window);
        break;
    case OWNER_ACTION_COUNT:
        break;
    }
}

void CarryList(HWND window, const OwnerActionList& actions) {
    StartFailed = 0;
    for (int i = 0; i < actions.Count && !StartFailed; i++)
        Carry(window, actions.Items[i]);
    StartFailed = 0;
}

void Fire(HWND window, const OwnerEvent& event) {
    EnsureOwner();
    OwnerActionList actions;
    OwnerHandleEvent(&Owner, &event, &actions);
    CarryList(window, actions);
    while (DeferredCount > 0) {
        OwnerEvent next = Deferred[0];
        DeferredCount--;
        memmove(&Deferred[0], &Deferred[1], sizeof Deferred[0] * DeferredCount);
        OwnerHandleEvent(&Owner, &next, &actions);
        CarryList(window, actions);
    }
}

void FireKind(HWND window, OwnerEventKind kind, uint64_t token = 0) {
    OwnerEvent event = MakeOwnerEvent(kind, NowSeconds());
    event.Token = token;
    Fire(window, event);
}

} // namespace

void InitConnection() {
    InitConnectionOwner(&Owner, RandomToken, nullptr);
    OwnerReady = 1;
    DeferredCount = 0;
}

ConnectionState CurrentConnectionState() {
    EnsureOwner();
    return Owner.State;
}

int ConnectionBusy() {
    return Owner.DialogShowing;
}

const char* ConnectionPortName() {
    return Owner.Port;
}

void ConnectionOpenCommand(HWND window) {
    FireKind(window, OWNER_OPEN_COMMAND);
}

void ConnectionOpenPort(HWND window, const char* portName) {
    OwnerEvent event = MakeOwnerEvent(OWNER_PORT_CHOSEN, NowSeconds());
    snprintf(event.Port, sizeof event.Port, "%s", portName);
    Fire(window, event);
}

void ConnectionClose(HWND window) {
    FireKind(window, OWNER_CLOSE_COMMAND);
}

void ConnectionSimulate(HWND window) {
    FireKind(window, OWNER_SIMULATE_COMMAND);
}

void ConnectionStartWorker(HWND window, WPARAM token) {
    FireKind(window, OWNER_START_WORKER, token);
}

void ConnectionWorkerReport(HWND window, UINT message, WPARAM token, LPARAM lParam) {
    OwnerEvent event = MakeOwnerEvent(OWNER_WORKER_CONNECTED, NowSeconds());
    event.Token = token;
    switch (message) {
    case WM_CONNECTED:
        event.NewLineKnown = lParam != 0;
        break;
    case WM_CONNECT_FAILED:
        event.Kind = OWNER_WORKER_CONNECT_FAILED;
        break;
    case WM_SERIAL_ERROR:
        event.Kind = OWNER_WORKER_LINK_ERROR;
        event.ErrorBits = (uint32_t)lParam;
        break;
    case WM_WORKER_ENDED:
        event.Kind = OWNER_WORKER_ENDED;
        // Only a thread of ours: its record goes before the owner hears of the end.
        if (WorkerSlot* slot = FindWorker(token))
            ForgetWorker(slot, 1000);
        else if (!OwnerKnowsWorker(&Owner, token))
            return;
        break;
    default:
        return;
    }
    Fire(window, event);
}

int ConnectionWantsIdentification(WPARAM token) {
    return OwnerTakesReplies(&Owner, token) && !Owner.Identified;
}

void ConnectionIdentified(HWND window, WPARAM token, int isController) {
    OwnerEvent event = MakeOwnerEvent(OWNER_PRODUCT_CONFIG, NowSeconds());
    event.Token = token;
    event.Valid = 1;
    event.IsController = isController;
    Fire(window, event);
}

int ConnectionPollAnswered(HWND window, WPARAM token, PollKind kind) {
    EnsureOwner();
    OwnerEvent event = MakeOwnerEvent(OWNER_POLL_ANSWERED, NowSeconds());
    event.Token = token;
    event.Poll = kind;
    OwnerActionList actions;
    int taken = OwnerHandleEvent(&Owner, &event, &actions);
    CarryList(window, actions);
    return taken;
}

void ConnectionPollTick(HWND window, UINT timerId) {
    OwnerEvent event = MakeOwnerEvent(OWNER_POLL_TIMER, NowSeconds());
    event.Poll = timerId == TIMER_STATE_POLL ? POLL_STATE : POLL_FLOW;
    Fire(window, event);
}

void ConnectionClockTick(HWND window) {
    FireKind(window, OWNER_CLOCK_TICK);
}

void ConnectionGraphOpened(HWND window) {
    FireKind(window, OWNER_GRAPH_OPENED);
}

void ConnectionGraphClosed(HWND window) {
    FireKind(window, OWNER_GRAPH_CLOSED);
}

void ConnectionEndForSession(HWND window) {
    FireKind(window, OWNER_SESSION_END);
}

void ConnectionEndForExit(HWND window) {
    FireKind(window, OWNER_CLOSE_WINDOW);
}

int ConnectionTakesReplies(WPARAM token) {
    return OwnerTakesReplies(&Owner, token);
}

int ConnectionControllerIdentified() {
    return OwnerControllerIdentified(&Owner);
}

int ConnectionSessionEnded() {
    return Owner.SessionEnded;
}

int ConnectionLinkUp() {
    return OwnerLinkUp(&Owner);
}

int ConnectionSimulating() {
    return OwnerSimulating(&Owner);
}

int ConnectionWaitingForPrevious() {
    return OwnerWaitingForPrevious(&Owner);
}

uint64_t ConnectionCurrentToken() {
    return OwnerCurrentToken(&Owner);
}

void ApplyConnectionMenu(HMENU menu) {
    EnsureOwner();
    OwnerMenuRules rules;
    OwnerMenu(&Owner, &rules);
    EnableMenuItem(menu, CMD_OPEN, MF_BYCOMMAND | (rules.Open ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(menu, CMD_CLOSE, MF_BYCOMMAND | (rules.Close ? MF_ENABLED : MF_GRAYED));
    // 40110 has no item in the menu; its state is kept with the others all the same.
    EnableMenuItem(menu, CMD_SIMULATE, MF_BYCOMMAND | (rules.Simulate ? MF_ENABLED : MF_GRAYED));
}

WPARAM ActAsWorkerForTests(ConnectionState state, const char* port) {
    EnsureOwner();
    // A worker already going (the simulation a test started) is told to stop; its end report
    // then names a run the owner no longer knows.
    for (WorkerSlot& slot : Workers)
        if (slot.Thread)
            StopWorkerRun(slot.Run);
    if (port)
        snprintf(Owner.Port, sizeof Owner.Port, "%s", port);
    static uint64_t testTokens = 0x7E570000;
    Owner.NextToken = TestTokens;
    Owner.TokenContext = &testTokens;
    Owner.State = state;
    Owner.Run = OwnerRunRec{};
    Owner.Run.Token = ++testTokens;
    Owner.Run.Simulation = state == CONN_SIMULATING;
    snprintf(Owner.Run.Port, sizeof Owner.Run.Port, "%s", Owner.Port);
    Owner.Identified = 0;
    Owner.IsController = 0;
    Owner.After = AFTER_NOTHING;
    Owner.PendingStart = 0;
    ResetFaultCounter(&Owner.Faults);
    FaultCounterRunStarted(&Owner.Faults, NowSeconds());
    PollGateReset(&Owner.Polls);
    return (WPARAM)Owner.Run.Token;
}

void ExpectPollForTests(PollKind kind) {
    PollGateTake(&Owner.Polls, kind);
}

int LiveWorkerThreads() {
    int live = 0;
    for (WorkerSlot& slot : Workers)
        if (slot.Thread && WaitForSingleObject(slot.Thread, 0) == WAIT_TIMEOUT)
            live++;
    return live;
}
