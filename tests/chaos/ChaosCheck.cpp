// The seven promises over a trace. Each check walks the entries once in order and keeps only
// what it needs; the messages quote the entries that show the break.
#include "tests/chaos/ChaosCheck.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "app/ConnectionState.h"

namespace {

typedef std::vector<ChaosViolation> Violations;

const ChaosTraceEntry* const NONE = nullptr;

void Report(Violations* out, ChaosInvariant invariant, const ChaosTraceEntry& at,
            const std::string& what, const ChaosTraceEntry* evidence = NONE) {
    std::string message = what + "; at: " + ChaosFormatTraceEntry(at);
    if (evidence)
        message += "; after: " + ChaosFormatTraceEntry(*evidence);
    out->push_back(ChaosViolation{invariant, at.T, message});
}

std::string Board(int port) {
    return port >= 0 ? std::string(1, (char)('A' + port)) : "(simulated)";
}

std::string Setting(long baud, long lineEnding) {
    char text[48];
    snprintf(text, sizeof text, "%ld %s", baud, lineEnding == CHAOS_LE_CRLF ? "CR LF" : "CR");
    return text;
}

// 1: every end at which the board could be reached leaves it at its own speed and ending. The
// board is judged just before it next takes a command (whoever sends it), or at the end of the
// trace: a speed switch the end asked for takes effect a moment after its command, and until
// the board hears the next run nothing else moves it. The end of a run that a reconnection
// follows is no end of the connection: the next run takes the board as it finds it.
void CheckRestored(const ChaosTrace& trace, Violations* out) {
    std::map<int, const ChaosTraceEntry*> own, now, pending;
    auto judge = [&](int port) {
        const ChaosTraceEntry* end = pending[port];
        pending.erase(port);
        const ChaosTraceEntry* o = own[port];
        const ChaosTraceEntry* n = now[port];
        if (n->A != o->A || n->B != o->B) {
            Report(out, INV_BOARD_RESTORED, *end,
                   "board " + Board(port) + " left at " + Setting(n->A, n->B) + " after the " +
                       end->Text + "; its own is " + Setting(o->A, o->B),
                   n);
        }
    };
    for (const ChaosTraceEntry& e : trace.Entries) {
        if (e.Kind == TR_BOARD_OWN) {
            own[e.Port] = &e;
            now[e.Port] = &e;
        } else if (e.Kind == TR_BOARD_SETTING) {
            now[e.Port] = &e;
        } else if (e.Kind == TR_BOARD_HEARD && e.A == 1 && pending.count(e.Port)) {
            judge(e.Port);
        } else if (e.Kind == TR_END && e.A == 1 && e.Text.rfind("reconnection", 0) != 0 &&
                   own.count(e.Port)) {
            pending[e.Port] = &e;
        }
    }
    while (!pending.empty())
        judge(pending.begin()->first);
}

// 2: at most one worker and one opener of a port at a time. The simulated board is a port of
// its own: a worker left stuck on a board's port does not stop the simulation from starting,
// but nothing else may start on that port until it has ended.
void CheckOneOwner(const ChaosTrace& trace, Violations* out) {
    std::map<uint32_t, const ChaosTraceEntry*> workers;
    std::map<int, const ChaosTraceEntry*> openers;
    for (const ChaosTraceEntry& e : trace.Entries) {
        switch (e.Kind) {
        case TR_WORKER_START:
            for (auto& w : workers) {
                if (w.second->Port != e.Port)
                    continue;
                char text[112];
                snprintf(text, sizeof text,
                         "two workers of port %s: run %u started while run %u runs",
                         Board(e.Port).c_str(), (unsigned)e.Token, (unsigned)w.first);
                Report(out, INV_ONE_OWNER, e, text, w.second);
                break;
            }
            workers[e.Token] = &e;
            break;
        case TR_WORKER_END:
            workers.erase(e.Token);
            break;
        case TR_PORT_OPEN:
            if (openers.count(e.Port)) {
                Report(out, INV_ONE_OWNER, e,
                       "two openers of port " + Board(e.Port) + ": opened again while open",
                       openers[e.Port]);
            }
            openers[e.Port] = &e;
            break;
        case TR_PORT_CLOSE:
            openers.erase(e.Port);
            break;
        case TR_PORT_REFUSED:
            if (e.A == 1) {
                Report(out, INV_ONE_OWNER, e,
                       "a second opener of port " + Board(e.Port) + " while it is open",
                       openers.count(e.Port) ? openers[e.Port] : NONE);
            }
            break;
        default:
            break;
        }
    }
}

// Values go to the board as "%f" text of a float: equal to six decimals.
int SameValue(double a, double b) {
    return std::fabs(a - b) <= 1e-4 * std::max(1.0, std::fabs(a));
}

// 3: command lines and the operator's values.
void CheckLinesAndValues(const ChaosTrace& trace, Violations* out) {
    struct Line {
        const ChaosTraceEntry* Queued = nullptr;
        const ChaosTraceEntry* LastSent = nullptr;
        int Resolved = 0;
    };
    std::map<long, Line> lines;
    // Per board and text: how often it was heard, asked for, and lost.
    std::map<std::pair<int, std::string>, int> heard, lost;
    std::map<std::string, int> asked;
    std::map<std::pair<int, std::string>, int> lostSinceSend, heardSinceSend;
    const ChaosTraceEntry* sessionEnd = nullptr;
    const ChaosTraceEntry* logOff = nullptr; // the session's end by Windows
    const ChaosTraceEntry* over = nullptr;
    const ChaosTraceEntry* lastChosen[CHAOS_VALUES] = {};
    const ChaosTraceEntry* notSent[CHAOS_VALUES] = {};
    const ChaosTraceEntry* droppedAtLogOff[CHAOS_VALUES] = {};
    std::map<int, double> boardValue[CHAOS_VALUES];
    std::map<int, double> powerAt;
    std::vector<const ChaosTraceEntry*> simulatedSends[CHAOS_VALUES];
    // Boards a run identified as a controller, with when the identification came.
    std::map<uint32_t, const ChaosTraceEntry*> controllerOf;
    std::map<int, double> controllerSeenAt; // port -> last time a run of it was a controller
    std::map<uint32_t, int> liveRunPort;

    for (const ChaosTraceEntry& e : trace.Entries) {
        switch (e.Kind) {
        case TR_OPERATOR:
            if (e.Text.find(" exit") != std::string::npos ||
                e.Text.find(" end") != std::string::npos)
                sessionEnd = &e;
            if (e.Text.find(" end") != std::string::npos)
                logOff = &e;
            break;
        case TR_SESSION_OVER:
            over = &e;
            break;
        case TR_LINE_QUEUED:
            lines[e.A].Queued = &e;
            asked[e.Text]++;
            break;
        case TR_LINE_SENT: {
            Line& line = lines[e.A];
            std::string text = line.Queued ? line.Queued->Text : e.Text;
            if (line.LastSent) {
                auto key = std::make_pair(line.LastSent->Port, text);
                // The send before went out only if the board heard it: a write to a port whose
                // cable was out reached nobody, and sending again is the line's first send.
                if (heardSinceSend[key] > 0 && lostSinceSend[key] <= 0) {
                    char what[96];
                    snprintf(what, sizeof what,
                             "line %ld \"%s\" sent a second time without a lost reply", e.A,
                             text.c_str());
                    Report(out, INV_LINES_VALUES, e, what, line.LastSent);
                } else {
                    lostSinceSend[key]--;
                }
            }
            line.LastSent = &e;
            line.Resolved = 1;
            lostSinceSend[std::make_pair(e.Port, text)] = 0;
            heardSinceSend[std::make_pair(e.Port, text)] = 0;
            break;
        }
        case TR_LINE_NOT_SENT:
            lines[e.A].Resolved = 1;
            break;
        case TR_BOARD_HEARD:
            if (e.A == 1) {
                heard[std::make_pair(e.Port, e.Text)]++;
                heardSinceSend[std::make_pair(e.Port, e.Text)]++;
            }
            break;
        case TR_BOARD_LOST:
            lost[std::make_pair(e.Port, e.Text)]++;
            lostSinceSend[std::make_pair(e.Port, e.Text)]++;
            break;
        case TR_VALUE_CHOSEN:
            if (e.A >= 0 && e.A < CHAOS_VALUES) {
                lastChosen[e.A] = &e;
                notSent[e.A] = nullptr;
            }
            break;
        case TR_VALUE_NOT_SENT:
            if (e.A >= 0 && e.A < CHAOS_VALUES)
                notSent[e.A] = &e;
            break;
        case TR_ACTION:
            if (e.A >= 0 && e.A < CHAOS_VALUES && e.Text.rfind("dropped at the log-off ", 0) == 0)
                droppedAtLogOff[e.A] = &e;
            break;
        case TR_VALUE_SENT:
            if (e.A >= 0 && e.A < CHAOS_VALUES && e.Port < 0)
                simulatedSends[e.A].push_back(&e);
            break;
        case TR_BOARD_VALUE:
            if (e.A >= 0 && e.A < CHAOS_VALUES)
                boardValue[e.A][e.Port] = e.V;
            break;
        case TR_BOARD_POWER:
            powerAt[e.Port] = e.T;
            break;
        case TR_WORKER_START:
            liveRunPort[e.Token] = e.Port;
            break;
        case TR_IDENTIFIED:
            if (e.A == 1) {
                controllerOf[e.Token] = &e;
                controllerSeenAt[e.Port] = e.T;
            }
            break;
        case TR_WORKER_END:
            if (controllerOf.count(e.Token))
                controllerSeenAt[controllerOf[e.Token]->Port] = e.T;
            liveRunPort.erase(e.Token);
            break;
        default:
            break;
        }
    }
    // A controller still connected when the trace ends was one until then.
    double endT = trace.Entries.empty() ? 0.0 : trace.Entries.back().T;
    for (auto& run : liveRunPort) {
        if (controllerOf.count(run.first))
            controllerSeenAt[run.second] = endT;
    }

    for (auto& item : lines) {
        const Line& line = item.second;
        if (line.Resolved || !line.Queued)
            continue;
        int graced = sessionEnd && sessionEnd->T >= line.Queued->T &&
                     sessionEnd->T - line.Queued->T <= CHAOS_LINE_GRACE_SECONDS;
        if (!graced) {
            char what[96];
            snprintf(what, sizeof what, "line %ld \"%s\" neither sent nor reported not sent",
                     item.first, line.Queued->Text.c_str());
            Report(out, INV_LINES_VALUES, over ? *over : *line.Queued, what, line.Queued);
        }
    }
    for (auto& item : heard) {
        int a = asked.count(item.first.second) ? asked[item.first.second] : 0;
        if (a == 0)
            continue; // not a command line: the program's own traffic
        int l = lost.count(item.first) ? lost[item.first] : 0;
        if (item.second > a + l) {
            char what[128];
            snprintf(what, sizeof what,
                     "board %s heard \"%s\" %d times for %d lines and %d lost replies",
                     Board(item.first.first).c_str(), item.first.second.c_str(), item.second, a, l);
            const ChaosTraceEntry* last = nullptr;
            for (const ChaosTraceEntry& e : trace.Entries) {
                if (e.Kind == TR_BOARD_HEARD && e.Port == item.first.first &&
                    e.Text == item.first.second)
                    last = &e;
            }
            Report(out, INV_LINES_VALUES, *last, what);
        }
    }
    for (int term = 0; term < CHAOS_VALUES; term++) {
        const ChaosTraceEntry* chosen = lastChosen[term];
        if (!chosen || notSent[term])
            continue;
        // The value must be what a controller connected at or after the choice holds.
        int held = 0;
        for (auto& seen : controllerSeenAt) {
            if (seen.second < chosen->T)
                continue;
            int port = seen.first;
            if (powerAt.count(port) && powerAt[port] >= chosen->T)
                held = 1; // a restart took the board's RAM values; nothing was left to keep
            else if (boardValue[term].count(port) && SameValue(boardValue[term][port], chosen->V))
                held = 1;
        }
        // The simulated board holds what it is sent.
        for (const ChaosTraceEntry* sent : simulatedSends[term]) {
            if (sent->T >= chosen->T && SameValue(sent->V, chosen->V))
                held = 1;
        }
        // Chosen just before the operator ended the session: it goes with the session.
        if (sessionEnd && sessionEnd->T >= chosen->T &&
            sessionEnd->T - chosen->T <= CHAOS_VALUE_GRACE_SECONDS)
            held = 1;
        // Still waiting at a log-off: nobody is left to tell, and it goes with the session.
        if (droppedAtLogOff[term] && logOff && droppedAtLogOff[term]->T >= chosen->T &&
            droppedAtLogOff[term]->T >= logOff->T)
            held = 1;
        if (!held) {
            char what[256];
            snprintf(what, sizeof what,
                     "the last %s chosen, %g, is not the board's at the end and was not "
                     "reported not sent",
                     ChaosValueName(term), chosen->V);
            Report(out, INV_LINES_VALUES, over ? *over : *chosen, what, chosen);
        }
    }
}

// 4: log lines come from a record the run now going read, are whole, and keep time order.
void CheckLogLines(const ChaosTrace& trace, Violations* out) {
    std::map<long, const ChaosTraceEntry*> records;
    uint32_t liveRun = 0;
    int logging = 0;
    double lastKey = -1.0;
    const ChaosTraceEntry* lastLine = nullptr;
    for (const ChaosTraceEntry& e : trace.Entries) {
        switch (e.Kind) {
        case TR_WORKER_UP:
            liveRun = e.Token;
            break;
        case TR_WORKER_LINK_ERROR:
        case TR_WORKER_FAILED:
        case TR_WORKER_END:
            if (e.Token == liveRun)
                liveRun = 0;
            break;
        case TR_RECORD_READ:
            records[e.A] = &e;
            break;
        case TR_LOG_START:
            logging = 1;
            lastKey = -1.0;
            lastLine = nullptr;
            break;
        case TR_LOG_STOP:
            logging = 0;
            break;
        case TR_LOG_LINE: {
            if (!logging)
                Report(out, INV_LOG_LINES, e, "a log line while no log is running");
            auto record = records.find(e.A);
            if (record == records.end()) {
                Report(out, INV_LOG_LINES, e, "a log line from a record never read");
            } else if (liveRun == 0 || record->second->Token != liveRun) {
                char what[112];
                snprintf(what, sizeof what,
                         "a log line from a record of run %u while run %u is going",
                         (unsigned)record->second->Token, (unsigned)liveRun);
                Report(out, INV_LOG_LINES, e, what, record->second);
            }
            double key;
            if (!ChaosLogLineWhole(e.Text, &key)) {
                Report(out, INV_LOG_LINES, e, "a log line that is not whole");
            } else {
                if (key < lastKey)
                    Report(out, INV_LOG_LINES, e, "a log line out of time order", lastLine);
                lastKey = key;
                lastLine = &e;
            }
            break;
        }
        default:
            break;
        }
    }
}

// 5: handlers never wait on the worker; the session's end waits a bounded while.
void CheckNoWait(const ChaosTrace& trace, Violations* out) {
    for (const ChaosTraceEntry& e : trace.Entries) {
        if (e.Kind != TR_WAIT)
            continue;
        if (e.Text == "end") {
            if (e.V > CHAOS_SESSION_END_WAIT_MAX) {
                char what[96];
                snprintf(what, sizeof what, "the session's end waited %.3f s, over %.1f s", e.V,
                         CHAOS_SESSION_END_WAIT_MAX);
                Report(out, INV_NO_WAIT, e, what);
            }
        } else if (e.V > 0.0) {
            char what[96];
            snprintf(what, sizeof what, "the handler of %s waited %.3f s on the worker",
                     e.Text.c_str(), e.V);
            Report(out, INV_NO_WAIT, e, what);
        }
    }
}

// 6: reconnections stay within the give-up limit; a ride-through's attempts count as one and
// keep to its clock.
void CheckGiveUp(const ChaosTrace& trace, Violations* out) {
    int quick = 0;
    std::map<uint32_t, double> upAt;
    const ChaosTraceEntry* rideStart = nullptr; // first attempt of a ride-through under way
    uint32_t lastRun = 0;
    int lastRunFailed = 0;
    for (const ChaosTraceEntry& e : trace.Entries) {
        switch (e.Kind) {
        case TR_WORKER_START:
            if (e.A == 0) {
                quick = 0;
                rideStart = nullptr;
            } else {
                if (quick > QUICK_FAULT_LIMIT) {
                    char what[112];
                    snprintf(what, sizeof what,
                             "reconnection after %d quick failures in a row; the limit is %d",
                             quick, QUICK_FAULT_LIMIT);
                    Report(out, INV_GIVE_UP, e, what);
                }
                // A run that follows a ride-through run that never got its link is another
                // attempt of the same reconnection.
                if (!(lastRunFailed && rideStart))
                    rideStart = &e;
                else if (e.T - rideStart->T > CHAOS_RIDE_THROUGH_SPAN)
                    Report(out, INV_GIVE_UP, e, "a ride-through still retrying past its clock",
                           rideStart);
                if (!e.B)
                    rideStart = nullptr;
            }
            lastRun = e.Token;
            lastRunFailed = 0;
            break;
        case TR_WORKER_UP:
            upAt[e.Token] = e.T;
            rideStart = nullptr;
            break;
        case TR_WORKER_FAILED:
            if (e.Token == lastRun)
                lastRunFailed = 1;
            break;
        case TR_WORKER_LINK_ERROR:
            if (upAt.count(e.Token) && e.T - upAt[e.Token] < QUICK_FAULT_SECONDS)
                quick++;
            else
                quick = 0;
            break;
        default:
            break;
        }
    }
}

int NeedsController(const std::string& text) {
    static const char* const prefixes[] = {"V5=", "~PR=", "~IR=", "~DR=", "~CBR=", "V29=", "~BVD="};
    for (const char* p : prefixes) {
        if (text.compare(0, strlen(p), p) == 0)
            return 1;
    }
    return 0;
}

// 7: nothing that needs a controller goes out before the run's identification said so.
void CheckIdentified(const ChaosTrace& trace, Violations* out) {
    std::set<uint32_t> controllers;
    std::map<int, uint32_t> openBy;
    std::set<std::string> typed;
    for (const ChaosTraceEntry& e : trace.Entries) {
        switch (e.Kind) {
        case TR_IDENTIFIED:
            if (e.A == 1)
                controllers.insert(e.Token);
            else
                controllers.erase(e.Token);
            break;
        case TR_PORT_OPEN:
            openBy[e.Port] = e.Token;
            break;
        case TR_PORT_CLOSE:
            openBy.erase(e.Port);
            break;
        case TR_LINE_QUEUED:
            typed.insert(e.Text);
            break;
        case TR_VALUE_SENT:
            if (!controllers.count(e.Token)) {
                char what[112];
                snprintf(what, sizeof what,
                         "%s %g sent by run %u before it identified a controller",
                         ChaosValueName(e.A), e.V, (unsigned)e.Token);
                Report(out, INV_IDENTIFIED, e, what);
            }
            break;
        case TR_BOARD_HEARD:
            if (e.A == 1 && NeedsController(e.Text) && !typed.count(e.Text)) {
                auto by = openBy.find(e.Port);
                if (by == openBy.end() || !controllers.count(by->second))
                    Report(out, INV_IDENTIFIED, e,
                           "board " + Board(e.Port) + " heard \"" + e.Text +
                               "\" before its run identified a controller");
            }
            break;
        default:
            break;
        }
    }
}

} // namespace

