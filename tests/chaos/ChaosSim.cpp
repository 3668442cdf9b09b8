// The simulation of one schedule. One thread, one virtual clock: each pass delivers the
// schedule's events that are due, the messages the workers and the owner posted, the timers
// that ran out, and then lets every worker run take one step (its connection, one request from
// the command queue, or its end). What the Win32 side does with the owner's actions, the worker's
// reports and the companion windows (the set point and PID sends, the command window's lines,
// the log) is done here in the same order, with the program's own portable pieces: the owner,
// the worker's run functions, the command queue, the deferred sends, the log gate and format.
#include "tests/chaos/ChaosSim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "app/ConnectionOwner.h"
#include "app/DeferredSend.h"
#include "app/LogFormat.h"
#include "app/LogGate.h"
#include "app/SerialCmdQ.h"
#include "app/WorkerThread.h"
#include "device/DeviceClock.h"
#include "device/LegacyBoardUtils.h"
#include "emulator/EmuBoard.h"
#include "emulator/EmuLine.h"
#include "resources/AppMessages.h"
#include "tests/sim/SimPorts.h"
#include "tools/SliderScales.h"

namespace {

// The boards behind the ports: a controller at 9600, a meter at 19200, a controller at 230400,
// all with the CR line ending they start with.
struct BoardSetup {
    const char* Port;
    int Kind;
    long Baud;
};
const BoardSetup BOARDS[CHAOS_BOARDS] = {
    {"COM5", EMU_KIND_CONTROLLER, 9600},
    {"COM6", EMU_KIND_METER, 19200},
    {"COM7", EMU_KIND_CONTROLLER, 230400},
};

// How long a power cycle keeps the board off.
constexpr long POWER_OFF_MS = 300;
// The settling time of a chosen value before it is sent.
constexpr int64_t SETTLE_MS = 50;
// The log's interval.
constexpr int64_t LOG_INTERVAL_MS = 1000;
// A session whose window is still there this long after the schedule's end has hung.
constexpr int64_t HANG_MS = 30000;
// The pause the worker's thread makes after each request it took.
constexpr int64_t REQUEST_PAUSE_MS = 5;

// The companion windows' local timers, beside the owner's.
enum LocalTimer {
    LT_SETTLE_0 = 1000, // + term: a chosen value's settling timer
    LT_LOG = 1100,
    LT_UNSTICK = 1200, // + board: a stuck read is released
};

enum CmdLink { CMD_NONE, CMD_DOWN, CMD_UP };

struct Line {
    long Id;
    std::string Text; // as typed, without the line end
};

struct Worker {
    std::unique_ptr<WorkerRunRec> Run;
    int Board; // -1: the simulated board
    int Phase; // 0: to connect, 1: serving, 2: ended
    std::string EndKind;
    int Stuck;                     // its port's read ignored the stop at some point
    size_t StartIndex;             // where its entries begin in the trace
    unsigned long PlugCountAtOpen; // the board's cable count at the run's last open
};

struct Message {
    uint32_t Id;
    uint64_t Token;
    intptr_t LParam;
};

struct Timer {
    unsigned Ms;
    int64_t Due;
};

// Private messages of the simulation's window, beside the worker's.
constexpr uint32_t SIM_MSG_OPEN = 0x7F01; // Connection > Open, posted by the owner

struct Sim {
    ChaosTrace Trace;
    const ChaosSchedule* Schedule = nullptr;
    size_t NextEvent = 0;
    EmuLine* Lines[CHAOS_BOARDS] = {};
    ConnectionOwnerRec Owner;
    uint64_t NextToken = 1;
    std::vector<std::unique_ptr<Worker>> Workers;
    std::deque<Message> Messages;
    std::map<unsigned, Timer> Timers;
    int SessionOver = 0;
    int InPump = 0;
    int InWorkerCall = 0;  // a worker's connect, step or finish is under way
    int64_t PumpedAt = -1; // the virtual time the window last ran at from inside one
    // The session's end: its handler waits for the workers until this time, then the
    // process goes; -1: not ending.
    int64_t EndWaitUntil = -1;
    int64_t EndWaitFrom = 0;
    // The event being handled, for the waits it may cause.
    const char* Handler = "";

    // The port dialog: showing, and the answer a dialog event left for the next one.
    int DialogShowing = 0;
    int DialogAnswer = -2; // -2: none waiting, -1: cancel, else a board

    // The window's copies of the board (what the reply targets are).
    uint32_t ProductConfigValue = 0;
    int IsController = 0; // the last identification said controller (the dialogs may open)
    int Simulating = 0;
    SystemStateRec StateBuffer{};
    NewFlowReadingsRec FlowBuffer{};
    char NameBuffer[TITLE_SIZE] = {};
    char Ignored[IGNORE_RESULT_SIZE] = {};
    char SettingReplies[CHAOS_VALUES][IGNORE_RESULT_SIZE] = {};
    float PidRead[CHAOS_VALUES] = {};
    DeferredValueRec Settings[CHAOS_VALUES];
    // What the set point and PID dialogs show: the operator's last values, or the board's
    // read while the operator has chosen none (SAVE TO FLASH writes these).
    double Dialog[CHAOS_VALUES] = {};
    // SAVE TO FLASH's writes ("V24=", "V25=", "V26="), each answered into its own buffer.
    char SaveReplies[3][IGNORE_RESULT_SIZE] = {};
    double Saved[CHAOS_VALUES] = {};
    int SaveInFlight = 0;
    int Chosen[CHAOS_VALUES] = {};
    double LastChosen[CHAOS_VALUES] = {};
    double Wanted[CHAOS_VALUES] = {};

    // The command window's lines; its link state follows the hooks whether it shows or not.
    CmdLink Link = CMD_NONE;
    std::deque<Line> Waiting;
    int InFlight = 0;
    Line Flight;
    char FlightText[MSGQ_TEXT_SIZE] = {};
    char FlightResult[MSGQ_TEXT_SIZE * 20] = {};
    long NextLineId = 1;

