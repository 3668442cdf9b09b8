#include "app/LogGate.h"

void LogGateLinkDown(LogGateRec* gate) {
    gate->ReportRun = 0;
}

void LogGateStateReport(LogGateRec* gate, uint64_t run) {
    gate->ReportRun = run;
}

int LogGateMayWrite(const LogGateRec* gate, uint64_t currentRun, int linkUp) {
    // Runs are never 0, so a gate that has seen no report never matches a run.
    return linkUp && currentRun != 0 && gate->ReportRun == currentRun;
}
