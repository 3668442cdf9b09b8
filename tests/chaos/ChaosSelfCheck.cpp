// Planted faults: each mutator writes one known break into a trace, in the place a real run
// would show it, so the checker is shown to see each kind of break and to pass the rest.
#include "tests/chaos/ChaosSelfCheck.h"

#include <cstdio>

#include "app/ConnectionState.h"

namespace {

typedef std::vector<ChaosTraceEntry> Entries;

ChaosTraceEntry Entry(double t, ChaosTraceKind kind, int port = -1, uint32_t token = 0, long a = 0,
                      long b = 0, double v = 0.0, const std::string& text = "") {
    return ChaosTraceEntry{t, kind, port, token, a, b, v, text};
}

int Find(const Entries& e, ChaosTraceKind kind, size_t from = 0) {
    for (size_t i = from; i < e.size(); i++) {
        if (e[i].Kind == kind)
            return (int)i;
    }
    return -1;
}

uint32_t UnusedToken(const Entries& e) {
    uint32_t top = 0;
    for (const ChaosTraceEntry& x : e)
        top = x.Token > top ? x.Token : top;
    return top + 1000;
}

// The index of the session's last entry, before which tail plants go.
size_t TailAt(const Entries& e) {
    int over = Find(e, TR_SESSION_OVER);
    return over >= 0 ? (size_t)over : e.size();
}

// The board is never put back: the setting that restored it before an end goes.
int MissingRestore(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    for (size_t i = 0; i < e.size(); i++) {
        // A run that a reconnection follows is no end of the connection: the next run takes
        // the board as it finds it.
        if (e[i].Kind != TR_END || e[i].A != 1 || e[i].Text == "reconnection")
            continue;
        long ownBaud = -1, ownLe = -1;
        int restore = -1, moved = 0;
        for (size_t k = 0; k < i; k++) {
            if (e[k].Port != e[i].Port)
                continue;
            if (e[k].Kind == TR_BOARD_OWN) {
                ownBaud = e[k].A;
                ownLe = e[k].B;
            } else if (e[k].Kind == TR_BOARD_SETTING) {
                if (e[k].A == ownBaud && e[k].B == ownLe && moved) {
                    restore = (int)k;
                } else if (e[k].A != ownBaud || e[k].B != ownLe) {
                    moved = 1;
                    restore = -1;
                }
            }
        }
        if (restore >= 0) {
            // Every setting that puts the board back goes, up to the next command it hears
            // after the end: an end may send the restore more than once (at two speeds).
            std::vector<size_t> back;
            for (size_t k = (size_t)restore; k < e.size(); k++) {
                if (e[k].Port != e[i].Port)
                    continue;
                if (k > i && e[k].Kind == TR_BOARD_HEARD)
                    break;
                if (e[k].Kind == TR_BOARD_SETTING && e[k].A == ownBaud && e[k].B == ownLe)
                    back.push_back(k);
            }
            for (size_t n = back.size(); n-- > 0;)
                e.erase(e.begin() + (long)back[n]);
            return 1;
        }
    }
    return 0;
}

// A second program run opens a port already open.
int TwoOpeners(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int open = Find(e, TR_PORT_OPEN);
    if (open < 0)
        return 0;
    ChaosTraceEntry twin = e[open];
    twin.Token = UnusedToken(e);
    e.insert(e.begin() + open + 1, twin);
    return 1;
}

// The port layer refuses a second opener: the program tried one.
int SecondOpenerRefused(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int open = Find(e, TR_PORT_OPEN);
    if (open < 0)
        return 0;
    e.insert(e.begin() + open + 1,
             Entry(e[open].T, TR_PORT_REFUSED, e[open].Port, UnusedToken(e), 1));
    return 1;
}

// A worker starts while the last has not ended.
int TwoWorkers(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int start = Find(e, TR_WORKER_START);
    if (start < 0)
        return 0;
    ChaosTraceEntry twin = e[start];
    twin.Token = UnusedToken(e);
    e.insert(e.begin() + start + 1, twin);
    return 1;
}

// A line goes out a second time though its reply came.
int LineSentTwice(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    for (size_t i = 0; i < e.size(); i++) {
        if (e[i].Kind != TR_LINE_SENT)
            continue;
        // The board heard the send and answered; the line goes out again right after.
        size_t heard = i + 1;
        while (heard < e.size() && !(e[heard].Kind == TR_BOARD_HEARD && e[heard].A == 1 &&
                                     e[heard].Port == e[i].Port && e[heard].Text == e[i].Text))
            heard++;
        if (heard >= e.size())
            continue;
        size_t at = heard + 1;
        while (at < e.size() && e[at].Kind == TR_BOARD_LOST)
            at++;
        ChaosTraceEntry again = e[i];
        again.T = e[heard].T + 0.001;
        ChaosTraceEntry heardAgain = e[heard];
        heardAgain.T = again.T;
        e.insert(e.begin() + at, heardAgain);
        e.insert(e.begin() + at, again);
        return 1;
    }
    return 0;
}

// The lost reply that excused a resend never happened: a line sent twice, and what the board
// lost of it between the sends is taken out.
int ResendWithoutLoss(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    for (size_t i = 0; i < e.size(); i++) {
        if (e[i].Kind != TR_LINE_SENT)
            continue;
        for (size_t k = i + 1; k < e.size(); k++) {
            if (e[k].Kind != TR_LINE_SENT || e[k].A != e[i].A)
                continue;
            int removed = 0;
            for (size_t m = k; m-- > i + 1;) {
                if (e[m].Kind == TR_BOARD_LOST && e[m].Port == e[i].Port &&
                    e[m].Text == e[i].Text) {
                    e.erase(e.begin() + m);
                    removed = 1;
                }
            }
            return removed;
        }
    }
    return 0;
}

// A line is neither sent nor reported; the session ends long after it.
int LineUnresolved(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int queued = Find(e, TR_LINE_QUEUED);
    if (queued < 0)
        return 0;
    long id = e[queued].A;
    Entries kept;
    for (const ChaosTraceEntry& x : e) {
        if ((x.Kind == TR_LINE_SENT || x.Kind == TR_LINE_NOT_SENT) && x.A == id)
            continue;
        kept.push_back(x);
    }
    e = kept;
    // The operator's end more than the grace after the line.
    size_t tail = TailAt(e);
    double t = e[queued].T + CHAOS_LINE_GRACE_SECONDS + 1.0;
    for (size_t i = 0; i < e.size(); i++) {
        if (e[i].Kind == TR_OPERATOR && e[i].T < t &&
            (e[i].Text.find(" exit") != std::string::npos ||
             e[i].Text.find(" end") != std::string::npos))
            e[i].T = t;
    }
    if (tail < e.size() && e[tail].T < t)
        e[tail].T = t;
    return 1;
}

// The operator's last set point (or PID value) is neither the board's nor reported: a new
// choice right after a controller was identified, well before the session's end, and nothing
// of it sent or reported afterwards.
int LostLastValue(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    double end = e.empty() ? 0.0 : e[TailAt(e) < e.size() ? TailAt(e) : e.size() - 1].T;
    int at = -1;
    for (size_t i = 0; i < e.size(); i++) {
        if (e[i].Kind == TR_IDENTIFIED && e[i].A == 1 &&
            e[i].T < end - CHAOS_VALUE_GRACE_SECONDS - 1.0)
            at = (int)i;
    }
    if (at < 0)
        return 0;
    ChaosTraceEntry chosen = Entry(e[at].T, TR_VALUE_CHOSEN, -1, 0, CHAOS_VALUE_SETPOINT, 0, 77.7);
    Entries kept(e.begin(), e.begin() + at + 1);
    kept.push_back(chosen);
    for (size_t i = at + 1; i < e.size(); i++) {
        if ((e[i].Kind == TR_VALUE_CHOSEN || e[i].Kind == TR_VALUE_SENT ||
             e[i].Kind == TR_VALUE_NOT_SENT) &&
            e[i].A == CHAOS_VALUE_SETPOINT)
            continue;
        kept.push_back(e[i]);
    }
    e = kept;
    return 1;
}

// A log line carries a record an earlier run read.
int StaleLogLine(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    for (size_t i = 0; i < e.size(); i++) {
        if (e[i].Kind != TR_LOG_LINE)
            continue;
        // The record of this line, and its run.
        uint32_t run = 0;
        for (size_t k = 0; k < i; k++) {
            if (e[k].Kind == TR_RECORD_READ && e[k].A == e[i].A)
                run = e[k].Token;
        }
        for (size_t k = 0; k < i; k++) {
            if (e[k].Kind == TR_RECORD_READ && e[k].Token != run) {
                e[i].A = e[k].A;
                return 1;
            }
        }
    }
    return 0;
}

// A log line written while the link is down, from the last record before the fault.
int LogLineWhileDown(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int line = Find(e, TR_LOG_LINE);
    if (line < 0)
        return 0;
    for (size_t i = line + 1; i < e.size(); i++) {
        if (e[i].Kind == TR_WORKER_LINK_ERROR || e[i].Kind == TR_WORKER_END) {
            ChaosTraceEntry late = e[line];
            late.T = e[i].T;
            // Its time stamp a little after the line it repeats.
            size_t comma = late.Text.find(',', 11);
            if (comma == std::string::npos)
                return 0;
            e.insert(e.begin() + i + 1, late);
            return 1;
        }
    }
    return 0;
}

// Two log lines of one log swap places.
int OutOfOrderLog(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int first = Find(e, TR_LOG_LINE);
    while (first >= 0) {
        int second = Find(e, TR_LOG_LINE, first + 1);
        if (second < 0)
            return 0;
        int restart = Find(e, TR_LOG_START, first + 1);
        if ((restart < 0 || restart > second) && e[first].Text != e[second].Text) {
            std::swap(e[first].Text, e[second].Text);
            return 1;
        }
        first = second;
    }
    return 0;
}

// A log line cut in the middle.
int CutLogLine(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int line = Find(e, TR_LOG_LINE);
    if (line < 0)
        return 0;
    e[line].Text = e[line].Text.substr(0, e[line].Text.size() / 2);
    return 1;
}

// Close waits for the worker in its handler.
int HandlerWaits(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    for (size_t i = 0; i < e.size(); i++) {
        if (e[i].Kind == TR_OPERATOR && (e[i].Text.find(" close") != std::string::npos ||
                                         e[i].Text.find(" open") != std::string::npos)) {
            e.insert(e.begin() + i + 1, Entry(e[i].T, TR_WAIT, -1, 0, 0, 0, 0.6, "close"));
            return 1;
        }
    }
    return 0;
}

// The session's end waits past its bound.
int SessionEndWaitsLong(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    size_t tail = TailAt(e);
    double t = tail < e.size() ? e[tail].T : (e.empty() ? 0.0 : e.back().T);
    e.insert(e.begin() + tail,
             Entry(t, TR_WAIT, -1, 0, 0, 0, CHAOS_SESSION_END_WAIT_MAX + 3.0, "end"));
    return 1;
}

// Quick failures past the limit, each followed by one more reconnection.
int PastGiveUp(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int start = Find(e, TR_WORKER_START);
    if (start < 0)
        return 0;
    int port = e[start].Port;
    size_t tail = TailAt(e);
    double t = tail > 0 ? e[tail - 1].T : 0.0;
    uint32_t token = UnusedToken(e);
    Entries storm;
    storm.push_back(Entry(t, TR_WORKER_START, port, token, 0, 0));
    storm.push_back(Entry(t + 0.5, TR_WORKER_UP, port, token));
    for (int i = 0; i <= QUICK_FAULT_LIMIT + 1; i++) {
        double at = t + 1.0 + i * 2.0;
        storm.push_back(Entry(at, TR_WORKER_LINK_ERROR, port, token));
        storm.push_back(Entry(at + 0.1, TR_WORKER_END, port, token));
        token++;
        storm.push_back(Entry(at + 0.2, TR_WORKER_START, port, token, 1, 1));
        storm.push_back(Entry(at + 0.5, TR_WORKER_UP, port, token));
    }
    storm.push_back(Entry(t + 20.0, TR_WORKER_END, port, token));
    e.insert(e.begin() + tail, storm.begin(), storm.end());
    for (size_t i = tail + storm.size(); i < e.size(); i++)
        e[i].T += 21.0;
    return 1;
}

// A ride-through that keeps starting attempts long after its clock ran out.
int RideThroughPastClock(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int start = Find(e, TR_WORKER_START);
    if (start < 0)
        return 0;
    int port = e[start].Port;
    size_t tail = TailAt(e);
    double t = tail > 0 ? e[tail - 1].T : 0.0;
    uint32_t token = UnusedToken(e);
    Entries storm;
    storm.push_back(Entry(t, TR_WORKER_START, port, token, 0, 0));
    storm.push_back(Entry(t + 0.5, TR_WORKER_UP, port, token));
    storm.push_back(Entry(t + 20.0, TR_WORKER_LINK_ERROR, port, token));
    storm.push_back(Entry(t + 20.1, TR_WORKER_END, port, token));
    for (int i = 0; i < 16; i++) {
        token++;
        double at = t + 20.2 + i * 1.0;
        storm.push_back(Entry(at, TR_WORKER_START, port, token, 1, 1));
        storm.push_back(Entry(at + 0.5, TR_WORKER_FAILED, port, token));
        storm.push_back(Entry(at + 0.6, TR_WORKER_END, port, token));
    }
    e.insert(e.begin() + tail, storm.begin(), storm.end());
    for (size_t i = tail + storm.size(); i < e.size(); i++)
        e[i].T += 40.0;
    return 1;
}

// A set point goes before the run identified a controller.
int ValueBeforeIdentification(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int start = Find(e, TR_WORKER_START);
    while (start >= 0) {
        int ident = Find(e, TR_IDENTIFIED, start);
        if (ident >= 0 && e[ident].Token == e[start].Token) {
            e.insert(e.begin() + ident, Entry(e[ident].T, TR_VALUE_SENT, e[start].Port,
                                              e[start].Token, CHAOS_VALUE_SETPOINT, 0, 20.0));
            return 1;
        }
        start = Find(e, TR_WORKER_START, start + 1);
    }
    return 0;
}

// A board hears a set point from a run that has not identified it.
int HeardBeforeIdentification(ChaosTrace* trace) {
    Entries& e = trace->Entries;
    int open = Find(e, TR_PORT_OPEN);
    if (open < 0)
        return 0;
    e.insert(e.begin() + open + 1,
             Entry(e[open].T, TR_BOARD_HEARD, e[open].Port, 0, 1, 0, 0.0, "V5=20.000000"));
    return 1;
}

const std::vector<ChaosPlant> PLANTS = {
    {"a missing restore", INV_BOARD_RESTORED, MissingRestore},
    {"two openers", INV_ONE_OWNER, TwoOpeners},
    {"a second opener refused", INV_ONE_OWNER, SecondOpenerRefused},
    {"two workers", INV_ONE_OWNER, TwoWorkers},
    {"a line sent twice without a lost reply", INV_LINES_VALUES, LineSentTwice},
    {"a resend whose lost reply never happened", INV_LINES_VALUES, ResendWithoutLoss},
    {"a line neither sent nor reported", INV_LINES_VALUES, LineUnresolved},
    {"a lost last value", INV_LINES_VALUES, LostLastValue},
    {"a log line from a stale record", INV_LOG_LINES, StaleLogLine},
    {"a log line while the link is down", INV_LOG_LINES, LogLineWhileDown},
    {"an out-of-order log line", INV_LOG_LINES, OutOfOrderLog},
    {"a cut log line", INV_LOG_LINES, CutLogLine},
    {"a handler that waits", INV_NO_WAIT, HandlerWaits},
    {"a session's end that waits too long", INV_NO_WAIT, SessionEndWaitsLong},
    {"reconnections past the give-up limit", INV_GIVE_UP, PastGiveUp},
    {"a ride-through past its clock", INV_GIVE_UP, RideThroughPastClock},
    {"a set point before identification", INV_IDENTIFIED, ValueBeforeIdentification},
    {"a board hearing a set point before identification", INV_IDENTIFIED,
     HeardBeforeIdentification},
};

} // namespace

