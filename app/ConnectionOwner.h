// The one owner of the main window's connection. Every event that may start, change or end a
// connection enters through OwnerHandleEvent: the operator's commands (Open, Close, 40110, the
// port dialog's answer, the window's close), the worker's reports, the timers, the session's
// end. What the program must do about it comes back as a list of actions (start, stop or
// cancel a worker, give up a port, queue the identification, set or kill a timer, show a box or
// the port dialog, call the companion windows' hooks, destroy the window), which the Win32 side
// (app/win32/Connection.cpp) carries out in order. Portable and free of real time: the caller
// puts the time into every event, so tests and the chaos run drive it with a clock of their own.
//
// A stop never waits. The stopped run is "ending" until its worker reports its end; then what
// the operator asked for goes on (idle, a new port, the simulation, a reconnection, the exit).
// A worker that has not ended STOP_GIVE_UP_SECONDS after its stop (its read ignored the stop
// and the cancel) is left to end by itself: it keeps its own port name, token and error bits,
// and its port stays locked until it ends. An Open meanwhile waits for it (the "waiting" state)
// and goes on when it ends, or gives up after STUCK_OPEN_WAIT_SECONDS.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/ConnectionState.h"

constexpr int OWNER_PORT_SIZE = 256;
constexpr int OWNER_TEXT_SIZE = 512;
constexpr int OWNER_MAX_ACTIONS = 32;

// A stopped worker gives up its read within the port's byte time-out (about 150 ms) and puts
// the board back with two short commands. One that has not ended by STOP_CANCEL_SECONDS has
// its I/O cancelled (a driver that ignores the time-outs); one that has not ended by
// STOP_GIVE_UP_SECONDS is stuck.
constexpr double STOP_CANCEL_SECONDS = 0.6;
constexpr double STOP_GIVE_UP_SECONDS = 1.0;
// How long an Open waits for a stuck worker before it says that the previous connection has
// not ended, and how long the exit waits for one after cancelling its I/O again.
constexpr double STUCK_OPEN_WAIT_SECONDS = 5.0;
constexpr double STUCK_EXIT_WAIT_SECONDS = 3.0;
// The session's end waits this long in all for the workers (their I/O cancelled half-way).
constexpr double SESSION_END_WAIT_SECONDS = 1.5;
// How often the owner's clock ticks while a deadline is pending, and the poll periods.
constexpr unsigned OWNER_CLOCK_MS = 100;
constexpr unsigned FLOW_POLL_MS = 50;
constexpr unsigned STATE_POLL_MS = 100;

// The timers the owner sets and kills (the values of resources/AppMessages.h).
constexpr unsigned OWNER_TIMER_FLOW = 264;
constexpr unsigned OWNER_TIMER_STATE = 265;
constexpr unsigned OWNER_TIMER_CLOCK = 273;

enum OwnerEventKind {
    OWNER_OPEN_COMMAND = 0, // Connection > Open: the port dialog, if Open is allowed
    OWNER_PORT_CHOSEN,      // the port dialog's OK (or a test's Open of a port): Port
    OWNER_PORT_DIALOG_CANCELLED,
    OWNER_CLOSE_COMMAND,         // Connection > Close
    OWNER_SIMULATE_COMMAND,      // 40110
    OWNER_START_WORKER,          // WM_START_WORKER: Token
    OWNER_WORKER_START_FAILED,   // the thread for the run Token could not be started
    OWNER_WORKER_CONNECTED,      // Token; NewLineKnown: the board's line ending was read
    OWNER_WORKER_CONNECT_FAILED, // Token
    OWNER_WORKER_LINK_ERROR,     // Token, ErrorBits
    OWNER_PRODUCT_CONFIG,        // the identification's answer: Token, Valid, IsController
    OWNER_POLL_ANSWERED,         // a flow or state record (or its failure) came: Token, Poll
    OWNER_WORKER_ENDED,          // the worker's last report: Token
    OWNER_POLL_TIMER,            // timer 264 (Poll = POLL_FLOW) or 265 (POLL_STATE)
    OWNER_CLOCK_TICK,            // the owner's clock timer
    OWNER_GRAPH_OPENED,
    OWNER_GRAPH_CLOSED,
    OWNER_CLOSE_WINDOW, // WM_CLOSE and the quit request 32769
    OWNER_SESSION_END,  // WM_ENDSESSION with the session really ending
    OWNER_EVENT_COUNT
};

