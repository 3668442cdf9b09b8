#include "app/ConnectionState.h"

const char* ConnectionStateName(ConnectionState state) {
    switch (state) {
    case CONN_IDLE:
        return "idle";
    case CONN_CONNECTING:
        return "connecting";
    case CONN_CONNECTED:
        return "connected";
    case CONN_RECONNECTING:
        return "reconnecting";
    case CONN_SIMULATING:
        return "simulating";
    case CONN_ENDING:
        return "ending";
    }
    return "?";
}

void ResetReconnectHistory(ReconnectHistoryRec* history) {
    history->Count = 0;
}

int MayReconnect(ReconnectHistoryRec* history, double now) {
    // Forget the reconnections that left the window.
    int kept = 0;
    for (int i = 0; i < history->Count; i++) {
        if (now - history->Times[i] < RECONNECT_WINDOW_SECONDS) {
            history->Times[kept++] = history->Times[i];
        }
    }
    history->Count = kept;
    if (history->Count >= RECONNECT_LIMIT) {
        return 0;
    }
    history->Times[history->Count++] = now;
    return 1;
}

int ConnectionAllowsOpen(ConnectionState state) {
    // While a worker looks for or talks to a board, that worker owns the port name; its attempt
    // ends connected or by reopening the port dialog itself.
    return state == CONN_IDLE || state == CONN_SIMULATING;
}

int ConnectionAllowsClose(ConnectionState state) {
    return state == CONN_CONNECTING || state == CONN_CONNECTED || state == CONN_RECONNECTING ||
           state == CONN_SIMULATING;
}

int ConnectionAllowsSimulate(ConnectionState state) {
    return state != CONN_SIMULATING && state != CONN_ENDING;
}

ConnectionState ConnectionAfterReport(ConnectionState state, ConnectionReport report,
                                      int reconnectAllowed) {
    switch (report) {
    case REPORT_CONNECTED:
        if (state == CONN_CONNECTING || state == CONN_RECONNECTING) {
            return CONN_CONNECTED;
        }
        return state;
    case REPORT_CONNECT_FAILED:
        if (state == CONN_CONNECTING || state == CONN_RECONNECTING) {
            return CONN_IDLE;
        }
        return state;
    case REPORT_LINK_ERROR:
        if (state == CONN_CONNECTED) {
            return reconnectAllowed ? CONN_RECONNECTING : CONN_IDLE;
        }
        return state;
    }
    return state;
}

int ConnectionPolls(ConnectionState state) {
    return state == CONN_CONNECTED || state == CONN_SIMULATING;
}

int PollGateTake(PollGateRec* gate, PollKind kind) {
    int* inFlight = kind == POLL_STATE ? &gate->StateInFlight : &gate->FlowInFlight;
    if (*inFlight) {
        return 0;
    }
    *inFlight = 1;
    return 1;
}

void PollGateAnswered(PollGateRec* gate, PollKind kind) {
    if (kind == POLL_STATE) {
        gate->StateInFlight = 0;
    } else {
        gate->FlowInFlight = 0;
    }
}

void PollGateReset(PollGateRec* gate) {
    gate->StateInFlight = 0;
    gate->FlowInFlight = 0;
}
