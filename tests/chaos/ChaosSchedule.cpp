// Drawing schedules and their text form.
#include "tests/chaos/ChaosSchedule.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const EVENT_NAMES[EV_KIND_COUNT] = {
    "open",       "dialog", "close", "exit",       "simulate", "setpoint",  "pid",
    "save",       "type",   "paste", "logstart",   "logstop",  "graphopen", "graphclose",
    "totalreset", "fault",  "mute",  "powercycle", "stuck",    "end"};

struct FaultName {
    const char* Name;
    int TakesNumber;
};
const FaultName FAULT_NAMES[] = {{"none", 0},    {"silence", 0}, {"delay", 1},    {"badsum", 0},
                                 {"garbage", 1}, {"zerolen", 0}, {"oversize", 0}, {"shortstate", 0},
                                 {"cut", 0},     {"hangup", 1},  {"deaf", 1},     {"stream", 1},
                                 {"trickle", 1}, {"refuse", 0}};

// Lines typed into the command window: commands the program never sends by itself, so the
// board's record tells each line's sends apart from the program's own traffic.
const char* const TYPED_LINES[] = {"S112", "XYZ", "Q9", "HELLO", "G31", "T5"};
// Commands whose next reply a schedule may lose.
const char* const MUTED_COMMANDS[] = {"~GLSV", "~GAFV", "S64",   "S65",  "S54", "G4",   "V5",
                                      "~PR",   "~BAUD", "~SNLC", "S112", "XYZ", "HELLO"};
const char* const PID_TERMS[] = {"P", "I", "D"};
const char* const REFUSED_COMMANDS[] = {"~BAUD", "~SNLC", "V5", "S64", "~PR"};

// The weights of the draw, out of their sum (100).
struct Weight {
    ChaosEventKind Kind;
    const char* Fault; // for EV_FAULT: which one
    int Weight;
};
const Weight WEIGHTS[] = {
    // Operator actions: 54.
    {EV_OPEN, nullptr, 9},
    {EV_DIALOG, nullptr, 2},
    {EV_CLOSE, nullptr, 4},
    {EV_EXIT, nullptr, 1},
    {EV_SIMULATE, nullptr, 3},
    {EV_SETPOINT, nullptr, 8},
    {EV_PID, nullptr, 4},
    {EV_SAVE, nullptr, 2},
    {EV_TYPE, nullptr, 6},
    {EV_PASTE, nullptr, 3},
    {EV_LOG_START, nullptr, 4},
    {EV_LOG_STOP, nullptr, 2},
    {EV_GRAPH_OPEN, nullptr, 2},
    {EV_GRAPH_CLOSE, nullptr, 2},
    {EV_TOTAL_RESET, nullptr, 2},
    // Board faults: 42.
    {EV_FAULT, "silence", 3},
    {EV_FAULT, "delay", 3},
    {EV_FAULT, "badsum", 3},
    {EV_FAULT, "garbage", 3},
    {EV_FAULT, "shortstate", 3},
    {EV_FAULT, "zerolen", 2},
    {EV_FAULT, "oversize", 2},
    {EV_FAULT, "cut", 3},
    {EV_FAULT, "hangup", 4},
    {EV_FAULT, "stream", 2},
    {EV_MUTE, nullptr, 4},
    {EV_FAULT, "deaf", 3},
    {EV_FAULT, "refuse", 2},
    {EV_FAULT, "trickle", 1},
    {EV_POWERCYCLE, nullptr, 4},
    // A stuck worker read and the session's end: 4.
    {EV_STUCK, nullptr, 3},
    {EV_END, nullptr, 1},
};

template <size_t N> const char* Pick(ChaosRandomRec* random, const char* const (&list)[N]) {
    return list[ChaosBelow(random, N)];
}

int Chance(ChaosRandomRec* random, int percent) {
    return (int)ChaosBelow(random, 100) < percent;
}

// A fault that stays until cleared: the clearing "none" comes after a while.
void AddLasting(std::vector<ChaosEvent>* events, const ChaosEvent& fault, long lowMs, long highMs,
                ChaosRandomRec* random) {
    events->push_back(fault);
    ChaosEvent clear = fault;
    clear.AtMs =
        std::min<int64_t>(fault.AtMs + ChaosRange(random, lowMs, highMs), CHAOS_SESSION_MS - 1);
    clear.Text = "none";
    events->push_back(clear);
}

