#include "app/ConnectionOwner.h"

#include <cstdio>
#include <cstring>

namespace {

void CopyText(char* target, size_t size, const char* text) {
    snprintf(target, size, "%s", text ? text : "");
}

OwnerAction* Add(OwnerActionList* actions, OwnerActionKind kind) {
    if (actions->Count >= OWNER_MAX_ACTIONS) {
        actions->Dropped++;
        return nullptr;
    }
    OwnerAction* action = &actions->Items[actions->Count++];
    memset(action, 0, sizeof *action);
    action->Kind = kind;
    return action;
}

void AddToken(OwnerActionList* actions, OwnerActionKind kind, uint64_t token) {
    if (OwnerAction* action = Add(actions, kind)) {
        action->Token = token;
    }
}

void AddPort(OwnerActionList* actions, OwnerActionKind kind, const char* port) {
    if (OwnerAction* action = Add(actions, kind)) {
        CopyText(action->Port, sizeof action->Port, port);
    }
}

void AddTimer(OwnerActionList* actions, unsigned timer, unsigned ms) {
    if (OwnerAction* action = Add(actions, ms ? ACT_SET_TIMER : ACT_KILL_TIMER)) {
        action->Timer = timer;
        action->Ms = ms;
    }
}

void AddHook(OwnerActionList* actions, OwnerHook hook) {
    if (OwnerAction* action = Add(actions, ACT_HOOK)) {
        action->Hook = hook;
    }
}

void AddText(OwnerActionList* actions, OwnerActionKind kind, const char* text, int error) {
    if (OwnerAction* action = Add(actions, kind)) {
        CopyText(action->Text, sizeof action->Text, text);
        action->Error = error;
    }
}

void AddScreen(OwnerActionList* actions) {
    Add(actions, ACT_UPDATE_MENU);
    Add(actions, ACT_REDRAW);
}

int InUse(const ConnectionOwnerRec* owner, uint64_t token) {
    return token == 0 || token == owner->Run.Token || token == owner->Stuck.Token ||
           token == owner->PendingStart;
}

uint64_t NewToken(ConnectionOwnerRec* owner) {
    uint64_t token = 0;
    for (int attempt = 0; attempt < 64 && InUse(owner, token); attempt++) {
        token = owner->NextToken ? owner->NextToken(owner->TokenContext) : 0;
    }
    // A source that keeps giving used values still must not give 0 or a live run's token.
    for (uint64_t fallback = 1; InUse(owner, token); fallback++) {
        token = (owner->Run.Token ^ owner->Stuck.Token ^ owner->PendingStart) + fallback;
    }
    return token;
}

int StuckHolds(const ConnectionOwnerRec* owner, const char* port) {
    return owner->Stuck.Token != 0 && !owner->Stuck.Simulation &&
           OwnerSamePort(owner->Stuck.Port, port);
}

int ConnectionHolds(const ConnectionOwnerRec* owner, const char* port) {
    return owner->PortHeld && OwnerSamePort(owner->Port, port);
}

// A port this window took (the dialog's choice, the connection's, a stuck worker's) is given
// up once none of them uses it.
void ReleaseUnlessUsed(const ConnectionOwnerRec* owner, const char* port,
                       OwnerActionList* actions) {
    if (port[0] != '\0' && !StuckHolds(owner, port) && !ConnectionHolds(owner, port)) {
        AddPort(actions, ACT_RELEASE_PORT, port);
    }
}

void UpdateClock(ConnectionOwnerRec* owner, OwnerActionList* actions) {
    int needed = (owner->State == CONN_ENDING && owner->Run.Token != 0) ||
                 owner->State == CONN_WAITING || (owner->Exiting == 1 && owner->Stuck.Token != 0);
    if (needed != owner->ClockRunning) {
        owner->ClockRunning = needed;
        AddTimer(actions, OWNER_TIMER_CLOCK, needed ? OWNER_CLOCK_MS : 0);
    }
}

void KillPollTimers(OwnerActionList* actions) {
    AddTimer(actions, OWNER_TIMER_STATE, 0);
    AddTimer(actions, OWNER_TIMER_FLOW, 0);
}

void StartPollTimers(const ConnectionOwnerRec* owner, OwnerActionList* actions) {
    AddTimer(actions, OWNER_TIMER_STATE, STATE_POLL_MS);
    if (owner->GraphOpen) {
        AddTimer(actions, OWNER_TIMER_FLOW, FLOW_POLL_MS);
    }
}

// The connection ended for good: what waited for it is dropped and its port given up (unless
// the next connection is on the same port).
void EndForGood(ConnectionOwnerRec* owner, const char* keepPort, OwnerActionList* actions) {
    int keep = owner->PortHeld && keepPort != nullptr && OwnerSamePort(owner->Port, keepPort);
    if (owner->PortHeld && !keep) {
        owner->PortHeld = 0;
        ReleaseUnlessUsed(owner, owner->Port, actions);
    }
    owner->Identified = 0;
    owner->IsController = 0;
}

void GoIdle(ConnectionOwnerRec* owner, OwnerActionList* actions) {
    EndForGood(owner, nullptr, actions);
    owner->State = CONN_IDLE;
    AddScreen(actions);
    AddHook(actions, HOOK_ENDED);
}

void PostStart(ConnectionOwnerRec* owner, OwnerActionList* actions) {
    owner->PendingStart = NewToken(owner);
    AddToken(actions, ACT_POST_START, owner->PendingStart);
}

void StartSimulation(ConnectionOwnerRec* owner, OwnerActionList* actions) {
    CopyText(owner->Port, sizeof owner->Port, "FAKE");
    owner->PortHeld = 0;
    owner->Identified = 0;
    owner->IsController = 0;
    PollGateReset(&owner->Polls);
    owner->Run = OwnerRunRec{};
    owner->Run.Token = NewToken(owner);
    owner->Run.Simulation = 1;
    CopyText(owner->Run.Port, sizeof owner->Run.Port, "FAKE");
    owner->State = CONN_SIMULATING;
    if (OwnerAction* start = Add(actions, ACT_START_WORKER)) {
        start->Token = owner->Run.Token;
        CopyText(start->Port, sizeof start->Port, "FAKE");
        start->Simulation = 1;
    }
    Add(actions, ACT_SIMULATION_SETUP);
    if (OwnerAction* identify = Add(actions, ACT_IDENTIFY)) {
        identify->Simulation = 1;
    }
    AddScreen(actions);
    StartPollTimers(owner, actions);
    AddHook(actions, HOOK_ENDED);
}

// Connects to owner->Port (held): at once, or once a stuck worker has ended.
void StartConnection(ConnectionOwnerRec* owner, int reconnect, double now,
                     OwnerActionList* actions) {
    if (owner->Stuck.Token != 0) {
        owner->State = CONN_WAITING;
        owner->WaitSince = now;
        owner->WaitReconnect = reconnect;
        AddScreen(actions);
        return;
    }
    owner->State = reconnect ? CONN_RECONNECTING : CONN_CONNECTING;
    PostStart(owner, actions);
    AddScreen(actions);
}

void FinishExit(ConnectionOwnerRec* owner, OwnerActionList* actions) {
    owner->State = CONN_IDLE;
    EndForGood(owner, nullptr, actions);
    if (owner->Stuck.Token != 0) {
        // The stuck worker's port stays locked until the process ends with it.
        owner->Stuck = OwnerRunRec{};
    }
    AddHook(actions, HOOK_EXIT);
    Add(actions, ACT_DESTROY_WINDOW);
    owner->Exiting = 2; // done: nothing more happens
}

// The run being ended is gone (ended or left to end by itself), or there was none: what the
// operator asked for goes on.
void Proceed(ConnectionOwnerRec* owner, double now, OwnerActionList* actions) {
    OwnerAfter after = owner->After;
    owner->After = AFTER_NOTHING;
    if (owner->Run.Token != 0) {
        // Emptied only now: a worker told to stop may still be taking its last request, and
        // a reset under its feet would leave the next run stale entries.
        Add(actions, ACT_CLEAR_QUEUE);
    }
    owner->Run = OwnerRunRec{};
    switch (after) {
    case AFTER_NOTHING:
    case AFTER_IDLE:
        GoIdle(owner, actions);
        break;
    case AFTER_IDLE_DIALOG:
        GoIdle(owner, actions);
        AddText(actions, ACT_POST_OPEN, owner->NextNote, 0);
        owner->NextNote[0] = '\0';
        break;
    case AFTER_CONNECT:
        EndForGood(owner, owner->NextPort, actions);
        CopyText(owner->Port, sizeof owner->Port, owner->NextPort);
        owner->NextPort[0] = '\0';
        owner->PortHeld = 1;
        ResetFaultCounter(&owner->Faults);
        StartConnection(owner, 0, now, actions);
        AddHook(actions, HOOK_ENDED);
        break;
    case AFTER_RECONNECT:
        StartConnection(owner, 1, now, actions);
        Add(actions, ACT_BRING_TO_TOP);
        break;
    case AFTER_SIMULATE:
        EndForGood(owner, nullptr, actions);
        StartSimulation(owner, actions);
        break;
    case AFTER_EXIT:
        if (owner->Stuck.Token != 0) {
            // Its read may have been cancelled before it could see the stop: once more, and
            // the window goes when it ends or the wait runs out.
            owner->State = CONN_IDLE;
            owner->Stuck.Cancelled = 1;
            owner->ExitDeadline = now + STUCK_EXIT_WAIT_SECONDS;
            AddToken(actions, ACT_CANCEL_WORKER_IO, owner->Stuck.Token);
            break;
        }
        FinishExit(owner, actions);
        break;
    }
}

// Whatever runs stops, and after comes once it has ended.
void BeginEnd(ConnectionOwnerRec* owner, OwnerAfter after, double now, OwnerActionList* actions) {
    owner->After = after;
    owner->PendingStart = 0;
    if (owner->Run.Token == 0) {
        Proceed(owner, now, actions);
        return;
    }
    owner->Run.StopAt = now;
    owner->Run.Cancelled = 0;
    owner->State = CONN_ENDING;
    owner->Identified = 0;
    AddToken(actions, ACT_STOP_WORKER, owner->Run.Token);
    KillPollTimers(actions);
    PollGateReset(&owner->Polls);
    AddHook(actions, HOOK_LINK_DOWN);
    AddScreen(actions);
}

// Open is allowed where it is allowed in the state the connection is headed for: a Close that
// is still ending takes the Open as what comes next.
int AllowsOpen(const ConnectionOwnerRec* owner) {
    if (owner->SessionEnded || owner->Exiting || owner->DialogShowing) {
        return 0;
    }
    if (owner->State == CONN_ENDING) {
        return owner->After == AFTER_IDLE || owner->After == AFTER_IDLE_DIALOG ||
               owner->After == AFTER_SIMULATE;
    }
    return ConnectionAllowsOpen(owner->State);
}

// A request that changes what comes after the run being ended (the exit is never undone).
int ChangeAfter(ConnectionOwnerRec* owner, OwnerAfter after) {
    if (owner->After == AFTER_EXIT) {
        return 0;
    }
    owner->After = after;
    return 1;
}

int OnCloseWindow(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions);

int OnPortChosen(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    owner->DialogShowing = 0;
    if (owner->QuitPending) {
        owner->QuitPending = 0;
        ReleaseUnlessUsed(owner, event->Port, actions);
        return OnCloseWindow(owner, event, actions);
    }
    if (!AllowsOpen(owner) || event->Port[0] == '\0') {
        ReleaseUnlessUsed(owner, event->Port, actions);
        return 0;
    }
    AddPort(actions, ACT_HOLD_PORT, event->Port);
    CopyText(owner->NextPort, sizeof owner->NextPort, event->Port);
    if (owner->State == CONN_ENDING) {
        owner->NextNote[0] = '\0';
        return ChangeAfter(owner, AFTER_CONNECT);
    }
    BeginEnd(owner, AFTER_CONNECT, event->Now, actions);
    return 1;
}

int OnClose(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (owner->DialogShowing || owner->Exiting) {
        return 0;
    }
    if (owner->State == CONN_ENDING) {
        return ChangeAfter(owner, AFTER_IDLE);
    }
    BeginEnd(owner, AFTER_IDLE, event->Now, actions);
    return 1;
}

int OnSimulate(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (owner->DialogShowing || owner->Exiting || owner->State == CONN_SIMULATING) {
        return 0;
    }
    if (owner->State == CONN_ENDING) {
        return ChangeAfter(owner, AFTER_SIMULATE);
    }
    BeginEnd(owner, AFTER_SIMULATE, event->Now, actions);
    return 1;
}

int OnStartWorker(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    // Only the start the owner asked for, while it still wants it: a WM_START_WORKER from
    // anywhere else, or one that an ending withdrew, starts nothing.
    if (event->Token == 0 || event->Token != owner->PendingStart) {
        return 0;
    }
    owner->PendingStart = 0;
    if (owner->State != CONN_CONNECTING && owner->State != CONN_RECONNECTING) {
        return 0;
    }
    owner->Run = OwnerRunRec{};
    owner->Run.Token = event->Token;
    CopyText(owner->Run.Port, sizeof owner->Run.Port, owner->Port);
    owner->Identified = 0;
    PollGateReset(&owner->Polls);
    if (OwnerAction* start = Add(actions, ACT_START_WORKER)) {
        start->Token = event->Token;
        CopyText(start->Port, sizeof start->Port, owner->Port);
        // A reconnection rides through a brief outage; the operator's own Open reports at once.
        start->RideThrough = owner->State == CONN_RECONNECTING;
    }
    return 1;
}

int OnStartFailed(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (event->Token == 0 || event->Token != owner->Run.Token) {
        return 0;
    }
    owner->Run = OwnerRunRec{};
    owner->After = AFTER_NOTHING;
    KillPollTimers(actions);
    Add(actions, ACT_CLEAR_QUEUE);
    PollGateReset(&owner->Polls);
    GoIdle(owner, actions);
    AddText(actions, ACT_SHOW_BOX, "The connection could not be started: no worker thread.", 1);
    return 1;
}

// A report of the run going that moves the connection on from where it is.
int RunReportMoves(const ConnectionOwnerRec* owner, uint64_t token, ConnectionReport report) {
    return token != 0 && token == owner->Run.Token &&
           ConnectionAfterReport(owner->State, report, 1) != owner->State;
}

int OnConnected(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (!RunReportMoves(owner, event->Token, REPORT_CONNECTED)) {
        return 0;
    }
    owner->State = ConnectionAfterReport(owner->State, REPORT_CONNECTED, 0);
    owner->ShownErrors = 0;
    FaultCounterRunStarted(&owner->Faults, event->Now);
    AddScreen(actions);
    if (OwnerAction* identify = Add(actions, ACT_IDENTIFY)) {
        identify->NewLineKnown = event->NewLineKnown;
    }
    StartPollTimers(owner, actions);
    return 1;
}

int OnConnectFailed(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (!RunReportMoves(owner, event->Token, REPORT_CONNECT_FAILED)) {
        return 0;
    }
    // The operator hears of it (a log that ran through the attempt ends) before choosing a
    // port again.
    owner->NextNote[0] = '\0';
    BeginEnd(owner, AFTER_IDLE_DIALOG, event->Now, actions);
    return 1;
}

int OnLinkError(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (!RunReportMoves(owner, event->Token, REPORT_LINK_ERROR)) {
        return 0;
    }
    owner->ShownErrors = event->ErrorBits;
    if (FaultCounterMayReconnect(&owner->Faults, event->Now)) {
        BeginEnd(owner, AFTER_RECONNECT, event->Now, actions);
        return 1;
    }
    // The port dialog that opens says why: the operator picks the port again once the board
    // and its cable are checked, or another one.
    snprintf(owner->NextNote, sizeof owner->NextNote,
             "The link to %.200s kept failing (%s): %d connections in a row failed within %d s. "
             "Check the board and its cable, then choose the port again.",
             owner->Port, (event->ErrorBits & 0x2) ? "bad replies" : "no reply in time",
             QUICK_FAULT_LIMIT + 1, (int)QUICK_FAULT_SECONDS);
    BeginEnd(owner, AFTER_IDLE_DIALOG, event->Now, actions);
    return 1;
}

int OnProductConfig(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (!OwnerTakesReplies(owner, event->Token) || !event->Valid || owner->Identified) {
        return 0;
    }
    owner->Identified = 1;
    owner->IsController = event->IsController != 0;
    AddHook(actions, HOOK_LINK_UP);
    return 1;
}

int OnPollTimer(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (!ConnectionPolls(owner->State) || owner->Run.Token == 0 ||
        !PollGateTake(&owner->Polls, event->Poll)) {
        return 0;
    }
    if (OwnerAction* poll = Add(actions, ACT_POLL)) {
        poll->Poll = event->Poll;
        poll->Token = owner->Run.Token;
    }
    return 1;
}

int OnPollAnswered(ConnectionOwnerRec* owner, const OwnerEvent* event) {
    if (!OwnerTakesReplies(owner, event->Token)) {
        return 0;
    }
    int inFlight =
        event->Poll == POLL_STATE ? owner->Polls.StateInFlight : owner->Polls.FlowInFlight;
    if (!inFlight) {
        return 0;
    }
    PollGateAnswered(&owner->Polls, event->Poll);
    return 1;
}

int OnWorkerEnded(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (event->Token == 0) {
        return 0;
    }
    if (event->Token == owner->Run.Token) {
        if (owner->State != CONN_ENDING) {
            // A worker that ended by itself: the connection ends as after a Close.
            owner->After = AFTER_IDLE;
            KillPollTimers(actions);
            PollGateReset(&owner->Polls);
            AddHook(actions, HOOK_LINK_DOWN);
        }
        Proceed(owner, event->Now, actions);
        return 1;
    }
    if (event->Token != owner->Stuck.Token) {
        return 0;
    }
    OwnerRunRec stuck = owner->Stuck;
    owner->Stuck = OwnerRunRec{};
    if (!stuck.Simulation) {
        ReleaseUnlessUsed(owner, stuck.Port, actions);
    }
    if (owner->Exiting == 1 && owner->Run.Token == 0 && owner->After == AFTER_NOTHING) {
        FinishExit(owner, actions);
    } else if (owner->State == CONN_WAITING) {
        // The Open that waited goes on; the strip stops saying it waits.
        StartConnection(owner, owner->WaitReconnect, event->Now, actions);
    }
    return 1;
}

int OnClockTick(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    double now = event->Now;
    int acted = 0;
    if (owner->State == CONN_ENDING && owner->Run.Token != 0) {
        // A read the device keeps alive below the port's time-outs (a driver that ignores
        // them, an adapter gone mid-read) is cancelled; the worker then sees the stop.
        if (!owner->Run.Cancelled && now >= owner->Run.StopAt + STOP_CANCEL_SECONDS) {
            owner->Run.Cancelled = 1;
            AddToken(actions, ACT_CANCEL_WORKER_IO, owner->Run.Token);
            acted = 1;
        }
        if (now >= owner->Run.StopAt + STOP_GIVE_UP_SECONDS && owner->Stuck.Token == 0) {
            owner->Stuck = owner->Run;
            Proceed(owner, now, actions);
            acted = 1;
        }
    } else if (owner->State == CONN_WAITING && now >= owner->WaitSince + STUCK_OPEN_WAIT_SECONDS) {
        char text[OWNER_TEXT_SIZE + 128];
        snprintf(text, sizeof text,
                 "The previous connection on %.200s has not ended: %.200s was not opened. Choose "
                 "the port "
                 "again once it has, or close the program.",
                 owner->Stuck.Port, owner->Port);
        GoIdle(owner, actions);
        AddText(actions, ACT_SHOW_BOX, text, 0);
        acted = 1;
    } else if (owner->Exiting == 1 && owner->Stuck.Token != 0 && now >= owner->ExitDeadline) {
        FinishExit(owner, actions);
        acted = 1;
    }
    return acted;
}

int OnCloseWindow(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (owner->DialogShowing) {
        // The program is asked to end, and the operator's choice of a port no longer matters.
        owner->QuitPending = 1;
        Add(actions, ACT_CANCEL_DIALOGS);
        return 1;
    }
    if (owner->Exiting) {
        return 0;
    }
    owner->Exiting = 1;
    if (owner->State == CONN_ENDING) {
        owner->After = AFTER_EXIT;
        AddScreen(actions);
        return 1;
    }
    BeginEnd(owner, AFTER_EXIT, event->Now, actions);
    return 1;
}

int OnSessionEnd(ConnectionOwnerRec* owner, OwnerActionList* actions) {
    // Windows ends the process soon after WM_ENDSESSION returns: the boards are put back now,
    // whatever transition is showing a window, and nothing starts again.
    owner->SessionEnded = 1;
    owner->QuitPending = 0;
    owner->PendingStart = 0;
    KillPollTimers(actions);
    if (owner->Run.Token != 0) {
        AddToken(actions, ACT_STOP_WORKER, owner->Run.Token);
    }
    if (owner->Run.Token != 0 || owner->Stuck.Token != 0) {
        if (OwnerAction* wait = Add(actions, ACT_WAIT_FOR_WORKERS)) {
            wait->Seconds = SESSION_END_WAIT_SECONDS;
        }
    }
    Add(actions, ACT_CLEAR_QUEUE);
    PollGateReset(&owner->Polls);
    OwnerRunRec stuck = owner->Stuck;
    owner->Run = OwnerRunRec{};
    owner->Stuck = OwnerRunRec{};
    owner->After = AFTER_NOTHING;
    EndForGood(owner, nullptr, actions);
    if (stuck.Token != 0 && !stuck.Simulation) {
        ReleaseUnlessUsed(owner, stuck.Port, actions);
    }
    owner->State = CONN_IDLE;
    AddHook(actions, HOOK_LINK_DOWN);
    AddHook(actions, HOOK_EXIT);
    AddScreen(actions);
    return 1;
}

int Dispatch(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    if (owner->SessionEnded || owner->Exiting == 2) {
        if (event->Kind == OWNER_CLOSE_WINDOW && owner->Exiting != 2) {
            owner->Exiting = 2;
            Add(actions, ACT_DESTROY_WINDOW);
            return 1;
        }
        return 0;
    }
    switch (event->Kind) {
    case OWNER_OPEN_COMMAND:
        if (!AllowsOpen(owner)) {
            return 0;
        }
        owner->DialogShowing = 1;
        Add(actions, ACT_SHOW_PORT_DIALOG);
        return 1;
    case OWNER_PORT_CHOSEN:
        return OnPortChosen(owner, event, actions);
    case OWNER_PORT_DIALOG_CANCELLED:
        if (!owner->DialogShowing) {
            return 0;
        }
        owner->DialogShowing = 0;
        if (owner->QuitPending) {
            owner->QuitPending = 0;
            return OnCloseWindow(owner, event, actions);
        }
        return 1;
    case OWNER_CLOSE_COMMAND:
        return OnClose(owner, event, actions);
    case OWNER_SIMULATE_COMMAND:
        return OnSimulate(owner, event, actions);
    case OWNER_START_WORKER:
        return OnStartWorker(owner, event, actions);
    case OWNER_WORKER_START_FAILED:
        return OnStartFailed(owner, event, actions);
    case OWNER_WORKER_CONNECTED:
        return OnConnected(owner, event, actions);
    case OWNER_WORKER_CONNECT_FAILED:
        return OnConnectFailed(owner, event, actions);
    case OWNER_WORKER_LINK_ERROR:
        return OnLinkError(owner, event, actions);
    case OWNER_PRODUCT_CONFIG:
        return OnProductConfig(owner, event, actions);
    case OWNER_POLL_ANSWERED:
        return OnPollAnswered(owner, event);
    case OWNER_WORKER_ENDED:
        return OnWorkerEnded(owner, event, actions);
    case OWNER_POLL_TIMER:
        return OnPollTimer(owner, event, actions);
    case OWNER_CLOCK_TICK:
        return OnClockTick(owner, event, actions);
    case OWNER_GRAPH_OPENED:
        owner->GraphOpen = 1;
        if (ConnectionPolls(owner->State) && owner->Run.Token != 0) {
            AddTimer(actions, OWNER_TIMER_FLOW, FLOW_POLL_MS);
        }
        return 1;
    case OWNER_GRAPH_CLOSED:
        owner->GraphOpen = 0;
        AddTimer(actions, OWNER_TIMER_FLOW, 0);
        return 1;
    case OWNER_CLOSE_WINDOW:
        return OnCloseWindow(owner, event, actions);
    case OWNER_SESSION_END:
        return OnSessionEnd(owner, actions);
    case OWNER_EVENT_COUNT:
        break;
    }
    return 0;
}

} // namespace

