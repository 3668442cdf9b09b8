// What one chaos run recorded: the program's outputs as the simulation saw them (the owner's
// actions, worker runs, port opens, command lines, values, log lines, identification, waits)
// and each board's own record (what it heard, its speed and line ending over time, its values).
// The checker reads nothing else, so a trace written by hand tests the checker alone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum ChaosTraceKind {
    // The program.
    TR_ACTION = 0,        // the owner emitted action Text (Token: its run, if any)
    TR_OPERATOR,          // the simulation delivered schedule event Text
    TR_WORKER_START,      // run Token started on Port; A: 1 a reconnection after a failure; B: 1
                          // with ride-through
    TR_WORKER_UP,         // run Token has its link (connected or simulating)
    TR_WORKER_FAILED,     // run Token could not connect
    TR_WORKER_LINK_ERROR, // run Token lost its link
    TR_WORKER_END,        // run Token's worker has ended (after its restore)
    TR_PORT_OPEN,         // Port opened by run Token
    TR_PORT_CLOSE,        // Port closed by run Token
    TR_PORT_REFUSED,      // an open of Port by run Token refused; A: 1 it was already open
    TR_LINE_QUEUED,       // command line A (an id) with Text entered the command window
    TR_LINE_SENT,         // line A went to the board of Port by run Token
    TR_LINE_NOT_SENT,     // line A reported not sent
    TR_VALUE_CHOSEN,      // the operator chose value V of term A (CHAOS_VALUE_...)
    TR_VALUE_SENT,        // V of term A enqueued for the board of Port by run Token
    TR_VALUE_NOT_SENT,    // the value of term A reported not sent
    TR_RECORD_READ,       // state record A read by run Token
    TR_LOG_START,
    TR_LOG_STOP,
    TR_LOG_LINE,     // log line Text written from record A
    TR_IDENTIFIED,   // run Token identified the board of Port: A 1 controller, 0 meter, -1 none
    TR_WAIT,         // the handler of event Text waited V seconds on the worker
    TR_END,          // an end of kind Text of run Token on Port is complete; A: 1 the board
                     // could be reached
    TR_SESSION_OVER, // the process has ended
    // The boards.
    TR_BOARD_OWN,     // Port's board starts at its own speed A and line ending B
    TR_BOARD_SETTING, // Port's board now talks at speed A with line ending B
    TR_BOARD_HEARD,   // Port's board heard command Text; A: 1 at its speed, 0 as noise
    TR_BOARD_LOST,    // the reply to command Text from Port's board never reached the program
    TR_BOARD_VALUE,   // Port's board now holds V for term A
    TR_BOARD_POWER,   // Port's board restarted (its RAM values are gone)
    TR_KIND_COUNT
};

// The values an operator chooses.
enum { CHAOS_VALUE_SETPOINT = 0, CHAOS_VALUE_P, CHAOS_VALUE_I, CHAOS_VALUE_D, CHAOS_VALUES };

// Line endings as the board's S65 names them.
enum { CHAOS_LE_CR = 0x0D, CHAOS_LE_CRLF = 0x0D0A };

struct ChaosTraceEntry {
    double T; // seconds of simulated time
    ChaosTraceKind Kind;
    int Port;       // board / port index, -1 none
    uint32_t Token; // worker run, 0 none
    long A;
    long B;
    double V;
    std::string Text;
};

struct ChaosTrace {
    std::vector<ChaosTraceEntry> Entries;
};

const char* ChaosTraceKindName(ChaosTraceKind kind);
const char* ChaosValueName(long term);

void ChaosTraceAdd(ChaosTrace* trace, double t, ChaosTraceKind kind, int port = -1,
                   uint32_t token = 0, long a = 0, long b = 0, double v = 0.0,
                   const std::string& text = "");

// One entry as a line, e.g. "12.345 port-open port=A token=7".
std::string ChaosFormatTraceEntry(const ChaosTraceEntry& entry);
std::string ChaosFormatTrace(const ChaosTrace& trace);