void DrawFault(std::vector<ChaosEvent>* events, ChaosEvent event, const char* name,
               ChaosRandomRec* random) {
    char text[64];
    std::string n = name;
    if (n == "silence") {
        event.Text = "silence";
        AddLasting(events, event, 300, 4000, random);
    } else if (n == "delay") {
        snprintf(text, sizeof text, "delay %ld", ChaosRange(random, 50, 1500));
        event.Text = text;
        if (Chance(random, 50)) {
            event.Text += " once";
            events->push_back(event);
        } else {
            AddLasting(events, event, 300, 5000, random);
        }
    } else if (n == "garbage") {
        snprintf(text, sizeof text, "garbage %ld", ChaosRange(random, 1, 40));
        event.Text = text;
        if (Chance(random, 60)) {
            event.Text += " once";
            events->push_back(event);
        } else {
            AddLasting(events, event, 200, 3000, random);
        }
    } else if (n == "hangup") {
        snprintf(text, sizeof text, "hangup %ld", ChaosRange(random, 100, 4000));
        event.Text = text;
        events->push_back(event);
    } else if (n == "stream") {
        snprintf(text, sizeof text, "stream %ld once", ChaosRange(random, 200, 3000));
        event.Text = text;
        events->push_back(event);
    } else if (n == "trickle") {
        snprintf(text, sizeof text, "trickle %ld once", ChaosRange(random, 1, 40));
        event.Text = text;
        events->push_back(event);
    } else if (n == "deaf") {
        if (Chance(random, 60)) {
            snprintf(text, sizeof text, "deaf %ld", ChaosRange(random, 1, 5));
            event.Text = text;
            events->push_back(event);
        } else {
            event.Text = "deaf 0";
            AddLasting(events, event, 300, 3000, random);
        }
    } else if (n == "refuse") {
        if (Chance(random, 50)) {
            event.Text = std::string("refuse on ") + Pick(random, REFUSED_COMMANDS);
            AddLasting(events, event, 500, 8000, random);
        } else {
            event.Text = "refuse";
            AddLasting(events, event, 200, 2000, random);
        }
    } else {
        // badsum, zerolen, oversize, shortstate, cut: mostly one reply, sometimes a spell.
        event.Text = n;
        if (Chance(random, 70)) {
            event.Text += " once";
            events->push_back(event);
        } else {
            AddLasting(events, event, 200, 3000, random);
        }
    }
}

int ParseLong(const char* s, long low, long high, long* out) {
    if (!*s)
        return 0;
    char* end;
    long value = strtol(s, &end, 10);
    if (*end != '\0' || value < low || value > high)
        return 0;
    for (const char* p = s; *p; p++) {
        if (!isdigit((unsigned char)*p) && !(p == s && *p == '-'))
            return 0;
    }
    *out = value;
    return 1;
}

// "12.5" as 125; one decimal at most, as the text form writes it.
int ParseTenths(const std::string& s, long high, long* out) {
    size_t dot = s.find('.');
    std::string whole = s.substr(0, dot);
    long w;
    if (!ParseLong(whole.c_str(), 0, high / 10, &w))
        return 0;
    long frac = 0;
    if (dot != std::string::npos) {
        std::string f = s.substr(dot + 1);
        if (f.size() != 1 || !isdigit((unsigned char)f[0]))
            return 0;
        frac = f[0] - '0';
    }
    if (w * 10 + frac > high)
        return 0;
    *out = w * 10 + frac;
    return 1;
}

std::vector<std::string> Words(const std::string& s) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ')
            i++;
        size_t start = i;
        while (i < s.size() && s[i] != ' ')
            i++;
        if (i > start)
            words.push_back(s.substr(start, i - start));
    }
    return words;
}

int BoardFromName(const std::string& name) {
    if (name.size() == 1 && name[0] >= 'A' && name[0] < 'A' + CHAOS_BOARDS)
        return name[0] - 'A';
    return -2;
}

// A command line for the command window: printable, no '|' (the paste separator), no '>'.
int LineTextValid(const std::string& s) {
    if (s.empty() || s.size() > 200)
        return 0;
    for (char c : s) {
        if ((unsigned char)c < 0x20 || (unsigned char)c > 0x7E || c == '|' || c == '>')
            return 0;
    }
    return 1;
}