OwnerEvent MakeOwnerEvent(OwnerEventKind kind, double now) {
    OwnerEvent event;
    memset(&event, 0, sizeof event);
    event.Kind = kind;
    event.Now = now;
    return event;
}

void InitConnectionOwner(ConnectionOwnerRec* owner, OwnerTokenSource source, void* context) {
    memset(owner, 0, sizeof *owner);
    owner->State = CONN_IDLE;
    owner->NextToken = source;
    owner->TokenContext = context;
    ResetFaultCounter(&owner->Faults);
    PollGateReset(&owner->Polls);
}

int OwnerHandleEvent(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions) {
    actions->Count = 0;
    actions->Dropped = 0;
    int taken = Dispatch(owner, event, actions);
    if (!owner->SessionEnded && owner->Exiting != 2) {
        UpdateClock(owner, actions);
    } else if (owner->ClockRunning) {
        owner->ClockRunning = 0;
        AddTimer(actions, OWNER_TIMER_CLOCK, 0);
    }
    return taken;
}

int OwnerTakesReplies(const ConnectionOwnerRec* owner, uint64_t token) {
    return token != 0 && token == owner->Run.Token &&
           (owner->State == CONN_CONNECTED || owner->State == CONN_SIMULATING);
}

int OwnerKnowsWorker(const ConnectionOwnerRec* owner, uint64_t token) {
    return token != 0 && (token == owner->Run.Token || token == owner->Stuck.Token);
}

