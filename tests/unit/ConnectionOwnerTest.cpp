#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/ConnectionOwner.h"

namespace {

// Tokens from a counter the test controls: 0x100, 0x101, ...
uint64_t CountingTokens(void* context) {
    uint64_t* next = static_cast<uint64_t*>(context);
    return (*next)++;
}

// The actions as one line: "stop:0x101 kill:265 hook:link-down ...".
std::string Summary(const OwnerActionList& actions) {
    std::string out;
    for (int i = 0; i < actions.Count; i++) {
        const OwnerAction& a = actions.Items[i];
        char item[OWNER_PORT_SIZE + 64];
        switch (a.Kind) {
        case ACT_START_WORKER:
            snprintf(item, sizeof item, "start:%s%s%s", a.Port, a.Simulation ? "/sim" : "",
                     a.RideThrough ? "/ride" : "");
            break;
        case ACT_SET_TIMER:
            snprintf(item, sizeof item, "set:%u/%u", a.Timer, a.Ms);
            break;
        case ACT_KILL_TIMER:
            snprintf(item, sizeof item, "kill:%u", a.Timer);
            break;
        case ACT_HOOK:
            snprintf(item, sizeof item, "hook:%s", OwnerHookName(a.Hook));
            break;
        case ACT_HOLD_PORT:
        case ACT_RELEASE_PORT:
            snprintf(item, sizeof item, "%s:%s", OwnerActionName(a.Kind), a.Port);
            break;
        case ACT_IDENTIFY:
            snprintf(item, sizeof item, "identify%s%s", a.Simulation ? "/sim" : "",
                     a.NewLineKnown ? "/newline" : "");
            break;
        case ACT_POLL:
            snprintf(item, sizeof item, "poll:%s", a.Poll == POLL_STATE ? "state" : "flow");
            break;
        default:
            snprintf(item, sizeof item, "%s", OwnerActionName(a.Kind));
            break;
        }
        if (!out.empty())
            out += ' ';
        out += item;
    }
    return out;
}

const OwnerAction* Find(const OwnerActionList& actions, OwnerActionKind kind) {
    for (int i = 0; i < actions.Count; i++)
        if (actions.Items[i].Kind == kind)
            return &actions.Items[i];
    return nullptr;
}

// Drives one owner with a clock the test sets; remembers the last actions.
class Driver {
  public:
    Driver() { InitConnectionOwner(&owner, CountingTokens, &nextToken); }
    int Fire(OwnerEventKind kind, uint64_t token = 0, const char* port = "") {
        OwnerEvent event = MakeOwnerEvent(kind, now);
        event.Token = token;
        snprintf(event.Port, sizeof event.Port, "%s", port);
        return Handle(event);
    }
    int Handle(const OwnerEvent& event) {
        int taken = OwnerHandleEvent(&owner, &event, &last);
        EXPECT_EQ(last.Dropped, 0);
        return taken;
    }
    int Report(OwnerEventKind kind) { return Fire(kind, owner.Run.Token); }
    int Start() { return Fire(OWNER_START_WORKER, owner.PendingStart); }
    int Tick(double at) {
        now = at;
        return Fire(OWNER_CLOCK_TICK);
    }
    std::string Actions() const { return Summary(last); }

    // Into each state the table starts from.
    void Connecting() { Fire(OWNER_PORT_CHOSEN, 0, "COM5"); }
    void Connected() {
        Connecting();
        Start();
        Report(OWNER_WORKER_CONNECTED);
    }
    void Reconnecting() {
        Connected();
        now += 20.0;
        Report(OWNER_WORKER_LINK_ERROR);
        Report(OWNER_WORKER_ENDED);
        Start();
    }
    void Simulating() { Fire(OWNER_SIMULATE_COMMAND); }
    void Ending() {
        Connected();
        Fire(OWNER_CLOSE_COMMAND);
    }
    // A worker on COM5 that did not end when told, and an Open of COM6 waiting for it.
    void Waiting() {
        Ending();
        Tick(now + STOP_GIVE_UP_SECONDS);
        Fire(OWNER_PORT_CHOSEN, 0, "COM6");
    }