    // The log and the readout.
    int Logging = 0;
    LogGateRec Gate{};
    long ShownRecord = 0;
    float ShownFlow = 0.0f;
    long NextRecord = 1;
    // How much of each port's events and each board's record is in the trace, and the
    // board's speed and line ending as recorded so far.
    size_t PortSeen[CHAOS_BOARDS] = {};
    uint64_t RecordSeen[CHAOS_BOARDS] = {};
    long Baud[CHAOS_BOARDS] = {};
    long Ending[CHAOS_BOARDS] = {};
    double EndT = 0.0;
    std::string WaitHandler;
    int EndAfterWait = 0;
};

Sim* S = nullptr;

double Now() {
    return SimNowMs() / 1000.0;
}

void Add(ChaosTraceKind kind, int port = -1, uint64_t token = 0, long a = 0, long b = 0,
         double v = 0.0, const std::string& text = "") {
    ChaosTraceAdd(&S->Trace, Now(), kind, port, (uint32_t)token, a, b, v, text);
}

int BoardOfPort(const char* port) {
    for (int i = 0; i < CHAOS_BOARDS; i++) {
        if (OwnerSamePort(port, BOARDS[i].Port))
            return i;
    }
    return -1;
}

Worker* WorkerOf(uint64_t token) {
    for (auto& w : S->Workers) {
        if (w->Run->Token == token)
            return w.get();
    }
    return nullptr;
}

int PostFromWorker(void*, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    S->Messages.push_back(Message{message, (uint64_t)wParam, lParam});
    return 1;
}

uint64_t TakeToken(void*) {
    return S->NextToken++;
}

void SetTimer(unsigned id, unsigned ms) {
    S->Timers[id] = Timer{ms, SimNowMs() + (ms ? ms : 1)};
}

void KillTimer(unsigned id) {
    S->Timers.erase(id);
}

void Carry(const OwnerActionList& actions);

void Deliver(OwnerEvent event) {
    OwnerActionList actions;
    OwnerHandleEvent(&S->Owner, &event, &actions);
    Carry(actions);
}

void DeliverKind(OwnerEventKind kind) {
    Deliver(MakeOwnerEvent(kind, Now()));
}

// ---- The set point and PID sends (the main window's settings) ----

const char* const SETTING_FORMATS[CHAOS_VALUES] = {"V5=%f\r", "~PR=%f\r", "~IR=%f\r", "~DR=%f\r"};

void SendSetting(int term) {
    KillTimer(LT_SETTLE_0 + term);
    DeferredValueRec* setting = &S->Settings[term];
    if (!OwnerControllerIdentified(&S->Owner)) {
        DeferredHold(setting);
        return;
    }
    DeferredValueRec before = *setting;
    double value = DeferredSent(setting);
    char text[MSGQ_TEXT_SIZE];
    snprintf(text, sizeof text, SETTING_FORMATS[term], value);
    if (!EnqueueThreadMsg(REQUEST_ASCII, text, WM_SETTING_SENT, PARSE_TEXT, S->SettingReplies[term],
                          sizeof S->SettingReplies[term])) {
        *setting = before;
        setting->Pending = 0;
        setting->Waiting = 0;
        Add(TR_VALUE_NOT_SENT, -1, 0, term, 0, value, "queue full");
        return;
    }
    uint64_t token = OwnerCurrentToken(&S->Owner);
    Worker* w = WorkerOf(token);
    Add(TR_VALUE_SENT, w ? w->Board : -1, token, term, 0, value);
}

void SendWaitingSettings() {
    for (int term = 0; term < CHAOS_VALUES; term++) {
        if (S->Settings[term].Waiting)
            SendSetting(term);
    }
}

void ChangeSetting(int term, double value) {
    S->Dialog[term] = value;
    S->Chosen[term] = 1;
    S->LastChosen[term] = value;
    // With the connection's state then, for whoever reads the trace.
    Add(TR_VALUE_CHOSEN, -1, 0, term, 0, value, ConnectionStateName(S->Owner.State));
    switch (DeferredChange(&S->Settings[term], value)) {
    case DEFERRED_START:
        SetTimer(LT_SETTLE_0 + term, SETTLE_MS);
        break;
    case DEFERRED_CANCEL:
        KillTimer(LT_SETTLE_0 + term);
        break;
    default:
        break;
    }
}

// What the window does at the end of a connection, for a meter and at Exit: what the operator
// chose and no controller has taken is named in a box. At a log-off nobody is there to read
// one, and the value goes with the session (marked in the trace).
void ReportUnsent(const char* why) {
    for (int term = 0; term < CHAOS_VALUES; term++) {
        const DeferredValueRec& v = S->Settings[term];
        if (!DeferredUnsent(&v) && !DeferredUnconfirmed(&v))
            continue;
        if (S->Owner.SessionEnded)
            Add(TR_ACTION, -1, 0, term, 0, v.Wanted,
                std::string("dropped at the log-off ") + ChaosValueName(term));
        else
            Add(TR_VALUE_NOT_SENT, -1, 0, term, 0, v.Wanted, why);
    }
}

const int SAVE_TERMS[3] = {CHAOS_VALUE_P, CHAOS_VALUE_D, CHAOS_VALUE_I};

// The window's box for a SAVE TO FLASH that did not all land: the saved values are reported.
void ReportSaveFailed(const char* why) {
    for (int term : SAVE_TERMS) {
        if (S->Owner.SessionEnded)
            Add(TR_ACTION, -1, 0, term, 0, S->Saved[term],
                std::string("dropped at the log-off ") + ChaosValueName(term));
        else
            Add(TR_VALUE_NOT_SENT, -1, 0, term, 0, S->Saved[term], why);
    }
}

void NoteSaveCut(const char* why) {
    if (S->SaveInFlight > 0) {
        S->SaveInFlight = 0;
        ReportSaveFailed(why);
    }
}

void ResetSettings() {
    for (int term = 0; term < CHAOS_VALUES; term++) {
        DeferredReset(&S->Settings[term]);
        KillTimer(LT_SETTLE_0 + term);
    }
}

void SettingsLinkDown() {
    for (int term = 0; term < CHAOS_VALUES; term++) {
        DeferredLinkDown(&S->Settings[term]);
        KillTimer(LT_SETTLE_0 + term);
    }
}

// ---- The command window's lines ----

void LineNotSent(const Line& line) {
    Add(TR_LINE_NOT_SENT, -1, 0, line.Id, 0, 0.0, line.Text);
}

void SendNextLine() {
    if (S->Link != CMD_UP || S->InFlight || S->Waiting.empty())
        return;
    S->Flight = S->Waiting.front();
    S->Waiting.pop_front();
    S->InFlight = 1;
    snprintf(S->FlightText, sizeof S->FlightText, "%s\r", S->Flight.Text.c_str());
    S->FlightResult[0] = '\0';
    if (!EnqueueThreadMsg(REQUEST_ASCII, S->FlightText, WM_USER_COMMAND_REPLY, PARSE_TEXT,
                          S->FlightResult, sizeof S->FlightResult)) {
        S->InFlight = 0;
        LineNotSent(S->Flight);
        for (const Line& l : S->Waiting)
            LineNotSent(l);
        S->Waiting.clear();
    }
}

void QueueLine(const std::string& text) {
    Line line{S->NextLineId++, text};
    Add(TR_LINE_QUEUED, -1, 0, line.Id, 0, 0.0, text);
    if (S->Link == CMD_NONE) {
        LineNotSent(line);
        return;
    }
    if (S->Waiting.size() >= 1000) {
        LineNotSent(line);
        return;
    }
    S->Waiting.push_back(line);
}

void CmdLinkDown() {
    if (S->InFlight) {
        S->InFlight = 0;
        S->Waiting.push_front(S->Flight);
    }
    if (S->Link == CMD_UP)
        S->Link = CMD_DOWN;
}

void CmdEnded() {
    CmdLinkDown();
    S->Link = CMD_NONE;
    for (const Line& l : S->Waiting)
        LineNotSent(l);
    S->Waiting.clear();
}

// ---- The log ----

void StopLog() {
    if (!S->Logging)
        return;
    S->Logging = 0;
    KillTimer(LT_LOG);
    Add(TR_LOG_STOP);
}

void LogTick() {
    uint64_t current = OwnerCurrentToken(&S->Owner);
    int linkUp = OwnerLinkUp(&S->Owner) || OwnerSimulating(&S->Owner);
    if (!LogGateMayWrite(&S->Gate, current, linkUp))
        return;
    // The clock of the log: a fixed day, plus the virtual time.
    int64_t ms = SimNowMs() + (int64_t)14 * 3600 * 1000;
    LogTimestamp stamp{2026,
                       12,
                       10,
                       (int)(ms / 3600000 % 24),
                       (int)(ms / 60000 % 60),
                       (int)(ms / 1000 % 60),
                       (int)(ms % 1000)};
    char line[128];
    FormatLogSample(stamp, S->ShownFlow, 1, line, sizeof line);
    Add(TR_LOG_LINE, -1, 0, S->ShownRecord, 0, 0.0, line);
}

// ---- The owner's actions ----

const char* EndKindNow() {
    if (S->Owner.SessionEnded)
        return "log-off";
    switch (S->Owner.After) {
    case AFTER_IDLE:
        return "close";
    case AFTER_IDLE_DIALOG:
        return "give-up";
    case AFTER_CONNECT:
        return "open";
    case AFTER_RECONNECT:
        return "reconnection";
    case AFTER_SIMULATE:
        return "simulate";
    case AFTER_EXIT:
        return "exit";
    default:
        return "end";
    }
}

void Identify(const OwnerAction& a) {
    if (a.NewLineKnown)
        EnqueueThreadMsg(REQUEST_ASCII, "~SNLC=0x0D0A\r", WM_REPLY_IGNORED, PARSE_TEXT, S->Ignored,
                         sizeof S->Ignored);
    EnqueueThreadMsg(REQUEST_ASCII, "S64\r", WM_PRODUCT_CONFIG, PARSE_HEX, &S->ProductConfigValue);
    EnqueueThreadMsg(REQUEST_ASCII, "S54\r", WM_WINDOW_NAME, PARSE_TEXT, S->NameBuffer,
                     sizeof S->NameBuffer);
}

void Hook(OwnerHook hook) {
    switch (hook) {
    case HOOK_LINK_UP:
        if (S->IsController)
            SendWaitingSettings();
        S->Link = CMD_UP;
        SendNextLine();
        break;
    case HOOK_LINK_DOWN:
        SettingsLinkDown();
        NoteSaveCut("save cut: the link failed");
        CmdLinkDown();
        LogGateLinkDown(&S->Gate);
        break;
    case HOOK_ENDED:
        ReportUnsent("the connection ended");
        NoteSaveCut("save cut: the connection ended");
        ResetSettings();
        CmdEnded();
        LogGateLinkDown(&S->Gate);
        StopLog();
        break;
    case HOOK_EXIT:
        ReportUnsent("the program ends");
        NoteSaveCut("save cut: the program ends");
        StopLog();
        break;
    default:
        break;
    }
}

void EndSession();
void Flush();
void UpdateAndFlush();

// The handler waits: the window does nothing more until the workers have ended or the time is
// up; the main loop steps the workers meanwhile and then ends the wait.
void WaitForWorkers(double seconds) {
    S->EndWaitFrom = SimNowMs();
    S->EndWaitUntil = SimNowMs() + (int64_t)(seconds * 1000.0);
    S->WaitHandler = S->Handler;
}

int WorkersLeft() {
    for (auto& w : S->Workers) {
        if (w->Phase < 2)
            return 1;
    }
    return 0;
}

// The wait is over (the workers ended, or time is up): recorded, and the handler goes on; a
// session's end then ends the process.
void FinishWait() {
    Add(TR_WAIT, -1, 0, 0, 0, (SimNowMs() - S->EndWaitFrom) / 1000.0, S->WaitHandler);
    S->EndWaitUntil = -1;
    if (S->EndAfterWait)
        EndSession();
}

void Carry(const OwnerActionList& actions) {
    for (int i = 0; i < actions.Count && !S->SessionOver; i++) {
        const OwnerAction& a = actions.Items[i];
        Add(TR_ACTION, -1, a.Token, 0, 0, 0.0, OwnerActionName(a.Kind));
        switch (a.Kind) {
        case ACT_START_WORKER: {
            auto w = std::make_unique<Worker>();
            w->Run = std::make_unique<WorkerRunRec>();
            PrepareWorkerRun(w->Run.get(), S, PostFromWorker, a.Port, a.Token, a.Simulation,
                             a.RideThrough);
            w->Board = a.Simulation ? -1 : BoardOfPort(a.Port);
            w->Phase = 0;
            w->Stuck = 0;
            w->StartIndex = S->Trace.Entries.size();
            w->PlugCountAtOpen = w->Board >= 0 ? EmuLinePlugCount(S->Lines[w->Board]) : 0;
            Add(TR_WORKER_START, w->Board, a.Token, a.RideThrough, a.RideThrough);
            S->Workers.push_back(std::move(w));
            break;
        }
        case ACT_POST_START:
            S->Messages.push_back(Message{WM_START_WORKER, a.Token, 0});
            break;
        case ACT_STOP_WORKER:
            if (Worker* w = WorkerOf(a.Token)) {
                if (w->EndKind.empty())
                    w->EndKind = EndKindNow();
                StopWorkerRun(w->Run.get());
            }
            break;
        case ACT_CANCEL_WORKER_IO:
            if (Worker* w = WorkerOf(a.Token)) {
                if (w->Board >= 0)
                    SimPortCancelIo(BOARDS[w->Board].Port);
            }
            break;
        case ACT_WAIT_FOR_WORKERS:
            WaitForWorkers(a.Seconds);
            break;
        case ACT_CLEAR_QUEUE:
            ClearMsgQueue();
            break;
        case ACT_IDENTIFY:
            Identify(a);
            break;
        case ACT_SIMULATION_SETUP:
            S->IsController = 1;
            S->Simulating = 1;
            break;
        case ACT_POLL:
            if (a.Poll == POLL_STATE)
                EnqueueThreadMsg(REQUEST_BOARD_STATE, "", WM_BOARD_STATE, 0, &S->StateBuffer);
            else
                EnqueueThreadMsg(REQUEST_FLOW_VALUES, "", WM_FLOW_READINGS, 0, &S->FlowBuffer);
            break;
        case ACT_SET_TIMER:
            SetTimer(a.Timer, a.Ms);
            break;
        case ACT_KILL_TIMER:
            KillTimer(a.Timer);
            break;
        case ACT_HOOK:
            Hook(a.Hook);
            break;
        case ACT_POST_OPEN:
            S->Messages.push_back(Message{SIM_MSG_OPEN, 0, 0});
            break;
        case ACT_SHOW_PORT_DIALOG:
            S->DialogShowing = 1;
            break;
        case ACT_CANCEL_DIALOGS:
            if (S->DialogShowing) {
                S->DialogShowing = 0;
                DeliverKind(OWNER_PORT_DIALOG_CANCELLED);
            }
            break;
        case ACT_DESTROY_WINDOW:
            EndSession();
            break;
        default:
            break;
        }
    }
}

// The port dialog's answer, when one is waiting and the dialog shows.
void AnswerDialog() {
    if (!S->DialogShowing || S->DialogAnswer == -2)
        return;
    int board = S->DialogAnswer;
    S->DialogAnswer = -2;
    S->DialogShowing = 0;
    if (board < 0) {
        DeliverKind(OWNER_PORT_DIALOG_CANCELLED);
    } else {
        OwnerEvent e = MakeOwnerEvent(OWNER_PORT_CHOSEN, Now());
        snprintf(e.Port, sizeof e.Port, "%s", BOARDS[board].Port);
        Deliver(e);
    }
}

// ---- The workers' reports ----

void OnWorkerMessage(const Message& m) {
    OwnerEvent e = MakeOwnerEvent(OWNER_EVENT_COUNT, Now());
    e.Token = m.Token;
    Worker* w = WorkerOf(m.Token);
    int port = w ? w->Board : -1;
    int takes = OwnerTakesReplies(&S->Owner, m.Token);
    switch (m.Id) {
    case WM_START_WORKER:
        e.Kind = OWNER_START_WORKER;
        S->Handler = "start-worker";
        Deliver(e);
        return;
    case WM_CONNECTED:
        Add(TR_WORKER_UP, port, m.Token);
        e.Kind = OWNER_WORKER_CONNECTED;
        e.NewLineKnown = m.LParam != 0;
        S->Handler = "connected";
        Deliver(e);
        return;
    case WM_CONNECT_FAILED:
        Add(TR_WORKER_FAILED, port, m.Token);
        e.Kind = OWNER_WORKER_CONNECT_FAILED;
        S->Handler = "connect-failed";
        Deliver(e);
        return;
    case WM_SERIAL_ERROR:
        Add(TR_WORKER_LINK_ERROR, port, m.Token);
        e.Kind = OWNER_WORKER_LINK_ERROR;
        e.ErrorBits = (uint32_t)m.LParam;
        S->Handler = "link-error";
        Deliver(e);
        return;
    case WM_WORKER_ENDED:
        e.Kind = OWNER_WORKER_ENDED;
        S->Handler = "worker-ended";
        Deliver(e);
        return;
    case WM_PRODUCT_CONFIG: {
        e.Kind = OWNER_PRODUCT_CONFIG;
        e.Valid = m.LParam != 0;
        e.IsController = (int)(S->ProductConfigValue & 1);
        S->Handler = "product-config";
        OwnerActionList actions;
        int taken = OwnerHandleEvent(&S->Owner, &e, &actions);
        if (taken && e.Valid) {
            Add(TR_IDENTIFIED, port, m.Token, e.IsController);
            S->IsController = e.IsController;
            if (e.IsController) {
                EnqueueThreadMsg(REQUEST_ASCII, "V24\r", WM_PID_READ, PARSE_FLOAT,
                                 &S->PidRead[CHAOS_VALUE_P]);
                EnqueueThreadMsg(REQUEST_ASCII, "V25\r", WM_PID_READ, PARSE_FLOAT,
                                 &S->PidRead[CHAOS_VALUE_D]);
                EnqueueThreadMsg(REQUEST_ASCII, "V26\r", WM_PID_READ, PARSE_FLOAT,
                                 &S->PidRead[CHAOS_VALUE_I]);
            } else {
                // A meter: what was chosen for a controller is dropped.
                ReportUnsent("the board is a meter");
                ResetSettings();
            }
        }
        Carry(actions);
        return;
    }
    case WM_BOARD_STATE:
        e.Kind = OWNER_POLL_ANSWERED;
        e.Poll = POLL_STATE;
        if (takes && m.LParam != 0) {
            long record = S->NextRecord++;
            Add(TR_RECORD_READ, port, m.Token, record);
            S->ShownRecord = record;
            S->ShownFlow = S->StateBuffer.Flow;
            LogGateStateReport(&S->Gate, m.Token);
            DeferredBoardRead(&S->Settings[CHAOS_VALUE_SETPOINT], S->StateBuffer.SetPoint);
        }
        S->Handler = "board-state";
        Deliver(e);
        return;
    case WM_FLOW_READINGS:
        e.Kind = OWNER_POLL_ANSWERED;
        e.Poll = POLL_FLOW;
        S->Handler = "flow-readings";
        Deliver(e);
        return;
    case WM_USER_COMMAND_REPLY:
        // The worker could not read the line's answer: lost to the program, whatever the
        // board sent (a reply later than the reader's time-out).
        if (m.LParam == 0 && S->InFlight)
            Add(TR_BOARD_LOST, port, m.Token, -1, 0, 0.0, S->Flight.Text);
        if (takes && S->InFlight && (const void*)m.LParam == S->FlightResult) {
            S->InFlight = 0;
            SendNextLine();
        }
        return;
    case WM_SETTING_SENT:
        if (!takes)
            return;
        for (int term = 0; term < CHAOS_VALUES; term++) {
            if ((const void*)m.LParam != S->SettingReplies[term])
                continue;
            // A refusal is not carried out: the window says so.
            if (ReplyRefused(S->SettingReplies[term])) {
                DeferredRefused(&S->Settings[term]);
                Add(TR_VALUE_NOT_SENT, -1, m.Token, term, 0, S->Settings[term].Wanted,
                    "refused by the board");
            } else {
                DeferredCarriedOut(&S->Settings[term]);
            }
        }
        return;
    case WM_PID_SAVED: {
        if (!takes)
            return;
        int k = 0;
        while (k < 3 && (const void*)m.LParam != S->SaveReplies[k])
            k++;
        if (m.LParam != 0 && k == 3)
            return;
        if (S->SaveInFlight > 0)
            S->SaveInFlight--;
        if (m.LParam == 0)
            ReportSaveFailed("save unanswered");
        else if (ReplyRefused(S->SaveReplies[k]))
            ReportSaveFailed("save refused");
        return;
    }
    case WM_PID_READ:
        if (!takes)
            return;
        for (int term = CHAOS_VALUE_P; term < CHAOS_VALUES; term++) {
            if ((const void*)m.LParam == &S->PidRead[term] &&
                DeferredBoardRead(&S->Settings[term], S->PidRead[term]))
                S->Dialog[term] = S->PidRead[term];
        }
        return;
    case SIM_MSG_OPEN:
        S->Handler = "open";
        DeliverKind(OWNER_OPEN_COMMAND);
        return;
    default:
        return;
    }
}

// ---- The schedule's events ----

void OnScheduleEvent(const ChaosEvent& ev) {
    UpdateAndFlush();
    Add(TR_OPERATOR, ev.Board, 0, 0, 0, 0.0, ChaosFormatEvent(ev));
    S->Handler = ChaosEventName(ev.Kind);
    EmuLine* line = ev.Board >= 0 ? S->Lines[ev.Board] : nullptr;
    std::string error;
    switch (ev.Kind) {
    case EV_OPEN:
        if (S->DialogShowing) {
            // The dialog is modal: the operator's choice answers the one that shows.
            S->DialogAnswer = ev.Board;
            AnswerDialog();
            break;
        }
        DeliverKind(OWNER_OPEN_COMMAND);
        if (S->DialogShowing) {
            S->DialogAnswer = ev.Board;
            AnswerDialog();
        }
        break;
    case EV_DIALOG:
        S->DialogAnswer = ev.Board;
        AnswerDialog();
        break;
    case EV_CLOSE:
        DeliverKind(OWNER_CLOSE_COMMAND);
        break;
    case EV_EXIT:
        DeliverKind(OWNER_CLOSE_WINDOW);
        break;
    case EV_SIMULATE:
        DeliverKind(OWNER_SIMULATE_COMMAND);
        break;
    case EV_SETPOINT: {
        float value = (float)(ev.Arg / 10.0);
        if (S->IsController && SetPointAccepted(value)) {
            // The simulated board takes its set point from the window's record at once.
            if (OwnerSimulating(&S->Owner))
                SystemState.SetPoint = value;
            ChangeSetting(CHAOS_VALUE_SETPOINT, value);
        }
        break;
    }
    case EV_PID: {
        float value = (float)(ev.Arg / 10.0);
        int term = ev.Text == "P" ? CHAOS_VALUE_P : ev.Text == "I" ? CHAOS_VALUE_I : CHAOS_VALUE_D;
        int accepted = term == CHAOS_VALUE_P ? ProportionalAccepted(value, PROPORTIONAL_DEFAULT_MAX)
                       : term == CHAOS_VALUE_I ? IntegralAccepted(value)
                                               : DerivativeAccepted(value);
        if (S->IsController && accepted)
            ChangeSetting(term, value);
        break;
    }
    case EV_SAVE:
        if (OwnerControllerIdentified(&S->Owner)) {
            char text[MSGQ_TEXT_SIZE];
            const char* formats[3] = {"V24=%f\r", "V25=%f\r", "V26=%f\r"};
            uint64_t token = OwnerCurrentToken(&S->Owner);
            Worker* w = WorkerOf(token);
            for (int k = 0; k < 3; k++) {
                int term = SAVE_TERMS[k];
                // The flash, and the board's RAM with it, get what the PID window shows: after
                // a new connection the stored gains read back (the RAM ones are write-only).
                // The operator sees and saves them: the save is the latest choice.
                S->Saved[term] = S->Dialog[term];
                S->LastChosen[term] = S->Dialog[term];
                Add(TR_VALUE_CHOSEN, -1, 0, term, 0, S->Dialog[term], "SAVE TO FLASH");
                snprintf(text, sizeof text, formats[k], S->Dialog[term]);
                if (EnqueueThreadMsg(REQUEST_ASCII, text, WM_PID_SAVED, PARSE_TEXT,
                                     S->SaveReplies[k], sizeof S->SaveReplies[k])) {
                    S->SaveInFlight++;
                    Add(TR_VALUE_SENT, w ? w->Board : -1, token, term, 0, S->Dialog[term]);
                } else {
                    Add(TR_VALUE_NOT_SENT, -1, 0, term, 0, S->Dialog[term], "queue full");
                }
            }
        }
        break;
    case EV_TYPE:
    case EV_PASTE: {
        size_t start = 0;
        while (start <= ev.Text.size()) {
            size_t bar = ev.Text.find('|', start);
            if (bar == std::string::npos)
                bar = ev.Text.size();
            QueueLine(ev.Text.substr(start, bar - start));
            start = bar + 1;
        }
        SendNextLine();
        break;
    }
    case EV_LOG_START:
        if (!S->Logging) {
            S->Logging = 1;
            Add(TR_LOG_START);
            SetTimer(LT_LOG, LOG_INTERVAL_MS);
        }
        break;
    case EV_LOG_STOP:
        StopLog();
        break;
    case EV_GRAPH_OPEN:
        DeliverKind(OWNER_GRAPH_OPENED);
        break;
    case EV_GRAPH_CLOSE:
        DeliverKind(OWNER_GRAPH_CLOSED);
        break;
    case EV_TOTAL_RESET:
        if (OwnerLinkUp(&S->Owner) || OwnerSimulating(&S->Owner))
            EnqueueThreadMsg(REQUEST_ASCII, "G31=0\r", WM_REPLY_IGNORED, PARSE_TEXT, S->Ignored,
                             sizeof S->Ignored);
        break;
    case EV_FAULT:
        EmuLineControl(line, ("fault " + ev.Text).c_str(), SimNowMs(), &error);
        break;
    case EV_MUTE:
        EmuLineControl(line, ("mute " + ev.Text).c_str(), SimNowMs(), &error);
        break;
    case EV_POWERCYCLE:
        EmuLinePowerCycle(line, POWER_OFF_MS, SimNowMs());
        break;
    case EV_STUCK:
        SimPortSetStuck(BOARDS[ev.Board].Port, 1);
        SetTimer(LT_UNSTICK + ev.Board, (unsigned)ev.Arg);
        break;
    case EV_END:
        // Windows ends the process as soon as the handler of the session's end returns.
        DeliverKind(OWNER_SESSION_END);
        if (S->EndWaitUntil >= 0)
            S->EndAfterWait = 1;
        else
            EndSession();
        break;
    default:
        break;
    }
    Flush();
}

void OnTimer(unsigned id) {
    if (id >= LT_SETTLE_0 && id < LT_SETTLE_0 + CHAOS_VALUES) {
        SendSetting((int)(id - LT_SETTLE_0));
        return;
    }
    if (id == LT_LOG) {
        LogTick();
        return;
    }
    if (id >= LT_UNSTICK && id < LT_UNSTICK + CHAOS_BOARDS) {
        KillTimer(id);
        SimPortSetStuck(BOARDS[id - LT_UNSTICK].Port, 0);
        return;
    }
    OwnerEvent e = MakeOwnerEvent(OWNER_CLOCK_TICK, Now());
    if (id == OWNER_TIMER_FLOW || id == OWNER_TIMER_STATE) {
        e.Kind = OWNER_POLL_TIMER;
        e.Poll = id == OWNER_TIMER_FLOW ? POLL_FLOW : POLL_STATE;
    }
    S->Handler = "timer";
    Deliver(e);
}

// One pass of the window's side: due events, posted messages, then due timers. Returns 1 when
// it did anything.
int WindowPass() {
    int did = 0;
    if (S->EndWaitUntil >= 0) {
        // The window's thread is inside the handler that waits: only the board's side goes
        // on (a stuck read's release), until the workers end or the wait's time is up.
        for (int b = 0; b < CHAOS_BOARDS; b++) {
            auto t = S->Timers.find(LT_UNSTICK + b);
            if (t != S->Timers.end() && t->second.Due <= SimNowMs())
                OnTimer(LT_UNSTICK + b);
        }
        if (!WorkersLeft() || SimNowMs() >= S->EndWaitUntil)
            FinishWait();
        return 0;
    }
    const std::vector<ChaosEvent>& events = S->Schedule->Events;
    while (!S->SessionOver && S->NextEvent < events.size() &&
           events[S->NextEvent].AtMs <= SimNowMs()) {
        OnScheduleEvent(events[S->NextEvent++]);
        did = 1;
    }
    // The window's messages come before its timers, as in a message loop.
    for (int n = 0; n < 1000 && !S->SessionOver && !S->Messages.empty(); n++) {
        Message m = S->Messages.front();
        S->Messages.pop_front();
        OnWorkerMessage(m);
        did = 1;
    }
    if (!S->SessionOver && S->Messages.empty()) {
        std::vector<unsigned> due;
        for (auto& t : S->Timers) {
            if (t.second.Due <= SimNowMs())
                due.push_back(t.first);
        }
        for (unsigned id : due) {
            auto t = S->Timers.find(id);
            if (t == S->Timers.end() || S->SessionOver)
                continue;
            t->second.Due = SimNowMs() + t->second.Ms;
            OnTimer(id);
            did = 1;
        }
    }
    return did;
}

// The run could put its board back now: it spoke to the board (it connected, or it moved the
// board's speed or line ending on its way), its port still reaches the board (the cable has
// not been out since the run's last open), the board is on, hears and obeys, no lasting fault
// withholds or spoils its replies, and the worker's read is not stuck.
int Reachable(const Worker& w) {
    if (w.Board < 0 || w.Stuck)
        return 0;
    EmuLine* line = S->Lines[w.Board];
    if (!EmuLinePlugged(line, SimNowMs()) || !EmuLinePowered(line, SimNowMs()) ||
        EmuLinePlugCount(line) != w.PlugCountAtOpen)
        return 0;
    // What the board heard while the run held its port came from the run.
    int spoke = w.Run->Connected;
    for (size_t i = w.StartIndex; i < S->Trace.Entries.size() && !spoke; i++) {
        const ChaosTraceEntry& e = S->Trace.Entries[i];
        spoke = e.Kind == TR_BOARD_HEARD && e.A == 1 && e.Port == w.Board &&
                (e.Text.rfind("~BAUD=", 0) == 0 || e.Text.rfind("~SNLC=", 0) == 0);
    }
    if (!spoke)
        return 0;
    EmuFault fault = EmuCurrentFault(EmuLineBoard(line));
    switch (fault.kind) {
    case EMU_FAULT_DEAF:
    case EMU_FAULT_REFUSE:
    case EMU_FAULT_HANGUP:
        return 0;
    case EMU_FAULT_SILENCE:
    case EMU_FAULT_CUT:
    case EMU_FAULT_GARBAGE:
    case EMU_FAULT_STREAM:
        return fault.once;
    case EMU_FAULT_DELAY:
    case EMU_FAULT_TRICKLE:
        return fault.once || fault.arg < 150;
    default:
        return 1;
    }
}

// Lost, unplugged or switched off while the worker put the board back: it could not be reached.
int LostDuring(int board, uint64_t fromRecord) {
    EmuLine* line = S->Lines[board];
    for (uint64_t i = fromRecord; i < EmuRecordTotal(line); i++) {
        const EmuRecordEntry* r = EmuRecordAt(line, i);
        if (r && (r->Kind == EMU_REC_UNHEARD || r->Kind == EMU_REC_UNPLUG ||
                  r->Kind == EMU_REC_POWER_OFF))
            return 1;
    }
    return 0;
}

// The end's kind, and what the run took for its board's own speed and line ending when that is
// not the board's.
std::string EndText(const Worker& w) {
    std::string text = w.EndKind.empty() ? "end" : w.EndKind;
    const WorkerRunRec* run = w.Run.get();
    if (run->InitialBaud != 0 && ((long)run->InitialBaud != BOARDS[w.Board].Baud ||
                                  (run->InitialNewLine != 0 && run->InitialNewLine != 0x0D))) {
        char took[96];
        snprintf(took, sizeof took, " (the run took its board's own as %u %s)",
                 (unsigned)run->InitialBaud, run->InitialNewLine == 0x0D0A ? "CR LF" : "CR");
        text += took;
    }
    return text;
}

// The run opened its port in the entries from index on: the cable count it opened with.
void NoteOpens(Worker* w, size_t from) {
    for (size_t i = from; w->Board >= 0 && i < S->Trace.Entries.size(); i++) {
        const ChaosTraceEntry& e = S->Trace.Entries[i];
        if (e.Kind == TR_PORT_OPEN && e.Token == (uint32_t)w->Run->Token)
            w->PlugCountAtOpen = EmuLinePlugCount(S->Lines[w->Board]);
    }
}

// One step of one worker run. Returns 1 when it did anything.
int StepWorker(Worker* w) {
    WorkerRunRec* run = w->Run.get();
    char actor[32];
    snprintf(actor, sizeof actor, "%llu", (unsigned long long)run->Token);
    SimSetActor(actor);
    if (w->Board >= 0 && SimPortReadStuck(BOARDS[w->Board].Port))
        w->Stuck = 1;
    UpdateAndFlush();
    size_t before = S->Trace.Entries.size();
    switch (w->Phase) {
    case 0: {
        w->Phase = 1;
        S->InWorkerCall = 1;
        int up = WorkerRunConnect(run);
        S->InWorkerCall = 0;
        if (up && run->Simulation)
            Add(TR_WORKER_UP, -1, run->Token);
        Flush();
        NoteOpens(w, before);
        return 1;
    }
    case 1: {
        if (run->Stop.load()) {
            int reachable = w->Board >= 0 && Reachable(*w);
            uint64_t from = w->Board >= 0 ? EmuRecordTotal(S->Lines[w->Board]) : 0;
            S->InWorkerCall = 1;
            WorkerRunFinish(run);
            S->InWorkerCall = 0;
            Flush();
            w->Phase = 2;
            if (w->Board >= 0) {
                reachable = reachable && !LostDuring(w->Board, from) && !w->Stuck;
                Add(TR_END, w->Board, run->Token, reachable, 0, 0.0, EndText(*w));
            }
            Add(TR_WORKER_END, w->Board, run->Token);
            return 1;
        }
        // The line the command window has on its way goes out with this step.
        int32_t head = MsgQ.head.load();
        int queued = head != MsgQ.tail.load();
        int isLine = queued && MsgQ.message[head] == WM_USER_COMMAND_REPLY &&
                     MsgQ.result[head] == (void*)S->FlightResult && S->InFlight;
        Line line = S->Flight;
        double sentAt = Now();
        size_t at = S->Trace.Entries.size();
        S->InWorkerCall = 1;
        int took = WorkerRunStep(run);
        S->InWorkerCall = 0;
        if (!took)
            return 0;
        Flush();
        NoteOpens(w, at);
        if (isLine) {
            // Dated and placed where it went out, ahead of what the board made of it.
            S->Trace.Entries.insert(S->Trace.Entries.begin() + at,
                                    ChaosTraceEntry{sentAt, TR_LINE_SENT, w->Board,
                                                    (uint32_t)run->Token, line.Id, 0, 0.0,
                                                    line.Text});
        }
        SimAdvanceBy(REQUEST_PAUSE_MS);
        return 1;
    }
    default:
        return 0;
    }
}

void EndSession() {
    if (S->SessionOver)
        return;
    S->SessionOver = 1;
    S->EndT = Now();
    // Workers that never ended: the process takes them with it, the board as it is.
    for (auto& w : S->Workers) {
        if (w->Phase < 2 && w->Board >= 0 && w->Run->Device) {
            Add(TR_END, w->Board, w->Run->Token, w->Stuck ? 0 : Reachable(*w), 0, 0.0, EndText(*w));
        }
    }
    Add(TR_SESSION_OVER);
    // The process is gone: a worker call still under way gives up at once and says nothing
    // more to its board.
    for (auto& w : S->Workers)
        w->Run->Stop.store(1);
    for (int b = 0; b < CHAOS_BOARDS; b++)
        SimPortSetStuck(BOARDS[b].Port, 0);
}

// While a read is stuck the rest of the program goes on: the window's side only, as no other
// worker may run on this thread meanwhile.
void StuckPump(void*) {
    if (S->InPump || S->SessionOver)
        return;
    S->InPump = 1;
    S->PumpedAt = SimNowMs();
    WindowPass();
    S->InPump = 0;
    for (auto& w : S->Workers) {
        if (w->Board >= 0 && SimPortReadStuck(BOARDS[w->Board].Port))
            w->Stuck = 1;
    }
}

// The device code's clock, over the virtual one: whenever a worker's call lets virtual time
// pass (a sleep, a deadline read), the window's side runs too, as its own thread would.
void ClockSleep(uint32_t ms) {
    SimAdvanceBy(ms);
    if (S && S->InWorkerCall && S->PumpedAt != SimNowMs())
        StuckPump(nullptr);
}

double ClockNow() {
    if (S && S->InWorkerCall && S->PumpedAt != SimNowMs())
        StuckPump(nullptr);
    return SimNowMs() / 1000.0;
}

const DeviceClockHooks CHAOS_CLOCK = {ClockSleep, ClockNow};

// The next time anything is due: an event, a timer, a change on a line.
int64_t NextDue() {
    int64_t next = INT64_MAX;
    if (S->NextEvent < S->Schedule->Events.size())
        next = S->Schedule->Events[S->NextEvent].AtMs;
    for (auto& t : S->Timers)
        next = std::min(next, t.second.Due);
    return next;
}

// What the ports and the boards recorded since the last call, into the trace: called before
// and after everything that may touch a line, so the trace keeps the order in which things
// happened. Within one call's new entries, time order, a port's open or close first at the
// same millisecond (a run opens before it speaks, and its end's last words follow its close
// only in the same millisecond). After the session's end only what a board does by itself
// (a speed switch it was told to make before) is taken.
void Flush() {
    std::vector<ChaosTraceEntry> fresh;
    double endT = S->SessionOver ? S->EndT : 1e300;
    for (int b = 0; b < CHAOS_BOARDS; b++) {
        const char* port = BOARDS[b].Port;
        for (; S->PortSeen[b] < SimPortEventCount(port); S->PortSeen[b]++) {
            const SimPortEvent* pe = SimPortEventAt(port, S->PortSeen[b]);
            double t = pe->Ms / 1000.0;
            uint32_t token = (uint32_t)strtoul(pe->Actor.c_str(), nullptr, 10);
            if (t > endT)
                continue;
            ChaosTraceKind kind = TR_KIND_COUNT;
            long a = 0;
            if (pe->Kind == SIM_OPENED)
                kind = TR_PORT_OPEN;
            else if (pe->Kind == SIM_CLOSED)
                kind = TR_PORT_CLOSE;
            else if (pe->Kind == SIM_OPEN_BUSY)
                kind = TR_PORT_REFUSED, a = 1;
            else if (pe->Kind == SIM_OPEN_ABSENT)
                kind = TR_PORT_REFUSED, a = 0;
            if (kind != TR_KIND_COUNT)
                fresh.push_back(ChaosTraceEntry{t, kind, b, token, a, 0, 0.0, ""});
        }
    }
    for (int b = 0; b < CHAOS_BOARDS; b++) {
        EmuLine* line = S->Lines[b];
        for (; S->RecordSeen[b] < EmuRecordTotal(line); S->RecordSeen[b]++) {
            const EmuRecordEntry* r = EmuRecordAt(line, S->RecordSeen[b]);
            if (!r)
                continue;
            double t = r->Ms / 1000.0;
            if (t > endT && r->Kind != EMU_REC_SPEED && r->Kind != EMU_REC_LINE_ENDING)
                continue;
            ChaosTraceEntry e{t, TR_KIND_COUNT, b, 0, 0, 0, 0.0, r->Text};
            switch (r->Kind) {
            case EMU_REC_COMMAND:
                e.Kind = TR_BOARD_HEARD, e.A = 1;
                break;
            case EMU_REC_NOISE:
                e.Kind = TR_BOARD_HEARD, e.A = 0;
                break;
            case EMU_REC_UNHEARD:
            case EMU_REC_REPLY_LOST:
                e.Kind = TR_BOARD_LOST, e.A = r->Value;
                break;
            case EMU_REC_SPEED:
                S->Baud[b] = r->Value;
                e.Kind = TR_BOARD_SETTING, e.A = S->Baud[b], e.B = S->Ending[b];
                break;
            case EMU_REC_LINE_ENDING:
                S->Ending[b] = r->Value;
                e.Kind = TR_BOARD_SETTING, e.A = S->Baud[b], e.B = S->Ending[b];
                break;
            case EMU_REC_POWER_OFF:
                // The RAM values go with the power.
                e.Kind = TR_BOARD_POWER;
                break;
            default:
                break;
            }
            if (e.Kind != TR_KIND_COUNT)
                fresh.push_back(e);
        }
    }
    std::stable_sort(fresh.begin(), fresh.end(),
                     [](const ChaosTraceEntry& a, const ChaosTraceEntry& b) { return a.T < b.T; });
    S->Trace.Entries.insert(S->Trace.Entries.end(), fresh.begin(), fresh.end());
}

// Every line brought up to now (what came due by itself gets recorded), then flushed.
void UpdateAndFlush() {
    for (int b = 0; b < CHAOS_BOARDS; b++)
        EmuLineUpdate(S->Lines[b], SimNowMs());
    Flush();
}

} // namespace

