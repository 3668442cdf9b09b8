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
    case CONN_WAITING:
        return "waiting";
    }
    return "?";
}

void ResetFaultCounter(FaultCounterRec* counter) {
    counter->RunStart = 0.0;
    counter->QuickFaults = 0;
}

void FaultCounterRunStarted(FaultCounterRec* counter, double now) {
    counter->RunStart = now;
}

int FaultCounterMayReconnect(FaultCounterRec* counter, double now) {
    if (now - counter->RunStart >= QUICK_FAULT_SECONDS) {
        // The link held: this is a fault of its own, not the last one coming back.
        counter->QuickFaults = 0;
        return 1;
    }
    counter->QuickFaults++;
    return counter->QuickFaults <= QUICK_FAULT_LIMIT;
}

double RideThroughWait(double start, double lastAttempt, double now) {
    double next = lastAttempt + RIDE_THROUGH_RETRY_SECONDS;
    if (next < now) {
        next = now;
    }
    if (next - start >= RIDE_THROUGH_SECONDS) {
        return -1.0;
    }
    return next - now;
}

int ConnectionAllowsOpen(ConnectionState state) {
    // While a worker looks for or talks to a board, that worker owns the port name; its attempt
    // ends connected or by reopening the port dialog itself.
    return state == CONN_IDLE || state == CONN_SIMULATING;
}

int ConnectionAllowsClose(ConnectionState state) {
    return state == CONN_CONNECTING || state == CONN_CONNECTED || state == CONN_RECONNECTING ||
           state == CONN_SIMULATING || state == CONN_WAITING;
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
