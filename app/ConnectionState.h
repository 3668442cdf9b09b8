// The life of the main window's connection as a handful of named states, and the rules that
// decide what each request or report may do in each of them. Portable: the Win32 side
// (app/win32/Connection.cpp) carries the decisions out (workers, timers, dialogs, boxes).
//
//   idle ──Open──▶ connecting ──connected──▶ connected ──link error──▶ reconnecting
//    ▲  ◀─failed─┘     ▲                        │  ▲                      │
//    │                 └──────── (new worker) ──┼──┴──────connected───────┘
//    │ ◀──────── Close / failed reconnection / too many reconnections ──┘
//    └──40110──▶ simulating ──Open / Close──▶ …
//
// "ending" is the short step in which a worker is stopped and the board put back; nothing
// else starts meanwhile. A transition that may show a window (the port dialog, a box) marks
// the connection busy until it is complete; requests that arrive meanwhile start nothing.
#pragma once

#include <cstdint>

enum ConnectionState {
    CONN_IDLE = 0,
    CONN_CONNECTING,
    CONN_CONNECTED,
    CONN_RECONNECTING,
    CONN_SIMULATING,
    CONN_ENDING,
};

const char* ConnectionStateName(ConnectionState state);

// Reconnections allowed within the window before the program stops trying: a fault that comes
// back right after every reconnection (every state record short, a board that answers its
// probe but nothing else) would otherwise reconnect several times a second for ever. Only
// reconnections that did not hold count: a good state record clears the history, so separate
// faults on a link that works in between each get their reconnection.
constexpr int RECONNECT_LIMIT = 3;
constexpr double RECONNECT_WINDOW_SECONDS = 10.0;

struct ReconnectHistoryRec {
    double Times[RECONNECT_LIMIT]; // when the last reconnections started, oldest first
    int Count;
};

void ResetReconnectHistory(ReconnectHistoryRec* history);
// A link error at time now: 1 when another reconnection is allowed (and it is recorded), 0 when
// RECONNECT_LIMIT reconnections already started within the last RECONNECT_WINDOW_SECONDS.
int MayReconnect(ReconnectHistoryRec* history, double now);

// What the operator's requests may do in a state (also while no transition is running).
int ConnectionAllowsOpen(ConnectionState state);     // choose a port and connect
int ConnectionAllowsClose(ConnectionState state);    // end the connection or simulation
int ConnectionAllowsSimulate(ConnectionState state); // start the simulated board
// A worker report of the current run that moves the connection on.
enum ConnectionReport { REPORT_CONNECTED, REPORT_CONNECT_FAILED, REPORT_LINK_ERROR };
// The state a report leads to; the state itself when the report means nothing there (a link
// error while simulating, a late "connected" after the operator closed). For a link error in
// the connected state the caller asks MayReconnect first: RECONNECTING when allowed, else the
// connection ends (IDLE) and the port dialog opens.
ConnectionState ConnectionAfterReport(ConnectionState state, ConnectionReport report,
                                      int reconnectAllowed);
// Timers poll the board (state, flow samples) only while a worker serves the queue.
int ConnectionPolls(ConnectionState state);

// One request of each poll kind in flight: a timer tick asks for a new one only when the last
// is answered, so a slow board never has two of a kind queued and the worker never writes a
// record the window is still reading.
struct PollGateRec {
    int StateInFlight;
    int FlowInFlight;
};
enum PollKind { POLL_STATE, POLL_FLOW };
// 1 when a request of the kind may be queued now (and marks it in flight).
int PollGateTake(PollGateRec* gate, PollKind kind);
// Its answer (or failure report) arrived, or the queue was emptied.
void PollGateAnswered(PollGateRec* gate, PollKind kind);
void PollGateReset(PollGateRec* gate);