ChaosTrace ChaosSimulate(const ChaosSchedule& schedule) {
    Sim sim;
    S = &sim;
    sim.Schedule = &schedule;
    // The simulated board's made-up flow uses the C library's generator: the same start for
    // every schedule keeps a run the same wherever it falls in a campaign.
    srand(1);
    SimInstall(0);
    SetDeviceClockHooks(&CHAOS_CLOCK);
    SimSetStuckPump(StuckPump, nullptr);
    for (int b = 0; b < CHAOS_BOARDS; b++) {
        EmuSettings settings;
        EmuDefaultSettings(&settings);
        settings.kind = BOARDS[b].Kind;
        settings.baud = BOARDS[b].Baud;
        sim.Lines[b] = SimAddBoard(BOARDS[b].Port, &settings, 1 << 16);
        sim.Baud[b] = BOARDS[b].Baud;
        sim.Ending[b] = CHAOS_LE_CR;
        Add(TR_BOARD_OWN, b, 0, BOARDS[b].Baud, CHAOS_LE_CR);
    }
    // Nothing of an earlier schedule's boards may carry over: the saved line settings are the
    // program's memory of a port's board.
    ForgetBoardLineSettings();
    ClearMsgQueue();
    SystemState = SystemStateRec{};
    ResetSettings();
    InitConnectionOwner(&sim.Owner, TakeToken, nullptr);

    int64_t lastEvent = schedule.Events.empty() ? 0 : schedule.Events.back().AtMs;
    int ended = 0;
    for (const ChaosEvent& e : schedule.Events)
        ended |= e.Kind == EV_EXIT || e.Kind == EV_END;
    while (!sim.SessionOver) {
        if (sim.EndWaitUntil >= 0 && (!WorkersLeft() || SimNowMs() >= sim.EndWaitUntil)) {
            FinishWait();
            continue;
        }
        int did = WindowPass();
        if (sim.SessionOver)
            break;
        for (size_t i = 0; i < sim.Workers.size() && !sim.SessionOver; i++) {
            Worker* w = sim.Workers[i].get();
            if (w->Phase < 2)
                did |= StepWorker(w);
        }
        // A schedule that does not end the session (a shrunk one, a hand-written one) ends with
        // Exit at its last moment.
        if (!ended && sim.NextEvent >= schedule.Events.size() &&
            SimNowMs() >= std::max<int64_t>(lastEvent, CHAOS_SESSION_MS)) {
            ended = 1;
            Add(TR_OPERATOR, -1, 0, 0, 0, 0.0,
                ChaosFormatEvent(ChaosEvent{SimNowMs(), EV_EXIT, -1, 0, ""}));
            sim.Handler = "exit";
            DeliverKind(OWNER_CLOSE_WINDOW);
            continue;
        }
        if (SimNowMs() > std::max<int64_t>(lastEvent, CHAOS_SESSION_MS) + HANG_MS) {
            // The window never went: a wait without end.
            sim.Handler = "the session's end, never complete";
            Add(TR_WAIT, -1, 0, 0, 0, HANG_MS / 1000.0, "exit never completed");
            EndSession();
            break;
        }
        if (!did && !sim.SessionOver) {
            int64_t next = sim.EndWaitUntil >= 0 ? sim.EndWaitUntil : NextDue();
            if (!ended)
                next = std::min<int64_t>(next, std::max<int64_t>(lastEvent, CHAOS_SESSION_MS));
            if (next == INT64_MAX || next <= SimNowMs())
                next = SimNowMs() + 10;
            SimAdvanceTo(next);
        }
    }
    double endT = Now();
    // The boards carry out what they were told last (a speed switch comes a moment after its
    // command) with nobody on the line any more.
    SimAdvanceBy(1000);
    for (int b = 0; b < CHAOS_BOARDS; b++)
        EmuLineUpdate(sim.Lines[b], SimNowMs());
    UpdateAndFlush();
    for (int b = 0; b < CHAOS_BOARDS; b++) {
        // The values each board holds at the end.
        EmuBoard* board = EmuLineBoard(sim.Lines[b]);
        const double values[CHAOS_VALUES] = {board->SetPoint, board->RamProportional,
                                             board->RamIntegral, board->RamDerivative};
        for (int term = 0; term < CHAOS_VALUES; term++)
            ChaosTraceAdd(&sim.Trace, endT, TR_BOARD_VALUE, b, 0, term, 0, values[term]);
    }
    // The simulated board's set point is the window's record of it.
    ChaosTraceAdd(&sim.Trace, endT, TR_BOARD_VALUE, -1, 0, CHAOS_VALUE_SETPOINT, 0,
                  SystemState.SetPoint);
    SimSetStuckPump(nullptr, nullptr);
    SimRemove();
    ClearMsgQueue();
    S = nullptr;
    return sim.Trace;
}