int OwnerControllerIdentified(const ConnectionOwnerRec* owner) {
    return owner->Identified && owner->IsController &&
           (owner->State == CONN_CONNECTED || owner->State == CONN_SIMULATING);
}

int OwnerLinkUp(const ConnectionOwnerRec* owner) {
    return owner->State == CONN_CONNECTED;
}

int OwnerSimulating(const ConnectionOwnerRec* owner) {
    return owner->State == CONN_SIMULATING;
}

int OwnerWaitingForPrevious(const ConnectionOwnerRec* owner) {
    return owner->State == CONN_WAITING;
}

uint64_t OwnerCurrentToken(const ConnectionOwnerRec* owner) {
    return (owner->State == CONN_CONNECTED || owner->State == CONN_SIMULATING) ? owner->Run.Token
                                                                               : 0;
}

void OwnerMenu(const ConnectionOwnerRec* owner, OwnerMenuRules* rules) {
    int free = !owner->DialogShowing && !owner->SessionEnded && !owner->Exiting;
    ConnectionState state = owner->State;
    rules->Open = AllowsOpen(owner);
    rules->Close =
        free &&
        (ConnectionAllowsClose(state) ||
         (state == CONN_ENDING && owner->After != AFTER_IDLE && owner->After != AFTER_IDLE_DIALOG));
    // The simulation is offered where no board is connected and it is not running already.
    rules->Simulate = free && (state == CONN_IDLE || state == CONN_CONNECTING ||
                               state == CONN_RECONNECTING || state == CONN_WAITING);
}