int FaultTextValid(const std::string& text, std::string* error) {
    std::vector<std::string> w = Words(text);
    if (w.empty()) {
        *error = "fault needs a name";
        return 0;
    }
    int takesNumber;
    if (!ChaosFaultNameKnown(w[0], &takesNumber)) {
        *error = "unknown fault '" + w[0] + "'";
        return 0;
    }
    size_t i = 1;
    if (takesNumber) {
        long value;
        if (i >= w.size() || !ParseLong(w[i].c_str(), 0, 600000, &value)) {
            *error = "fault " + w[0] + " needs a number";
            return 0;
        }
        i++;
    }
    if (i < w.size() && w[i] == "once")
        i++;
    if (i < w.size() && w[i] == "on") {
        if (i + 1 >= w.size() || w[i + 1].size() > 15) {
            *error = "fault ... on needs a command name";
            return 0;
        }
        i += 2;
    }
    if (i != w.size()) {
        *error = "unexpected '" + w[i] + "' in fault";
        return 0;
    }
    // The text form is one space between words, so a replay prints what it read.
    std::string joined;
    for (size_t k = 0; k < w.size(); k++)
        joined += (k ? " " : "") + w[k];
    if (joined != text) {
        *error = "fault words must be separated by single spaces";
        return 0;
    }
    return 1;
}

} // namespace

const char* ChaosEventName(ChaosEventKind kind) {
    return kind >= 0 && kind < EV_KIND_COUNT ? EVENT_NAMES[kind] : "?";
}

int ChaosIsBoardEvent(ChaosEventKind kind) {
    return kind == EV_FAULT || kind == EV_MUTE || kind == EV_POWERCYCLE || kind == EV_STUCK;
}

int ChaosFaultNameKnown(const std::string& name, int* takesNumber) {
    for (const FaultName& f : FAULT_NAMES) {
        if (name == f.Name) {
            *takesNumber = f.TakesNumber;
            return 1;
        }
    }
    return 0;
}

uint64_t ChaosScheduleSeed(uint64_t campaignSeed, uint64_t index) {
    uint64_t x = campaignSeed ^ (index * 0xD1B54A32D192ED03ull);
    return ChaosSplitMix64(&x);
}

ChaosSchedule ChaosDrawSchedule(uint64_t seed) {
    ChaosRandomRec random;
    ChaosSeed(&random, seed);
    ChaosSchedule schedule;
    schedule.Seed = seed;
    std::vector<ChaosEvent>& events = schedule.Events;

    int total = 0;
    for (const Weight& w : WEIGHTS)
        total += w.Weight;

    // Between 4 and 48 drawn events (a lasting fault brings its own clearing event), at times
    // spread evenly over the session; most sessions begin with an Open of the first board.
    long count = ChaosRange(&random, 4, 48);
    std::vector<int64_t> times;
    for (long i = 0; i < count; i++)
        times.push_back((int64_t)ChaosBelow(&random, CHAOS_SESSION_MS - 1000));
    std::sort(times.begin(), times.end());
    int lastBoard = 0;
    if (Chance(&random, 70)) {
        events.push_back(ChaosEvent{(int64_t)ChaosBelow(&random, 2000), EV_OPEN, 0, 0, ""});
        if (!times.empty() && times[0] < events[0].AtMs)
            times[0] = events[0].AtMs;
    }
    for (int64_t at : times) {
        int r = (int)ChaosBelow(&random, (uint64_t)total);
        const Weight* w = WEIGHTS;
        while (r >= w->Weight) {
            r -= w->Weight;
            w++;
        }
        ChaosEvent event{at, w->Kind, -1, 0, ""};
        // Faults mostly hit the board last opened, so they meet a connection.
        int target = Chance(&random, 70) ? lastBoard : (int)ChaosBelow(&random, CHAOS_BOARDS);
        int ended = 0;
        switch (w->Kind) {
        case EV_OPEN:
        case EV_DIALOG:
            if (Chance(&random, 8)) {
                event.Board = -1;
            } else {
                event.Board =
                    Chance(&random, 50) ? lastBoard : (int)ChaosBelow(&random, CHAOS_BOARDS);
                if (w->Kind == EV_OPEN)
                    lastBoard = event.Board;
            }
            events.push_back(event);
            break;
        case EV_SETPOINT:
            event.Arg = ChaosRange(&random, 0, 1000);
            events.push_back(event);
            break;
        case EV_PID:
            event.Text = Pick(&random, PID_TERMS);
            event.Arg = ChaosRange(&random, 0, 9999);
            events.push_back(event);
            break;
        case EV_TYPE:
            event.Text = Pick(&random, TYPED_LINES);
            events.push_back(event);
            break;
        case EV_PASTE: {
            long lines = ChaosRange(&random, 2, 6);
            for (long i = 0; i < lines; i++)
                event.Text += std::string(i ? "|" : "") + Pick(&random, TYPED_LINES);
            events.push_back(event);
            break;
        }
        case EV_FAULT:
            event.Board = target;
            DrawFault(&events, event, w->Fault, &random);
            break;
        case EV_MUTE:
            event.Board = target;
            event.Text = Pick(&random, MUTED_COMMANDS);
            events.push_back(event);
            break;
        case EV_POWERCYCLE:
            event.Board = target;
            events.push_back(event);
            break;
        case EV_STUCK:
            event.Board = target;
            event.Arg = ChaosRange(&random, 200, 5000);
            events.push_back(event);
            break;
        case EV_EXIT:
        case EV_END:
            events.push_back(event);
            ended = 1;
            break;
        default:
            events.push_back(event);
            break;
        }
        if (ended)
            break;
    }
    // Clearing events may land after the session's end; nothing happens after it. A session
    // the draw did not end is ended by Exit at its last moment.
    std::stable_sort(events.begin(), events.end(),
                     [](const ChaosEvent& a, const ChaosEvent& b) { return a.AtMs < b.AtMs; });
    for (size_t i = 0; i < events.size(); i++) {
        if (events[i].Kind == EV_EXIT || events[i].Kind == EV_END) {
            events.resize(i + 1);
            return schedule;
        }
    }
    events.push_back(ChaosEvent{CHAOS_SESSION_MS, EV_EXIT, -1, 0, ""});
    return schedule;
}

