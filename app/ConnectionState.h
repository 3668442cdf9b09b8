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
// "ending": a worker has been told to stop and puts the board back; what comes next (idle, a
// port, the simulation, a reconnection, the exit) waits for its end report, without holding
// the window. "waiting": an Open waits for a worker that did not end when told to (it keeps
// its port locked) and goes on when it ends. app/ConnectionOwner.h decides every transition.
#pragma once

#include <cstdint>

enum ConnectionState {
    CONN_IDLE = 0,
    CONN_CONNECTING,
    CONN_CONNECTED,
    CONN_RECONNECTING,
    CONN_SIMULATING,
    CONN_ENDING,
    CONN_WAITING,
};

const char* ConnectionStateName(ConnectionState state);

// Faults that come back. A run whose link fails within QUICK_FAULT_SECONDS of its start (the
// worker's "connected") did not hold, whatever it delivered before: a board that answers its
// state record but never its gas symbol fails every run a moment after the first record. After
// QUICK_FAULT_LIMIT such runs in a row the next quick failure ends the connection and the port
// dialog opens. A run that held longer starts the count afresh, so separate faults on a link
// that works in between each get their reconnection.
constexpr int QUICK_FAULT_LIMIT = 3;
constexpr double QUICK_FAULT_SECONDS = 10.0;

struct FaultCounterRec {
    double RunStart; // when the run now going got its link
    int QuickFaults; // runs in a row that failed within QUICK_FAULT_SECONDS of their start
};

void ResetFaultCounter(FaultCounterRec* counter);
// The worker reported its link up at time now (seconds on any steady clock).
void FaultCounterRunStarted(FaultCounterRec* counter, double now);
// A link error at time now: 1 when another reconnection is allowed, 0 when the connection ends.
int FaultCounterMayReconnect(FaultCounterRec* counter, double now);

// The ride-through of a brief outage. A reconnection whose port cannot be opened, or whose
// board does not answer the probe, tries again RIDE_THROUGH_RETRY_SECONDS after its last
// attempt began, for as long as the next attempt would begin within RIDE_THROUGH_SECONDS of
// the first: an adapter that re-enumerates or a board that pauses is back before the clock runs
// out. All its attempts are one reconnection for the fault counter above.
constexpr double RIDE_THROUGH_SECONDS = 10.0;
constexpr double RIDE_THROUGH_RETRY_SECONDS = 1.0;
// After an attempt that began at lastAttempt failed, at time now, of a ride-through whose first
// attempt began at start: the seconds to wait before the next attempt (0: at once), or a
// negative value when the clock has run out and the reconnection has failed.
double RideThroughWait(double start, double lastAttempt, double now);

// What the operator's requests may do in a state (also while no transition is running).
int ConnectionAllowsOpen(ConnectionState state);     // choose a port and connect
int ConnectionAllowsClose(ConnectionState state);    // end the connection or simulation
int ConnectionAllowsSimulate(ConnectionState state); // start the simulated board
// A worker report of the current run that moves the connection on.
enum ConnectionReport { REPORT_CONNECTED, REPORT_CONNECT_FAILED, REPORT_LINK_ERROR };
// The state a report leads to; the state itself when the report means nothing there (a link
// error while simulating, a late "connected" after the operator closed). For a link error in
// the connected state the caller asks FaultCounterMayReconnect first: RECONNECTING when
// allowed, else the connection ends (IDLE) and the port dialog opens.
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