const std::vector<ChaosPlant>& ChaosPlants() {
    return PLANTS;
}

ChaosTrace ChaosSampleTrace() {
    ChaosTrace t;
    auto add = [&](double at, ChaosTraceKind kind, int port = -1, uint32_t token = 0, long a = 0,
                   long b = 0, double v = 0.0, const std::string& text = "") {
        ChaosTraceAdd(&t, at, kind, port, token, a, b, v, text);
    };
    const int A = 0;
    add(0, TR_BOARD_OWN, 0, 0, 9600, CHAOS_LE_CR);
    add(0, TR_BOARD_OWN, 1, 0, 19200, CHAOS_LE_CR);
    add(0, TR_BOARD_OWN, 2, 0, 230400, CHAOS_LE_CR);
    for (int term = 0; term < CHAOS_VALUES; term++)
        add(0, TR_BOARD_VALUE, A, 0, term, 0, 0.0);
    // Run 1: connects, moves the board to 230400 CR LF, logs, takes a set point and lines.
    add(1.0, TR_OPERATOR, -1, 0, 0, 0, 0, "1000 open A");
    add(1.0, TR_ACTION, -1, 1, 0, 0, 0, "start-worker");
    add(1.0, TR_WORKER_START, A, 1, 0, 0);
    add(1.0, TR_PORT_OPEN, A, 1);
    add(1.1, TR_BOARD_HEARD, A, 0, 1, 0, 0, "S65");
    add(1.2, TR_BOARD_HEARD, A, 0, 1, 0, 0, "~SNLC=0x0D0A");
    add(1.25, TR_BOARD_SETTING, A, 0, 9600, CHAOS_LE_CRLF);
    add(1.3, TR_BOARD_HEARD, A, 0, 1, 0, 0, "~BAUD=230400");
    add(1.35, TR_BOARD_SETTING, A, 0, 230400, CHAOS_LE_CRLF);
    add(1.4, TR_WORKER_UP, A, 1);
    add(1.5, TR_BOARD_HEARD, A, 0, 1, 0, 0, "S64");
    add(1.5, TR_IDENTIFIED, A, 1, 1);
    add(2.0, TR_RECORD_READ, A, 1, 1);
    add(2.1, TR_OPERATOR, -1, 0, 0, 0, 0, "2100 logstart");
    add(2.1, TR_LOG_START);
    add(2.5, TR_RECORD_READ, A, 1, 2);
    add(2.5, TR_LOG_LINE, -1, 0, 2, 0, 0, "12/10/2026,14:00:02.500,12.500000\n");
    add(3.0, TR_OPERATOR, -1, 0, 0, 0, 0, "3000 setpoint 42.5");
    add(3.0, TR_VALUE_CHOSEN, -1, 0, CHAOS_VALUE_SETPOINT, 0, 42.5);
    add(3.5, TR_VALUE_SENT, A, 1, CHAOS_VALUE_SETPOINT, 0, 42.5);
    add(3.6, TR_BOARD_HEARD, A, 0, 1, 0, 0, "V5=42.500000");
    add(3.6, TR_BOARD_VALUE, A, 0, CHAOS_VALUE_SETPOINT, 0, 42.5);
    add(3.7, TR_RECORD_READ, A, 1, 3);
    add(3.7, TR_LOG_LINE, -1, 0, 3, 0, 0, "12/10/2026,14:00:03.700,13.000000\n");
    add(4.0, TR_OPERATOR, -1, 0, 0, 0, 0, "4000 type S112");
    add(4.0, TR_LINE_QUEUED, -1, 0, 1, 0, 0, "S112");
    add(4.1, TR_BOARD_HEARD, A, 0, 1, 0, 0, "S112");
    add(4.1, TR_LINE_SENT, A, 1, 1, 0, 0, "S112");
    add(4.5, TR_LINE_QUEUED, -1, 0, 2, 0, 0, "XYZ");
    add(4.6, TR_BOARD_HEARD, A, 0, 1, 0, 0, "XYZ");
    add(4.6, TR_LINE_SENT, A, 1, 2, 0, 0, "XYZ");
    add(4.7, TR_BOARD_LOST, A, 0, 0, 0, 0, "XYZ");
    add(4.9, TR_BOARD_HEARD, A, 0, 1, 0, 0, "XYZ");
    add(4.9, TR_LINE_SENT, A, 1, 2, 0, 0, "XYZ");
    // The board drops off: a quick failure, one reconnection with ride-through.
    add(6.0, TR_WORKER_LINK_ERROR, A, 1);
    add(6.0, TR_PORT_CLOSE, A, 1);
    add(6.0, TR_WORKER_END, A, 1);
    add(6.0, TR_ACTION, -1, 2, 0, 0, 0, "start-worker");
    add(6.0, TR_WORKER_START, A, 2, 1, 1);
    add(6.0, TR_PORT_OPEN, A, 2);
    add(6.4, TR_WORKER_UP, A, 2);
    add(6.5, TR_IDENTIFIED, A, 2, 1);
    add(7.0, TR_OPERATOR, -1, 0, 0, 0, 0, "7000 pid P 12.0");
    add(7.0, TR_VALUE_CHOSEN, -1, 0, CHAOS_VALUE_P, 0, 12.0);
    add(7.5, TR_VALUE_SENT, A, 2, CHAOS_VALUE_P, 0, 12.0);
    add(7.6, TR_BOARD_HEARD, A, 0, 1, 0, 0, "~PR=12.000000");
    add(7.6, TR_BOARD_VALUE, A, 0, CHAOS_VALUE_P, 0, 12.0);
    add(8.0, TR_RECORD_READ, A, 2, 4);
    add(8.0, TR_LOG_LINE, -1, 0, 4, 0, 0, "12/10/2026,14:00:08.000,41.900000\n");
    add(9.0, TR_RECORD_READ, A, 2, 5);
    add(9.0, TR_LOG_LINE, -1, 0, 5, 0, 0, "12/10/2026,14:00:09.000,42.400000\n");
    // Close: the worker puts the board back and ends; no handler waits.
    add(10.0, TR_OPERATOR, -1, 0, 0, 0, 0, "10000 close");
    add(10.0, TR_ACTION, -1, 2, 0, 0, 0, "stop-worker");
    add(10.1, TR_BOARD_HEARD, A, 0, 1, 0, 0, "~SNLC=0x0D");
    add(10.15, TR_BOARD_SETTING, A, 0, 230400, CHAOS_LE_CR);
    add(10.2, TR_BOARD_HEARD, A, 0, 1, 0, 0, "~BAUD=9600");
    add(10.25, TR_BOARD_SETTING, A, 0, 9600, CHAOS_LE_CR);
    add(10.3, TR_PORT_CLOSE, A, 2);
    add(10.3, TR_WORKER_END, A, 2);
    add(10.3, TR_LOG_STOP);
    add(10.3, TR_END, A, 2, 1, 0, 0, "close");
    add(30.0, TR_OPERATOR, -1, 0, 0, 0, 0, "30000 exit");
    add(30.0, TR_ACTION, -1, 0, 0, 0, 0, "destroy-window");
    add(30.0, TR_SESSION_OVER);
    return t;
}

ChaosSelfCheckResult ChaosRunSelfCheck(const std::vector<ChaosTrace>& bases) {
    ChaosSelfCheckResult result;
    for (size_t b = 0; b < bases.size(); b++) {
        std::vector<ChaosViolation> clean = ChaosCheckTrace(bases[b]);
        char line[160];
        if (!clean.empty()) {
            snprintf(line, sizeof line, "base %zu is not clean: %s", b + 1,
                     ChaosFormatViolation(clean[0]).c_str());
            result.Lines.push_back(line);
            continue;
        }
        result.CleanBases++;
        for (const ChaosPlant& plant : PLANTS) {
            ChaosTrace planted = bases[b];
            if (!plant.Apply(&planted))
                continue;
            result.Total++;
            int caught = 0;
            for (const ChaosViolation& v : ChaosCheckTrace(planted))
                caught |= v.Invariant == plant.Expected;
            result.Caught += caught;
            snprintf(line, sizeof line, "base %zu: %s: %s (invariant %d)", b + 1, plant.Name,
                     caught ? "caught" : "MISSED", (int)plant.Expected);
            result.Lines.push_back(line);
        }
    }
    return result;
}