std::string ChaosFormatEvent(const ChaosEvent& e) {
    char head[64];
    snprintf(head, sizeof head, "%lld %s", (long long)e.AtMs, ChaosEventName(e.Kind));
    std::string line = head;
    std::string board = e.Board >= 0 ? std::string(1, (char)('A' + e.Board)) : "cancel";
    char number[32];
    snprintf(number, sizeof number, "%ld.%ld", e.Arg / 10, e.Arg % 10);
    switch (e.Kind) {
    case EV_OPEN:
    case EV_DIALOG:
        line += " " + board;
        break;
    case EV_SETPOINT:
        line += std::string(" ") + number;
        break;
    case EV_PID:
        line += " " + e.Text + " " + number;
        break;
    case EV_TYPE:
    case EV_PASTE:
        line += " " + e.Text;
        break;
    case EV_FAULT:
    case EV_MUTE:
        line += " " + board + " " + e.Text;
        break;
    case EV_POWERCYCLE:
        line += " " + board;
        break;
    case EV_STUCK:
        snprintf(number, sizeof number, " %ld", e.Arg);
        line += " " + board + number;
        break;
    default:
        break;
    }
    return line;
}

std::string ChaosFormatSchedule(const ChaosSchedule& schedule) {
    char head[80];
    snprintf(head, sizeof head, "# seed %llu\n", (unsigned long long)schedule.Seed);
    std::string text = head;
    for (const ChaosEvent& e : schedule.Events)
        text += ChaosFormatEvent(e) + "\n";
    return text;
}

