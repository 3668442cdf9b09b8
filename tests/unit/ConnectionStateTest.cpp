// The connection's rules as tables: which requests each state allows, where each worker report
// leads, when reconnecting stops, the ride-through's clock, and that a poll kind is never asked
// for twice at once.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/ConnectionState.h"

TEST(ConnectionState, RequestsEachStateAllows) {
    const struct {
        ConnectionState State;
        int Open, Close, Simulate, Polls;
    } cases[] = {
        {CONN_IDLE, 1, 0, 1, 0},       {CONN_CONNECTING, 0, 1, 1, 0},
        {CONN_CONNECTED, 0, 1, 1, 1},  {CONN_RECONNECTING, 0, 1, 1, 0},
        {CONN_SIMULATING, 1, 1, 0, 1}, {CONN_ENDING, 0, 0, 0, 0},
        {CONN_WAITING, 0, 1, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ConnectionStateName(c.State));
        EXPECT_EQ(ConnectionAllowsOpen(c.State), c.Open);
        EXPECT_EQ(ConnectionAllowsClose(c.State), c.Close);
        EXPECT_EQ(ConnectionAllowsSimulate(c.State), c.Simulate);
        EXPECT_EQ(ConnectionPolls(c.State), c.Polls);
    }
}

TEST(ConnectionState, WhereWorkerReportsLead) {
    const struct {
        ConnectionState From;
        ConnectionReport Report;
        int ReconnectAllowed;
        ConnectionState To;
    } cases[] = {
        {CONN_CONNECTING, REPORT_CONNECTED, 0, CONN_CONNECTED},
        {CONN_RECONNECTING, REPORT_CONNECTED, 0, CONN_CONNECTED},
        {CONN_CONNECTING, REPORT_CONNECT_FAILED, 0, CONN_IDLE},
        {CONN_RECONNECTING, REPORT_CONNECT_FAILED, 0, CONN_IDLE},
        {CONN_CONNECTED, REPORT_LINK_ERROR, 1, CONN_RECONNECTING},
        {CONN_CONNECTED, REPORT_LINK_ERROR, 0, CONN_IDLE},
        // Reports that mean nothing where they arrive change nothing: a late "connected" after
        // Close, a link error of the simulation or of a run that is already being replaced.
        {CONN_IDLE, REPORT_CONNECTED, 0, CONN_IDLE},
        {CONN_SIMULATING, REPORT_LINK_ERROR, 1, CONN_SIMULATING},
        {CONN_RECONNECTING, REPORT_LINK_ERROR, 1, CONN_RECONNECTING},
        {CONN_IDLE, REPORT_CONNECT_FAILED, 0, CONN_IDLE},
        {CONN_ENDING, REPORT_CONNECTED, 0, CONN_ENDING},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(ConnectionStateName(c.From)) + " report " +
                     std::to_string(c.Report));
        EXPECT_EQ(ConnectionAfterReport(c.From, c.Report, c.ReconnectAllowed), c.To);
    }
}

// Each case is a connection's history: the times (s) its runs got their link and failed. A run
// that fails within 10 s of its start counts, whatever records it delivered; three such runs in
// a row get their reconnection and the fourth ends the connection. A run that held 10 s or
// more starts the count afresh.
TEST(ConnectionState, RunsThatFailSoonAfterTheirStartEndTheConnection) {
    const struct {
        const char* Name;
        std::vector<std::pair<double, double>> Runs; // start, link error
        std::vector<int> Allowed;
    } cases[] = {
        {"four quick failures", {{0, 0.6}, {1, 1.5}, {2, 2.5}, {3, 3.4}}, {1, 1, 1, 0}},
        // The board answers its state for a few seconds, then the gas query fails: still quick.
        {"each run lasts 9.9 s", {{0, 9.9}, {10, 19.9}, {20, 29.9}, {30, 39.9}}, {1, 1, 1, 0}},
        {"each run lasts 10 s", {{0, 10}, {10, 20}, {20, 30}, {30, 40}, {40, 50}}, {1, 1, 1, 1, 1}},
        {"a run that held in between",
         {{0, 1}, {1, 2}, {2, 3}, {3, 20}, {20, 21}, {21, 22}},
         {1, 1, 1, 1, 1, 1}},
        {"held, then four quick",
         {{0, 30}, {31, 31.5}, {32, 32.5}, {33, 33.5}, {34, 34.5}},
         {1, 1, 1, 1, 0}},
        // A reconnection that rode through an outage for 8 s starts when it got its link.
        {"a long ride-through is not the run",
         {{0, 1}, {9, 12}, {12.5, 13}, {13.5, 14}},
         {1, 1, 1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        FaultCounterRec counter;
        ResetFaultCounter(&counter);
        for (size_t i = 0; i < c.Runs.size(); i++) {
            FaultCounterRunStarted(&counter, c.Runs[i].first);
            EXPECT_EQ(FaultCounterMayReconnect(&counter, c.Runs[i].second), c.Allowed[i])
                << "run " << i;
        }
    }
}

// The ride-through's clock: the next attempt begins a second after the last one began (at once
// when that took longer), and none begins 10 s or more after the first.
TEST(ConnectionState, RideThroughTriesAboutEverySecondForAboutTenSeconds) {
    const struct {
        double Start, LastAttempt, Now;
        double Wait; // < 0: the reconnection has failed
    } cases[] = {
        {0.0, 0.0, 0.01, 0.99},     // the port could not be opened: fails at once
        {0.0, 0.0, 1.4, 0.0},       // nine unanswered probes take longer than the second
        {100.0, 108.5, 108.6, 0.9}, // any start
        {0.0, 8.9, 9.0, 0.9},       // the last attempt begins at 9.9 s
        {0.0, 9.0, 9.2, -1.0},      // the next would begin at 10 s
        {0.0, 8.0, 10.0, -1.0},     // a slow attempt ran past the clock
        {0.0, 8.0, 9.99, 0.0},      // a slow attempt that ended just inside it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.Start << " " << c.LastAttempt << " " << c.Now);
        double wait = RideThroughWait(c.Start, c.LastAttempt, c.Now);
        if (c.Wait < 0)
            EXPECT_LT(wait, 0.0);
        else
            EXPECT_NEAR(wait, c.Wait, 1e-9);
    }
    // Attempts that each fail at once: ten, one a second.
    int attempts = 1;
    double now = 0.0;
    for (double wait; (wait = RideThroughWait(0.0, now, now + 0.25)) >= 0.0; now += 0.25 + wait)
        attempts++;
    EXPECT_EQ(attempts, 10);
}

TEST(ConnectionState, OnePollOfEachKindInFlight) {
    PollGateRec gate = {};
    EXPECT_EQ(PollGateTake(&gate, POLL_STATE), 1);
    EXPECT_EQ(PollGateTake(&gate, POLL_STATE), 0);
    // The other kind has its own slot.
    EXPECT_EQ(PollGateTake(&gate, POLL_FLOW), 1);
    EXPECT_EQ(PollGateTake(&gate, POLL_FLOW), 0);
    PollGateAnswered(&gate, POLL_STATE);
    EXPECT_EQ(PollGateTake(&gate, POLL_STATE), 1);
    EXPECT_EQ(PollGateTake(&gate, POLL_FLOW), 0);
    PollGateReset(&gate);
    EXPECT_EQ(PollGateTake(&gate, POLL_FLOW), 1);
    EXPECT_EQ(PollGateTake(&gate, POLL_STATE), 1);
}