int OwnerSamePort(const char* a, const char* b) {
    if (strncmp(a, "\\\\.\\", 4) == 0) {
        a += 4;
    }
    if (strncmp(b, "\\\\.\\", 4) == 0) {
        b += 4;
    }
    for (;; a++, b++) {
        char ca = (*a >= 'a' && *a <= 'z') ? static_cast<char>(*a - 32) : *a;
        char cb = (*b >= 'a' && *b <= 'z') ? static_cast<char>(*b - 32) : *b;
        if (ca != cb) {
            return 0;
        }
        if (ca == '\0') {
            return 1;
        }
    }
}

const char* OwnerEventName(OwnerEventKind kind) {
    static const char* const names[OWNER_EVENT_COUNT] = {
        "open",         "port-chosen",    "dialog-cancelled",
        "close",        "simulate",       "start",
        "start-failed", "connected",      "connect-failed",
        "link-error",   "product-config", "poll-answered",
        "ended",        "poll-timer",     "clock",
        "graph-opened", "graph-closed",   "close-window",
        "session-end"};
    return kind >= 0 && kind < OWNER_EVENT_COUNT ? names[kind] : "?";
}

const char* OwnerActionName(OwnerActionKind kind) {
    static const char* const names[OWNER_ACTION_COUNT] = {
        "start",      "post-start", "stop",           "cancel",    "wait",   "clear-queue",
        "hold",       "release",    "identify",       "sim-setup", "poll",   "set-timer",
        "kill-timer", "hook",       "menu",           "redraw",    "to-top", "box",
        "post-open",  "dialog",     "cancel-dialogs", "destroy"};
    return kind >= 0 && kind < OWNER_ACTION_COUNT ? names[kind] : "?";
}

const char* OwnerHookName(OwnerHook hook) {
    static const char* const names[OWNER_HOOK_COUNT] = {"link-up", "link-down", "ended", "exit"};
    return hook >= 0 && hook < OWNER_HOOK_COUNT ? names[hook] : "?";
}