int ChaosParseEvent(const std::string& line, ChaosEvent* out, std::string* error) {
    std::vector<std::string> w = Words(line);
    if (w.size() < 2) {
        *error = "expected 'TIME EVENT ...'";
        return 0;
    }
    long at;
    if (!ParseLong(w[0].c_str(), 0, CHAOS_SESSION_MS, &at)) {
        *error = "time '" + w[0] + "' is not a whole number of ms from 0 to 60000";
        return 0;
    }
    int kind = -1;
    for (int k = 0; k < EV_KIND_COUNT; k++) {
        if (w[1] == EVENT_NAMES[k])
            kind = k;
    }
    if (kind < 0) {
        *error = "unknown event '" + w[1] + "'";
        return 0;
    }
    ChaosEvent e{at, (ChaosEventKind)kind, -1, 0, ""};
    // What follows the event's name, as written (typed lines keep their own spaces).
    size_t nameAt = line.find(w[1], line.find(w[0]) + w[0].size());
    std::string rest = line.substr(nameAt + w[1].size());
    if (!rest.empty() && rest[0] == ' ')
        rest.erase(0, 1);
    size_t argCount = w.size() - 2;
    auto needBoard = [&](const std::string& name, int allowCancel) {
        int b = BoardFromName(name);
        if (name == "cancel" && allowCancel)
            b = -1;
        if (b == -2) {
            *error = "'" + name + "' is not a board (A, B or C" +
                     std::string(allowCancel ? " or cancel)" : ")");
            return 0;
        }
        e.Board = b;
        return 1;
    };
    auto want = [&](size_t n) {
        if (argCount != n) {
            char text[96];
            snprintf(text, sizeof text, "%s takes %zu argument%s, not %zu", EVENT_NAMES[kind], n,
                     n == 1 ? "" : "s", argCount);
            *error = text;
            return 0;
        }
        return 1;
    };
    switch (e.Kind) {
    case EV_OPEN:
    case EV_DIALOG:
        if (!want(1) || !needBoard(w[2], 1))
            return 0;
        break;
    case EV_SETPOINT:
        if (!want(1))
            return 0;
        if (!ParseTenths(w[2], 1000, &e.Arg)) {
            *error = "set point '" + w[2] + "' is not 0.0 to 100.0 with one decimal";
            return 0;
        }
        break;
    case EV_PID:
        if (!want(2))
            return 0;
        if (w[2] != "P" && w[2] != "I" && w[2] != "D") {
            *error = "PID term '" + w[2] + "' is not P, I or D";
            return 0;
        }
        e.Text = w[2];
        if (!ParseTenths(w[3], 9999, &e.Arg)) {
            *error = "PID value '" + w[3] + "' is not 0.0 to 999.9 with one decimal";
            return 0;
        }
        break;
    case EV_TYPE:
        if (!LineTextValid(rest)) {
            *error = "a typed line is printable text without '|' or '>'";
            return 0;
        }
        e.Text = rest;
        break;
    case EV_PASTE: {
        size_t start = 0;
        while (1) {
            size_t bar = rest.find('|', start);
            std::string part = rest.substr(start, bar == std::string::npos ? bar : bar - start);
            if (!LineTextValid(part)) {
                *error = "pasted lines are printable text split by '|'";
                return 0;
            }
            if (bar == std::string::npos)
                break;
            start = bar + 1;
        }
        e.Text = rest;
        break;
    }
    case EV_FAULT:
        if (argCount < 2 || !needBoard(w[2], 0)) {
            if (argCount < 2)
                *error = "fault needs a board and a fault";
            return 0;
        }
        e.Text = rest.substr(rest.find(' ') + 1);
        if (!FaultTextValid(e.Text, error))
            return 0;
        break;
    case EV_MUTE:
        if (!want(2) || !needBoard(w[2], 0))
            return 0;
        if (w[3].size() > 15) {
            *error = "muted command name too long";
            return 0;
        }
        e.Text = w[3];
        break;
    case EV_POWERCYCLE:
        if (!want(1) || !needBoard(w[2], 0))
            return 0;
        break;
    case EV_STUCK:
        if (!want(2) || !needBoard(w[2], 0))
            return 0;
        if (!ParseLong(w[3].c_str(), 1, 600000, &e.Arg)) {
            *error = "stuck needs a time in ms";
            return 0;
        }
        break;
    default:
        if (!want(0))
            return 0;
        break;
    }
    *out = e;
    return 1;
}

int ChaosParseSchedule(const std::string& text, ChaosSchedule* out, std::string* error) {
    ChaosSchedule schedule;
    schedule.Seed = 0;
    size_t start = 0;
    int number = 0;
    int64_t last = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        number++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        char where[32];
        snprintf(where, sizeof where, "line %d: ", number);
        size_t first = line.find_first_not_of(' ');
        if (first == std::string::npos)
            continue;
        if (line[first] == '#') {
            unsigned long long seed;
            char tail;
            if (sscanf(line.c_str() + first, "# seed %llu %c", &seed, &tail) == 1)
                schedule.Seed = seed;
            continue;
        }
        ChaosEvent event;
        std::string why;
        if (!ChaosParseEvent(line.substr(first), &event, &why)) {
            *error = where + why;
            return 0;
        }
        if (event.AtMs < last) {
            *error = where + std::string("events must be in time order");
            return 0;
        }
        last = event.AtMs;
        schedule.Events.push_back(event);
        if (event.Kind == EV_EXIT || event.Kind == EV_END) {
            // Nothing may follow the end but comments.
            while (start < text.size()) {
                size_t e2 = text.find('\n', start);
                std::string more = text.substr(start, e2 == std::string::npos ? e2 : e2 - start);
                start = e2 == std::string::npos ? text.size() : e2 + 1;
                number++;
                size_t f = more.find_first_not_of(" \r");
                if (f != std::string::npos && more[f] != '#') {
                    snprintf(where, sizeof where, "line %d: ", number);
                    *error = where + std::string("nothing may follow exit or end");
                    return 0;
                }
            }
        }
    }
    *out = schedule;
    return 1;
}
