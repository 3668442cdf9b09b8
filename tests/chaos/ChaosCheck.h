// The program's promises, checked over one run's trace. Each violation names its promise, the
// simulated time and the trace lines that show it.
#pragma once

#include <string>
#include <vector>

#include "tests/chaos/ChaosTrace.h"

enum ChaosInvariant {
    INV_BOARD_RESTORED = 1, // after every end with the board reachable it is at its own speed
                            // and line ending
    INV_ONE_OWNER = 2,      // at most one worker and one opener of a port at any time
    INV_LINES_VALUES = 3,   // lines sent or reported; resent only after a lost reply; the last
                            // values chosen are the board's or reported not sent
    INV_LOG_LINES = 4,      // log lines from records of the run going, whole, in time order
    INV_NO_WAIT = 5,        // no handler waits on the worker, but the session's end, bounded
    INV_GIVE_UP = 6,        // reconnections after failures stay within the give-up limit
    INV_IDENTIFIED = 7,     // nothing that needs a controller before identification said so
    INV_COUNT = 8
};

// The session's end may wait this long on the worker before the process goes.
constexpr double CHAOS_SESSION_END_WAIT_MAX = 5.0;
// A command line still waiting when the operator ends the session within this many seconds of
// typing it goes with the process; an older one should have been sent or reported.
constexpr double CHAOS_LINE_GRACE_SECONDS = 10.0;
// A value chosen this shortly before the operator ends the session goes with it.
constexpr double CHAOS_VALUE_GRACE_SECONDS = 2.0;
// A ride-through's attempts: all begin within its clock (plus one retry's slack).
constexpr double CHAOS_RIDE_THROUGH_SPAN = 11.0;

struct ChaosViolation {
    ChaosInvariant Invariant;
    double T;
    std::string Message; // what broke, with the evidence
};

const char* ChaosInvariantName(ChaosInvariant invariant);

// All violations of the trace, in the order of the invariants, then of time.
std::vector<ChaosViolation> ChaosCheckTrace(const ChaosTrace& trace);

// "invariant 3 (lines and values) at 12.345 s: ..."
std::string ChaosFormatViolation(const ChaosViolation& violation);

// 1 when the text is one whole log sample line: date, time, flow and the newline.
int ChaosLogLineWhole(const std::string& line, double* secondsOfDay);