struct OwnerEvent {
    OwnerEventKind Kind;
    double Now; // seconds on any steady clock
    uint64_t Token;
    char Port[OWNER_PORT_SIZE];
    uint32_t ErrorBits;
    int NewLineKnown;
    int Valid;
    int IsController;
    PollKind Poll;
};

// An event of a kind with everything else zero; the caller fills in the rest.
OwnerEvent MakeOwnerEvent(OwnerEventKind kind, double now);

// The companion windows' hooks (the set point and PID dialogs, the command window, the graph,
// the totalizer, the log interval window, the log): each row of the Win32 side's table says
// what it does on each.
enum OwnerHook {
    HOOK_LINK_UP = 0, // identified: what waited for the board goes now
    HOOK_LINK_DOWN,   // the worker stopped: the queue is gone, what was on its way waits
    HOOK_ENDED,       // the connection ended for good: what waited is dropped, the log ends
    HOOK_EXIT,        // the program ends: everything closes without a word
    OWNER_HOOK_COUNT
};

enum OwnerActionKind {
    ACT_START_WORKER = 0, // Token, Port, Simulation, RideThrough
    ACT_POST_START,       // post WM_START_WORKER with Token
    ACT_STOP_WORKER,      // tell the run Token to stop (its stop flag, the queue's signal)
    ACT_CANCEL_WORKER_IO, // cancel the I/O of the run Token
    ACT_WAIT_FOR_WORKERS, // the session's end only: wait up to Seconds for every worker
    ACT_CLEAR_QUEUE,      // empty the command queue
    ACT_HOLD_PORT,        // Port: the connection's port, locked against other programs
    ACT_RELEASE_PORT,     // Port: nothing of this window uses it any more
    ACT_IDENTIFY,         // queue the identification (Simulation; NewLineKnown: ~SNLC first)
    ACT_SIMULATION_SETUP, // the simulated board's gas, range and title
    ACT_POLL,             // queue a Poll request
    ACT_SET_TIMER,        // Timer, Ms
    ACT_KILL_TIMER,       // Timer
    ACT_HOOK,             // Hook, on every companion window's row
    ACT_UPDATE_MENU,      // apply OwnerMenuRules to the menu
    ACT_REDRAW,           // the strip and readout show the new state
    ACT_BRING_TO_TOP,     // a reconnection shows the window
    ACT_SHOW_BOX,         // Text, Error (1: error icon, 0: warning icon)
    ACT_POST_OPEN,        // post Connection > Open, the dialog showing Text as its note
    ACT_SHOW_PORT_DIALOG, // run the port dialog (modal) and report its answer
    ACT_CANCEL_DIALOGS,   // a quit came while the port dialog (or a box over it) shows
    ACT_DESTROY_WINDOW,   // the exit is complete
    OWNER_ACTION_COUNT
};

struct OwnerAction {
    OwnerActionKind Kind;
    uint64_t Token;
    char Port[OWNER_PORT_SIZE];
    int Simulation;
    int RideThrough;
    int NewLineKnown;
    PollKind Poll;
    unsigned Timer;
    unsigned Ms;
    OwnerHook Hook;
    double Seconds;
    int Error;
    char Text[OWNER_TEXT_SIZE];
};

struct OwnerActionList {
    int Count;
    int Dropped; // actions that did not fit (never expected; a test asserts 0)
    OwnerAction Items[OWNER_MAX_ACTIONS];
};

// Where the owner takes each run's token from: the exe's from rand_s, tests' from a counter or
// a seeded generator. The owner skips 0 and tokens in use.
typedef uint64_t (*OwnerTokenSource)(void* context);

