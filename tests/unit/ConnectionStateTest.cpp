// The connection's rules as tables: which requests each state allows, where each worker report
// leads, when reconnecting stops, and that a poll kind is never asked for twice at once.
#include <gtest/gtest.h>

#include <string>
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

// Three reconnections within 10 s are allowed; the fourth link error in that time ends the
// connection. Reconnections older than the window no longer count.
TEST(ConnectionState, ReconnectingStopsAfterThreeWithinTenSeconds) {
    const struct {
        const char* Name;
        std::vector<double> Errors;
        std::vector<int> Allowed;
    } cases[] = {
        {"three quick ones", {0.0, 0.5, 1.0}, {1, 1, 1}},
        {"the fourth within 10 s", {0.0, 0.5, 1.0, 9.9}, {1, 1, 1, 0}},
        {"the fourth after the first left the window", {0.0, 0.5, 1.0, 10.0}, {1, 1, 1, 1}},
        {"spread out for ever", {0, 4, 8, 12, 16, 20, 24}, {1, 1, 1, 1, 1, 1, 1}},
        {"a refused one does not count", {0, 1, 2, 3, 4, 10.5}, {1, 1, 1, 0, 0, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ReconnectHistoryRec history;
        ResetReconnectHistory(&history);
        for (size_t i = 0; i < c.Errors.size(); i++)
            EXPECT_EQ(MayReconnect(&history, c.Errors[i]), c.Allowed[i]) << "error " << i;
    }
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
