// Whether a tick of the flow log may write a line. A line holds the flow the readout shows,
// and that is the board's present flow only while the link is up and the worker run now going
// has reported a state: before that, the readout still holds what an earlier run read, from
// before a fault or from another board. The rule does not look at when or how the log was
// started, so a log started during an outage waits like one that ran into it.
#pragma once

#include <cstdint>

struct LogGateRec {
    uint64_t ReportRun; // the run whose state report the readout shows; 0: none since the link
};

// The link went down (the worker stopped): what the readout shows is from before it.
void LogGateLinkDown(LogGateRec* gate);
// A state report of run reached the readout.
void LogGateStateReport(LogGateRec* gate, uint64_t run);
// currentRun: the worker run going now (0 when none); linkUp: connected or simulating.
int LogGateMayWrite(const LogGateRec* gate, uint64_t currentRun, int linkUp);