// What comes after the run being ended.
enum OwnerAfter {
    AFTER_NOTHING = 0, // no run is ending
    AFTER_IDLE,        // Close, a failed reconnection: idle
    AFTER_IDLE_DIALOG, // a failed connection: idle, then the port dialog (with NextNote)
    AFTER_CONNECT,     // Open of a port (NextPort)
    AFTER_RECONNECT,   // a link error with a reconnection allowed
    AFTER_SIMULATE,    // 40110
    AFTER_EXIT,        // the window's close
};

struct OwnerRunRec {
    uint64_t Token; // 0: none
    char Port[OWNER_PORT_SIZE];
    int Simulation;
    double StopAt; // when it was told to stop (ending and stuck runs)
    int Cancelled; // its I/O has been cancelled (since the last stop or the exit)
};

struct ConnectionOwnerRec {
    ConnectionState State;
    char Port[OWNER_PORT_SIZE]; // the connection's port ("FAKE" while simulating)
    OwnerRunRec Run;            // the run now going or ending
    OwnerRunRec Stuck;          // a worker left to end by itself
    OwnerAfter After;
    char NextPort[OWNER_PORT_SIZE];
    char NextNote[OWNER_TEXT_SIZE];
    uint64_t PendingStart; // the WM_START_WORKER token still wanted; 0: none
    double WaitSince;      // CONN_WAITING: when the Open began to wait
    int WaitReconnect;     // ... and whether it is a reconnection
    double ExitDeadline;   // exiting with a stuck worker: when the window goes anyway
    int Exiting;           // 1 while the exit waits for its workers, 2 once the window is to go
    int DialogShowing;     // the port dialog runs its loop; nothing else starts meanwhile
    int QuitPending;       // a close came while the dialog showed
    int SessionEnded;      // nothing starts again
    int GraphOpen;
    int Identified;       // this run's identification answered
    int IsController;     // ... and said controller
    uint32_t ShownErrors; // the serial error bits the strip shows; 0 once a link is up
    int PortHeld;         // Port is held for the connection (not the simulation's)
    int ClockRunning;
    FaultCounterRec Faults;
    PollGateRec Polls;
    OwnerTokenSource NextToken;
    void* TokenContext;
};

void InitConnectionOwner(ConnectionOwnerRec* owner, OwnerTokenSource source, void* context);

// The one entry. actions is cleared first and receives what the caller must carry out, in
// order. Returns 1 when the event was taken (a report of the run it belongs to, in the state
// that waits for it; a command that may act now), 0 when it changed nothing.
int OwnerHandleEvent(ConnectionOwnerRec* owner, const OwnerEvent* event, OwnerActionList* actions);

// Non-zero when token is the run now serving the queue (connected or simulating): its replies
// may be shown. A stopped run's, or another program's, are dropped.
int OwnerTakesReplies(const ConnectionOwnerRec* owner, uint64_t token);
// Non-zero when token names a worker of this window (running, ending or stuck).
int OwnerKnowsWorker(const ConnectionOwnerRec* owner, uint64_t token);
// The run whose identification said controller: the operator's settings may go.
int OwnerControllerIdentified(const ConnectionOwnerRec* owner);
// The strip: a board link up, the simulation, and the waiting for a stuck worker.
int OwnerLinkUp(const ConnectionOwnerRec* owner);
int OwnerSimulating(const ConnectionOwnerRec* owner);
int OwnerWaitingForPrevious(const ConnectionOwnerRec* owner);
// The run the replies now shown belong to (0: none), for the log's gate.
uint64_t OwnerCurrentToken(const ConnectionOwnerRec* owner);

// The Connection menu: what may be chosen now. Open stays enabled while simulating (opening a
// port ends the simulation); nothing is enabled while the port dialog shows or after the
// session's end.
struct OwnerMenuRules {
    int Open;
    int Close;
    int Simulate;
};
void OwnerMenu(const ConnectionOwnerRec* owner, OwnerMenuRules* rules);

// Two spellings of one port ("com5", "\\.\COM5") are the same port.
int OwnerSamePort(const char* a, const char* b);

// Names for tests and traces.
const char* OwnerEventName(OwnerEventKind kind);
const char* OwnerActionName(OwnerActionKind kind);
const char* OwnerHookName(OwnerHook hook);