    ConnectionOwnerRec owner;
    OwnerActionList last = {};
    uint64_t nextToken = 0x100;
    double now = 100.0;
};

// ---------------------------------------------------------------------------------------
// Every event in every state: the state it leads to and the actions, in order. Reports carry
// the token of the run they belong to (the pending start's for WM_START_WORKER); the cases
// with a token that is not the run's are in the forged-report tests below.

struct PairCase {
    const char* from;
    OwnerEventKind event;
    ConnectionState to;
    const char* actions;
};

void EnterState(Driver* d, const std::string& from) {
    if (from == "connecting")
        d->Connecting();
    else if (from == "connecting-run") {
        d->Connecting();
        d->Start();
    } else if (from == "connected")
        d->Connected();
    else if (from == "reconnecting")
        d->Reconnecting();
    else if (from == "simulating")
        d->Simulating();
    else if (from == "ending")
        d->Ending();
    else if (from == "waiting")
        d->Waiting();
}

uint64_t TokenFor(const Driver& d, OwnerEventKind event) {
    if (event == OWNER_START_WORKER)
        return d.owner.PendingStart;
    return d.owner.Run.Token ? d.owner.Run.Token : d.owner.Stuck.Token;
}

const char* const STOP = "stop kill:265 kill:264 hook:link-down menu redraw set:273/100";

const PairCase PAIRS[] = {
    // idle
    {"idle", OWNER_OPEN_COMMAND, CONN_IDLE, "dialog"},
    {"idle", OWNER_PORT_CHOSEN, CONN_CONNECTING, "hold:COM5 post-start menu redraw hook:ended"},
    {"idle", OWNER_PORT_DIALOG_CANCELLED, CONN_IDLE, ""},
    {"idle", OWNER_CLOSE_COMMAND, CONN_IDLE, "menu redraw hook:ended"},
    {"idle", OWNER_SIMULATE_COMMAND, CONN_SIMULATING,
     "start:FAKE/sim sim-setup identify/sim menu redraw set:265/100 hook:ended"},
    {"idle", OWNER_START_WORKER, CONN_IDLE, ""},
    {"idle", OWNER_WORKER_START_FAILED, CONN_IDLE, ""},
    {"idle", OWNER_WORKER_CONNECTED, CONN_IDLE, ""},
    {"idle", OWNER_WORKER_CONNECT_FAILED, CONN_IDLE, ""},
    {"idle", OWNER_WORKER_LINK_ERROR, CONN_IDLE, ""},
    {"idle", OWNER_PRODUCT_CONFIG, CONN_IDLE, ""},
    {"idle", OWNER_POLL_ANSWERED, CONN_IDLE, ""},
    {"idle", OWNER_WORKER_ENDED, CONN_IDLE, ""},
    {"idle", OWNER_POLL_TIMER, CONN_IDLE, ""},
    {"idle", OWNER_CLOCK_TICK, CONN_IDLE, ""},
    {"idle", OWNER_GRAPH_OPENED, CONN_IDLE, ""},
    {"idle", OWNER_GRAPH_CLOSED, CONN_IDLE, "kill:264"},
    {"idle", OWNER_CLOSE_WINDOW, CONN_IDLE, "hook:exit destroy"},
    {"idle", OWNER_SESSION_END, CONN_IDLE,
     "kill:265 kill:264 clear-queue hook:link-down hook:exit menu redraw"},
    // connecting: the start is posted, no worker yet
    {"connecting", OWNER_OPEN_COMMAND, CONN_CONNECTING, ""},
    {"connecting", OWNER_PORT_CHOSEN, CONN_CONNECTING, ""},
    {"connecting", OWNER_CLOSE_COMMAND, CONN_IDLE, "release:COM5 menu redraw hook:ended"},
    {"connecting", OWNER_SIMULATE_COMMAND, CONN_SIMULATING,
     "release:COM5 start:FAKE/sim sim-setup identify/sim menu redraw set:265/100 hook:ended"},
    {"connecting", OWNER_START_WORKER, CONN_CONNECTING, "start:COM5"},
    {"connecting", OWNER_WORKER_CONNECTED, CONN_CONNECTING, ""},
    {"connecting", OWNER_POLL_TIMER, CONN_CONNECTING, ""},
    {"connecting", OWNER_CLOSE_WINDOW, CONN_IDLE, "release:COM5 hook:exit destroy"},
    {"connecting", OWNER_SESSION_END, CONN_IDLE,
     "kill:265 kill:264 clear-queue release:COM5 hook:link-down hook:exit menu redraw"},
    // connecting with its worker started
    {"connecting-run", OWNER_CLOSE_COMMAND, CONN_ENDING, STOP},
    {"connecting-run", OWNER_WORKER_START_FAILED, CONN_IDLE,
     "kill:265 kill:264 clear-queue release:COM5 menu redraw hook:ended box"},
    {"connecting-run", OWNER_WORKER_CONNECTED, CONN_CONNECTED, "menu redraw identify set:265/100"},
    {"connecting-run", OWNER_WORKER_CONNECT_FAILED, CONN_ENDING, STOP},
    {"connecting-run", OWNER_WORKER_LINK_ERROR, CONN_CONNECTING, ""},
    {"connecting-run", OWNER_PRODUCT_CONFIG, CONN_CONNECTING, ""},
    {"connecting-run", OWNER_WORKER_ENDED, CONN_IDLE,
     "kill:265 kill:264 hook:link-down clear-queue release:COM5 menu redraw hook:ended"},
    {"connecting-run", OWNER_CLOSE_WINDOW, CONN_ENDING, STOP},
    {"connecting-run", OWNER_SESSION_END, CONN_IDLE,
     "kill:265 kill:264 stop wait clear-queue release:COM5 hook:link-down hook:exit menu redraw"},
    // connected
    {"connected", OWNER_OPEN_COMMAND, CONN_CONNECTED, ""},
    {"connected", OWNER_PORT_CHOSEN, CONN_CONNECTED, ""},
    {"connected", OWNER_CLOSE_COMMAND, CONN_ENDING, STOP},
    {"connected", OWNER_SIMULATE_COMMAND, CONN_ENDING, STOP},
    {"connected", OWNER_START_WORKER, CONN_CONNECTED, ""},
    {"connected", OWNER_WORKER_CONNECTED, CONN_CONNECTED, ""},
    {"connected", OWNER_WORKER_CONNECT_FAILED, CONN_CONNECTED, ""},
    {"connected", OWNER_WORKER_LINK_ERROR, CONN_ENDING, STOP},
    {"connected", OWNER_PRODUCT_CONFIG, CONN_CONNECTED, "hook:link-up"},
    {"connected", OWNER_POLL_ANSWERED, CONN_CONNECTED, ""},
    {"connected", OWNER_WORKER_ENDED, CONN_IDLE,
     "kill:265 kill:264 hook:link-down clear-queue release:COM5 menu redraw hook:ended"},
    {"connected", OWNER_POLL_TIMER, CONN_CONNECTED, "poll:state"},
    {"connected", OWNER_CLOCK_TICK, CONN_CONNECTED, ""},
    {"connected", OWNER_GRAPH_OPENED, CONN_CONNECTED, "set:264/50"},
    {"connected", OWNER_GRAPH_CLOSED, CONN_CONNECTED, "kill:264"},
    {"connected", OWNER_CLOSE_WINDOW, CONN_ENDING, STOP},
    {"connected", OWNER_SESSION_END, CONN_IDLE,
     "kill:265 kill:264 stop wait clear-queue release:COM5 hook:link-down hook:exit menu redraw"},
    // reconnecting, its worker started
    {"reconnecting", OWNER_CLOSE_COMMAND, CONN_ENDING, STOP},
    {"reconnecting", OWNER_SIMULATE_COMMAND, CONN_ENDING, STOP},
    {"reconnecting", OWNER_WORKER_CONNECTED, CONN_CONNECTED, "menu redraw identify set:265/100"},
    {"reconnecting", OWNER_WORKER_CONNECT_FAILED, CONN_ENDING, STOP},
    {"reconnecting", OWNER_WORKER_LINK_ERROR, CONN_RECONNECTING, ""},
    {"reconnecting", OWNER_POLL_TIMER, CONN_RECONNECTING, ""},
    // simulating
    {"simulating", OWNER_OPEN_COMMAND, CONN_SIMULATING, "dialog"},
    {"simulating", OWNER_PORT_CHOSEN, CONN_ENDING,
     "hold:COM5 stop kill:265 kill:264 hook:link-down menu redraw set:273/100"},
    {"simulating", OWNER_CLOSE_COMMAND, CONN_ENDING, STOP},
    {"simulating", OWNER_SIMULATE_COMMAND, CONN_SIMULATING, ""},
    {"simulating", OWNER_WORKER_CONNECTED, CONN_SIMULATING, ""},
    {"simulating", OWNER_WORKER_LINK_ERROR, CONN_SIMULATING, ""},
    {"simulating", OWNER_PRODUCT_CONFIG, CONN_SIMULATING, "hook:link-up"},
    {"simulating", OWNER_POLL_TIMER, CONN_SIMULATING, "poll:state"},
    {"simulating", OWNER_WORKER_ENDED, CONN_IDLE,
     "kill:265 kill:264 hook:link-down clear-queue menu redraw hook:ended"},
    {"simulating", OWNER_CLOSE_WINDOW, CONN_ENDING, STOP},
    // ending (Close of a connection): only the end report and the clock move it on...
    // ... except an Open, which becomes what comes after the Close
    {"ending", OWNER_OPEN_COMMAND, CONN_ENDING, "dialog"},
    {"ending", OWNER_PORT_CHOSEN, CONN_ENDING, "hold:COM5"},
    {"ending", OWNER_CLOSE_COMMAND, CONN_ENDING, ""},
    {"ending", OWNER_SIMULATE_COMMAND, CONN_ENDING, ""},
    {"ending", OWNER_START_WORKER, CONN_ENDING, ""},
    {"ending", OWNER_WORKER_CONNECTED, CONN_ENDING, ""},
    {"ending", OWNER_WORKER_LINK_ERROR, CONN_ENDING, ""},
    {"ending", OWNER_PRODUCT_CONFIG, CONN_ENDING, ""},
    {"ending", OWNER_POLL_ANSWERED, CONN_ENDING, ""},
    {"ending", OWNER_POLL_TIMER, CONN_ENDING, ""},
    {"ending", OWNER_WORKER_ENDED, CONN_IDLE,
     "clear-queue release:COM5 menu redraw hook:ended kill:273"},
    {"ending", OWNER_CLOCK_TICK, CONN_ENDING, ""},
    {"ending", OWNER_CLOSE_WINDOW, CONN_ENDING, "menu redraw"},
    {"ending", OWNER_SESSION_END, CONN_IDLE,
     "kill:265 kill:264 stop wait clear-queue release:COM5 hook:link-down hook:exit menu redraw "
     "kill:273"},
    // waiting for the stuck worker on COM5, with COM6 chosen
    {"waiting", OWNER_OPEN_COMMAND, CONN_WAITING, ""},
    {"waiting", OWNER_CLOSE_COMMAND, CONN_IDLE, "release:COM6 menu redraw hook:ended kill:273"},
    {"waiting", OWNER_SIMULATE_COMMAND, CONN_SIMULATING,
     "release:COM6 start:FAKE/sim sim-setup identify/sim menu redraw set:265/100 hook:ended "
     "kill:273"},
    {"waiting", OWNER_START_WORKER, CONN_WAITING, ""},
    {"waiting", OWNER_WORKER_CONNECTED, CONN_WAITING, ""},
    {"waiting", OWNER_POLL_TIMER, CONN_WAITING, ""},
    {"waiting", OWNER_WORKER_ENDED, CONN_CONNECTING,
     "release:COM5 post-start menu redraw kill:273"},
    {"waiting", OWNER_CLOCK_TICK, CONN_WAITING, ""},
    {"waiting", OWNER_CLOSE_WINDOW, CONN_IDLE, "cancel"},
    {"waiting", OWNER_SESSION_END, CONN_IDLE,
     "kill:265 kill:264 wait clear-queue release:COM6 release:COM5 hook:link-down hook:exit menu "
     "redraw kill:273"},
};

TEST(ConnectionOwnerTest, EveryEventInEveryState) {
    for (const PairCase& c : PAIRS) {
        Driver d;
        EnterState(&d, c.from);
        const char* port = c.event == OWNER_PORT_CHOSEN ? "COM5" : "";
        OwnerEvent event = MakeOwnerEvent(c.event, d.now);
        event.Token = TokenFor(d, c.event);
        event.Valid = 1;
        snprintf(event.Port, sizeof event.Port, "%s", port);
        d.Handle(event);
        EXPECT_STREQ(ConnectionStateName(d.owner.State), ConnectionStateName(c.to))
            << c.from << " + " << OwnerEventName(c.event);
        EXPECT_EQ(d.Actions(), c.actions) << c.from << " + " << OwnerEventName(c.event);
    }
}

// ---------------------------------------------------------------------------------------
// A worker that does not end when told to.

TEST(ConnectionOwnerTest, StuckWorkerKeepsItsPortAndAnOpenWaitsForIt) {
    Driver d;
    d.Connected();
    uint64_t first = d.owner.Run.Token;
    d.now = 10.0;
    d.Fire(OWNER_CLOSE_COMMAND);
    EXPECT_EQ(d.Tick(10.5), 0);
    d.Tick(10.6);
    EXPECT_EQ(d.Actions(), "cancel");
    EXPECT_EQ(Find(d.last, ACT_CANCEL_WORKER_IO)->Token, first);
    // Given up on: the Close completes, but COM5 stays locked for the worker that still has it.
    d.Tick(11.0);
    EXPECT_EQ(d.owner.State, CONN_IDLE);
    EXPECT_EQ(d.Actions(), "clear-queue menu redraw hook:ended kill:273");
    EXPECT_EQ(d.owner.Stuck.Token, first);

    // An Open of another port waits: no worker starts while the stuck one may still read.
    d.Fire(OWNER_PORT_CHOSEN, 0, "COM6");
    EXPECT_EQ(d.owner.State, CONN_WAITING);
    EXPECT_TRUE(OwnerWaitingForPrevious(&d.owner));
    EXPECT_EQ(d.Actions(), "hold:COM6 menu redraw hook:ended set:273/100");
    EXPECT_EQ(d.Tick(15.9), 0);
    // Its end report frees COM5 and the Open goes on.
    d.now = 12.0;
    EXPECT_EQ(d.Fire(OWNER_WORKER_ENDED, first), 1);
    EXPECT_EQ(d.Actions(), "release:COM5 post-start menu redraw kill:273");
    EXPECT_EQ(d.owner.State, CONN_CONNECTING);
    d.Start();
    EXPECT_EQ(d.Actions(), "start:COM6");
    EXPECT_NE(d.owner.Run.Token, first);
}

TEST(ConnectionOwnerTest, AnOpenGivesUpAfterFiveSecondsAndTheStuckPortStaysLocked) {
    Driver d;
    d.Ending();
    d.Tick(d.now + STOP_GIVE_UP_SECONDS);
    uint64_t stuck = d.owner.Stuck.Token;
    d.now = 200.0;
    d.Fire(OWNER_PORT_CHOSEN, 0, "COM6");
    EXPECT_EQ(d.Tick(200.0 + STUCK_OPEN_WAIT_SECONDS - 0.1), 0);
    d.Tick(200.0 + STUCK_OPEN_WAIT_SECONDS);
    EXPECT_EQ(d.owner.State, CONN_IDLE);
    EXPECT_EQ(d.Actions(), "release:COM6 menu redraw hook:ended box kill:273");
    EXPECT_NE(strstr(Find(d.last, ACT_SHOW_BOX)->Text, "previous connection on COM5 has not ended"),
              nullptr);
    // The same port chosen again waits as well, and its lock is not given up while the stuck
    // worker has it.
    d.Fire(OWNER_PORT_CHOSEN, 0, "com5");
    EXPECT_EQ(d.owner.State, CONN_WAITING);
    d.Fire(OWNER_CLOSE_COMMAND);
    EXPECT_EQ(d.Actions(), "menu redraw hook:ended kill:273");
    d.Fire(OWNER_WORKER_ENDED, stuck);
    EXPECT_EQ(d.Actions(), "release:COM5");
}

TEST(ConnectionOwnerTest, ExitCancelsAStuckWorkerAgainAndWaitsThreeSecondsMore) {
    Driver d;
    d.Ending();
    double stop = d.now;
    d.Tick(stop + STOP_CANCEL_SECONDS);
    d.Tick(stop + STOP_GIVE_UP_SECONDS);
    uint64_t stuck = d.owner.Stuck.Token;
    d.now = 50.0;
    d.Fire(OWNER_CLOSE_WINDOW);
    EXPECT_EQ(d.Actions(), "cancel set:273/100");
    EXPECT_EQ(Find(d.last, ACT_CANCEL_WORKER_IO)->Token, stuck);
    EXPECT_EQ(d.Tick(50.0 + STUCK_EXIT_WAIT_SECONDS - 0.1), 0);
    d.Tick(50.0 + STUCK_EXIT_WAIT_SECONDS);
    EXPECT_EQ(d.Actions(), "hook:exit destroy kill:273");
    // Nothing happens after the window has gone.
    EXPECT_EQ(d.Fire(OWNER_WORKER_ENDED, stuck), 0);
    EXPECT_EQ(d.Fire(OWNER_CLOSE_WINDOW), 0);

    // A stuck worker that ends within the wait lets the window go at once.
    Driver e;
    e.Ending();
    e.Tick(e.now + STOP_GIVE_UP_SECONDS);
    e.Fire(OWNER_CLOSE_WINDOW);
    e.Fire(OWNER_WORKER_ENDED, e.owner.Stuck.Token);
    EXPECT_EQ(e.Actions(), "release:COM5 hook:exit destroy kill:273");
}

TEST(ConnectionOwnerTest, ExitWhileAStopRunsBecomesStuckThenWaits) {
    Driver d;
    d.Connected();
    d.Fire(OWNER_CLOSE_WINDOW);
    EXPECT_EQ(d.owner.State, CONN_ENDING);
    // The window does not wait for the stop: the exit goes on once the end report comes...
    d.Report(OWNER_WORKER_ENDED);
    EXPECT_EQ(d.Actions(), "clear-queue release:COM5 hook:exit destroy kill:273");

    // ... or, when the worker is stuck, once it ends or three seconds after the second cancel.
    Driver e;
    e.Connected();
    e.now = 0.0;
    e.Fire(OWNER_CLOSE_WINDOW);
    e.Tick(STOP_CANCEL_SECONDS);
    EXPECT_EQ(e.Actions(), "cancel");
    e.Tick(STOP_GIVE_UP_SECONDS);
    EXPECT_EQ(e.Actions(), "clear-queue cancel");
    e.Tick(STOP_GIVE_UP_SECONDS + STUCK_EXIT_WAIT_SECONDS);
    EXPECT_EQ(e.Actions(), "hook:exit destroy kill:273");
}

TEST(ConnectionOwnerTest, SessionEndIsTheOnlyWaitAndStartsNothingAfter) {
    Driver d;
    d.Ending();
    d.Tick(d.now + STOP_GIVE_UP_SECONDS);
    d.Fire(OWNER_SIMULATE_COMMAND);
    uint64_t simulation = d.owner.Run.Token;
    d.Fire(OWNER_SESSION_END);
    EXPECT_EQ(d.Actions(), "kill:265 kill:264 stop wait clear-queue release:COM5 hook:link-down "
                           "hook:exit menu redraw");
    EXPECT_EQ(Find(d.last, ACT_STOP_WORKER)->Token, simulation);
    EXPECT_DOUBLE_EQ(Find(d.last, ACT_WAIT_FOR_WORKERS)->Seconds, SESSION_END_WAIT_SECONDS);
    OwnerMenuRules menu;
    OwnerMenu(&d.owner, &menu);
    EXPECT_EQ(menu.Open + menu.Close + menu.Simulate, 0);
    for (OwnerEventKind kind : {OWNER_OPEN_COMMAND, OWNER_SIMULATE_COMMAND, OWNER_CLOSE_COMMAND,
                                OWNER_CLOCK_TICK, OWNER_SESSION_END}) {
        EXPECT_EQ(d.Fire(kind), 0) << OwnerEventName(kind);
        EXPECT_EQ(d.last.Count, 0);
    }
    EXPECT_EQ(d.Fire(OWNER_PORT_CHOSEN, 0, "COM6"), 0);
    // The window's close after it just lets the window go.
    d.Fire(OWNER_CLOSE_WINDOW);
    EXPECT_EQ(d.Actions(), "destroy");
}

// ---------------------------------------------------------------------------------------
// Reports only from our own worker, and only in the state that waits for them.

TEST(ConnectionOwnerTest, ForgedAndLateReportsAreIgnored) {
    Driver d;
    d.Connecting();
    uint64_t pending = d.owner.PendingStart;
    EXPECT_EQ(d.Fire(OWNER_START_WORKER, pending + 1), 0);
    EXPECT_EQ(d.Fire(OWNER_START_WORKER, 0), 0);
    d.Start();
    uint64_t run = d.owner.Run.Token;
    // Another program posting our messages with a guessed token moves nothing.
    for (OwnerEventKind kind : {OWNER_WORKER_CONNECTED, OWNER_WORKER_CONNECT_FAILED,
                                OWNER_WORKER_ENDED, OWNER_WORKER_START_FAILED}) {
        EXPECT_EQ(d.Fire(kind, run + 1), 0) << OwnerEventName(kind);
        EXPECT_EQ(d.last.Count, 0);
        EXPECT_EQ(d.owner.State, CONN_CONNECTING);
    }
    // Not yet connected: an identification or a record is not taken, even with the token.
    OwnerEvent config = MakeOwnerEvent(OWNER_PRODUCT_CONFIG, d.now);
    config.Token = run;
    config.Valid = 1;
    config.IsController = 1;
    EXPECT_EQ(d.Handle(config), 0);
    EXPECT_FALSE(OwnerControllerIdentified(&d.owner));
    EXPECT_FALSE(OwnerTakesReplies(&d.owner, run));

    d.Report(OWNER_WORKER_CONNECTED);
    EXPECT_TRUE(OwnerTakesReplies(&d.owner, run));
    EXPECT_FALSE(OwnerTakesReplies(&d.owner, run + 1));
    config.Token = run + 1;
    EXPECT_EQ(d.Handle(config), 0);
    EXPECT_EQ(d.Fire(OWNER_WORKER_LINK_ERROR, run + 1), 0);
    EXPECT_EQ(d.owner.State, CONN_CONNECTED);
    // A state record that nobody asked for does not reopen the poll gate.
    OwnerEvent answer = MakeOwnerEvent(OWNER_POLL_ANSWERED, d.now);
    answer.Token = run;
    answer.Poll = POLL_STATE;
    d.Fire(OWNER_POLL_TIMER);
    EXPECT_EQ(d.Actions(), "poll:state");
    answer.Token = run + 1;
    EXPECT_EQ(d.Handle(answer), 0);
    EXPECT_EQ(d.Fire(OWNER_POLL_TIMER), 0);
    answer.Token = run;
    EXPECT_EQ(d.Handle(answer), 1);
    EXPECT_EQ(d.Handle(answer), 0);
    EXPECT_EQ(d.Fire(OWNER_POLL_TIMER), 1);

    // The identification is taken once, from this run.
    config.Token = run;
    EXPECT_EQ(d.Handle(config), 1);
    EXPECT_TRUE(OwnerControllerIdentified(&d.owner));
    EXPECT_EQ(d.Handle(config), 0);

    // A stopped run's late reports change nothing.
    d.Fire(OWNER_CLOSE_COMMAND);
    EXPECT_FALSE(OwnerTakesReplies(&d.owner, run));
    EXPECT_FALSE(OwnerControllerIdentified(&d.owner));
    EXPECT_EQ(d.Fire(OWNER_WORKER_LINK_ERROR, run), 0);
    EXPECT_EQ(d.Fire(OWNER_WORKER_CONNECTED, run), 0);
}

uint64_t ZeroThenRepeats(void* context) {
    int* calls = static_cast<int*>(context);
    ++*calls;
    return *calls < 3 ? 0 : 7;
}

TEST(ConnectionOwnerTest, TokensComeFromTheSourceAndAreNeverZeroOrInUse) {
    Driver d;
    d.Simulating();
    EXPECT_EQ(d.owner.Run.Token, 0x100u);
    d.Fire(OWNER_CLOSE_COMMAND);
    d.Report(OWNER_WORKER_ENDED);
    d.Fire(OWNER_PORT_CHOSEN, 0, "COM5");
    EXPECT_EQ(d.owner.PendingStart, 0x101u);

    // A source that gives 0 and then one value over and over still gives distinct runs.
    ConnectionOwnerRec owner;
    int calls = 0;
    InitConnectionOwner(&owner, ZeroThenRepeats, &calls);
    OwnerActionList actions;
    OwnerEvent simulate = MakeOwnerEvent(OWNER_SIMULATE_COMMAND, 0.0);
    OwnerHandleEvent(&owner, &simulate, &actions);
    uint64_t first = owner.Run.Token;
    EXPECT_EQ(first, 7u);
    OwnerEvent close = MakeOwnerEvent(OWNER_CLOSE_COMMAND, 0.0);
    OwnerHandleEvent(&owner, &close, &actions);
    OwnerEvent tick = MakeOwnerEvent(OWNER_CLOCK_TICK, STOP_GIVE_UP_SECONDS);
    OwnerHandleEvent(&owner, &tick, &actions);
    ASSERT_EQ(owner.Stuck.Token, first);
    OwnerHandleEvent(&owner, &simulate, &actions);
    EXPECT_NE(owner.Run.Token, 0u);
    EXPECT_NE(owner.Run.Token, first);
}

// ---------------------------------------------------------------------------------------
// The menu, the dialog and the fault counter.

TEST(ConnectionOwnerTest, MenuRulesPerState) {
    struct Case {
        const char* from;
        int open, close, simulate;
    } cases[] = {
        {"idle", 1, 0, 1},         {"connecting", 0, 1, 1}, {"connected", 0, 1, 0},
        {"reconnecting", 0, 1, 1}, {"simulating", 1, 1, 0}, {"ending", 1, 0, 0},
        {"waiting", 0, 1, 1},
    };
    for (const Case& c : cases) {
        Driver d;
        EnterState(&d, c.from);
        OwnerMenuRules menu;
        OwnerMenu(&d.owner, &menu);
        // Open stays enabled while simulating: opening a port leaves the simulation.
        EXPECT_EQ(menu.Open, c.open) << c.from;
        EXPECT_EQ(menu.Close, c.close) << c.from;
        EXPECT_EQ(menu.Simulate, c.simulate) << c.from;
    }
    // While the port dialog shows, nothing else may be chosen.
    Driver d;
    d.Fire(OWNER_OPEN_COMMAND);
    OwnerMenuRules menu;
    OwnerMenu(&d.owner, &menu);
    EXPECT_EQ(menu.Open + menu.Close + menu.Simulate, 0);
    EXPECT_EQ(d.Fire(OWNER_SIMULATE_COMMAND), 0);
    EXPECT_EQ(d.Fire(OWNER_OPEN_COMMAND), 0);
}

TEST(ConnectionOwnerTest, QuitDuringThePortDialogEndsItAndGivesUpTheChosenPort) {
    Driver d;
    d.Fire(OWNER_OPEN_COMMAND);
    d.Fire(OWNER_CLOSE_WINDOW);
    EXPECT_EQ(d.Actions(), "cancel-dialogs");
    // The dialog's loop may still deliver the choice; the quit wins over it.
    d.Fire(OWNER_PORT_CHOSEN, 0, "COM7");
    EXPECT_EQ(d.Actions(), "release:COM7 hook:exit destroy");

    Driver e;
    e.Simulating();
    e.Fire(OWNER_OPEN_COMMAND);
    e.Fire(OWNER_CLOSE_WINDOW);
    e.Fire(OWNER_PORT_DIALOG_CANCELLED);
    EXPECT_EQ(e.owner.State, CONN_ENDING);
    e.Report(OWNER_WORKER_ENDED);
    EXPECT_EQ(e.Actions(), "clear-queue hook:exit destroy kill:273");
}

TEST(ConnectionOwnerTest, QuickFaultsReconnectThreeTimesThenTheDialogSaysWhy) {
    Driver d;
    d.now = 0.0;
    d.Connected();
    for (int fault = 0; fault < QUICK_FAULT_LIMIT; fault++) {
        d.now += 1.0;
        OwnerEvent error = MakeOwnerEvent(OWNER_WORKER_LINK_ERROR, d.now);
        error.Token = d.owner.Run.Token;
        error.ErrorBits = 0x1;
        d.Handle(error);
        EXPECT_EQ(d.owner.After, AFTER_RECONNECT);
        d.Report(OWNER_WORKER_ENDED);
        EXPECT_EQ(d.owner.State, CONN_RECONNECTING);
        EXPECT_EQ(d.Actions(), "clear-queue post-start menu redraw to-top kill:273");
        d.Start();
        EXPECT_EQ(d.Actions(), "start:COM5/ride");
        d.Report(OWNER_WORKER_CONNECTED);
    }
    d.now += 1.0;
    OwnerEvent error = MakeOwnerEvent(OWNER_WORKER_LINK_ERROR, d.now);
    error.Token = d.owner.Run.Token;
    error.ErrorBits = 0x2;
    d.Handle(error);
    EXPECT_EQ(d.owner.ShownErrors, 0x2u);
    d.Report(OWNER_WORKER_ENDED);
    EXPECT_EQ(d.owner.State, CONN_IDLE);
    EXPECT_EQ(d.Actions(), "clear-queue release:COM5 menu redraw hook:ended post-open kill:273");
    EXPECT_STREQ(Find(d.last, ACT_POST_OPEN)->Text,
                 "The link to COM5 kept failing (bad replies): 4 connections in a row failed "
                 "within 10 s. Check the board and its cable, then choose the port again.");
}

TEST(ConnectionOwnerTest, ACloseOrSimulateQueuedBehindALinkErrorWins) {
    Driver d;
    d.now = 0.0;
    d.Connected();
    d.now = 30.0;
    d.Report(OWNER_WORKER_LINK_ERROR);
    EXPECT_EQ(d.Fire(OWNER_CLOSE_COMMAND), 1);
    d.Report(OWNER_WORKER_ENDED);
    EXPECT_EQ(d.owner.State, CONN_IDLE);
    EXPECT_EQ(d.owner.PendingStart, 0u);

    Driver e;
    e.now = 0.0;
    e.Connected();
    e.now = 30.0;
    e.Report(OWNER_WORKER_LINK_ERROR);
    e.Fire(OWNER_SIMULATE_COMMAND);
    e.Report(OWNER_WORKER_ENDED);
    EXPECT_EQ(e.owner.State, CONN_SIMULATING);
    EXPECT_EQ(
        e.Actions(),
        "clear-queue release:COM5 start:FAKE/sim sim-setup identify/sim menu redraw set:265/100 "
        "hook:ended kill:273");
}

TEST(ConnectionOwnerTest, FlowTimerRunsOnlyWhileTheGraphIsOpenAndTheLinkPolls) {
    Driver d;
    d.Fire(OWNER_GRAPH_OPENED);
    EXPECT_EQ(d.Actions(), "");
    d.Connecting();
    d.Start();
    d.Report(OWNER_WORKER_CONNECTED);
    EXPECT_EQ(d.Actions(), "menu redraw identify set:265/100 set:264/50");
    OwnerEvent flow = MakeOwnerEvent(OWNER_POLL_TIMER, d.now);
    flow.Poll = POLL_FLOW;
    d.Handle(flow);
    EXPECT_EQ(d.Actions(), "poll:flow");
    d.Handle(flow);
    EXPECT_EQ(d.Actions(), "");
}

} // namespace