const char* ChaosInvariantName(ChaosInvariant invariant) {
    switch (invariant) {
    case INV_BOARD_RESTORED:
        return "board restored";
    case INV_ONE_OWNER:
        return "one worker, one opener";
    case INV_LINES_VALUES:
        return "lines and values";
    case INV_LOG_LINES:
        return "log lines";
    case INV_NO_WAIT:
        return "no handler waits";
    case INV_GIVE_UP:
        return "give-up limit";
    case INV_IDENTIFIED:
        return "identified first";
    default:
        return "?";
    }
}

std::vector<ChaosViolation> ChaosCheckTrace(const ChaosTrace& trace) {
    Violations out;
    CheckRestored(trace, &out);
    CheckOneOwner(trace, &out);
    CheckLinesAndValues(trace, &out);
    CheckLogLines(trace, &out);
    CheckNoWait(trace, &out);
    CheckGiveUp(trace, &out);
    CheckIdentified(trace, &out);
    return out;
}

std::string ChaosFormatViolation(const ChaosViolation& v) {
    char head[96];
    snprintf(head, sizeof head, "invariant %d (%s) at %.3f s: ", (int)v.Invariant,
             ChaosInvariantName(v.Invariant), v.T);
    return head + v.Message;
}

int ChaosLogLineWhole(const std::string& line, double* key) {
    int month, day, year, hour, minute, second, ms = 0, used = 0;
    const char* s = line.c_str();
    if (sscanf(s, "%2d/%2d/%4d,%2d:%2d:%2d%n", &month, &day, &year, &hour, &minute, &second,
               &used) != 6 ||
        used != 19)
        return 0;
    const char* p = s + used;
    if (*p == '.') {
        int n = 0;
        if (sscanf(p, ".%3d%n", &ms, &n) != 1 || n != 4)
            return 0;
        p += n;
    }
    if (*p++ != ',')
        return 0;
    if (*p == '-')
        p++;
    const char* digits = p;
    while (*p >= '0' && *p <= '9')
        p++;
    if (p == digits || *p++ != '.')
        return 0;
    int decimals = 0;
    while (*p >= '0' && *p <= '9') {
        p++;
        decimals++;
    }
    if (decimals != 6 || strcmp(p, "\n") != 0)
        return 0;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return 0;
    *key = (((double)year * 12 + month) * 31 + day) * 86400.0 + hour * 3600 + minute * 60 + second +
           ms / 1000.0;
    return 1;
}
