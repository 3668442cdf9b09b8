// The trace's names and its text form, for reading a run and for the checker's evidence.
#include "tests/chaos/ChaosTrace.h"

#include <cstdio>

namespace {

const char* const KIND_NAMES[TR_KIND_COUNT] = {
    "action",         "operator",      "worker-start",
    "worker-up",      "worker-failed", "worker-link-error",
    "worker-end",     "port-open",     "port-close",
    "port-refused",   "line-queued",   "line-sent",
    "line-not-sent",  "value-chosen",  "value-sent",
    "value-not-sent", "record-read",   "log-start",
    "log-stop",       "log-line",      "identified",
    "wait",           "end",           "session-over",
    "board-own",      "board-setting", "board-heard",
    "board-lost",     "board-value",   "board-power"};

const char* const VALUE_NAMES[CHAOS_VALUES] = {"setpoint", "P", "I", "D"};

} // namespace

const char* ChaosTraceKindName(ChaosTraceKind kind) {
    return kind >= 0 && kind < TR_KIND_COUNT ? KIND_NAMES[kind] : "?";
}

const char* ChaosValueName(long term) {
    return term >= 0 && term < CHAOS_VALUES ? VALUE_NAMES[term] : "?";
}

void ChaosTraceAdd(ChaosTrace* trace, double t, ChaosTraceKind kind, int port, uint32_t token,
                   long a, long b, double v, const std::string& text) {
    trace->Entries.push_back(ChaosTraceEntry{t, kind, port, token, a, b, v, text});
}

std::string ChaosFormatTraceEntry(const ChaosTraceEntry& e) {
    char text[160];
    int n = snprintf(text, sizeof text, "%.3f %s", e.T, ChaosTraceKindName(e.Kind));
    std::string line(text, (size_t)n);
    auto add = [&](const char* format, auto value) {
        char part[64];
        snprintf(part, sizeof part, format, value);
        line += part;
    };
    if (e.Port >= 0)
        add(" port=%c", (char)('A' + e.Port));
    if (e.Token)
        add(" run=%u", (unsigned)e.Token);
    switch (e.Kind) {
    case TR_WORKER_START:
        add(" reconnection=%ld", e.A);
        add(" ride-through=%ld", e.B);
        break;
    case TR_PORT_REFUSED:
        add(" already-open=%ld", e.A);
        break;
    case TR_LINE_QUEUED:
    case TR_LINE_SENT:
    case TR_LINE_NOT_SENT:
        add(" line=%ld", e.A);
        break;
    case TR_VALUE_CHOSEN:
    case TR_VALUE_SENT:
    case TR_VALUE_NOT_SENT:
    case TR_BOARD_VALUE:
        add(" %s", ChaosValueName(e.A));
        add("=%g", e.V);
        break;
    case TR_RECORD_READ:
    case TR_LOG_LINE:
        add(" record=%ld", e.A);
        break;
    case TR_IDENTIFIED:
        line += e.A == 1 ? " controller" : e.A == 0 ? " meter" : " unknown";
        break;
    case TR_WAIT:
        add(" seconds=%.3f", e.V);
        break;
    case TR_END:
        add(" reachable=%ld", e.A);
        break;
    case TR_BOARD_OWN:
    case TR_BOARD_SETTING:
        add(" baud=%ld", e.A);
        add(" le=%lX", e.B);
        break;
    case TR_BOARD_HEARD:
        add(" at-speed=%ld", e.A);
        break;
    default:
        break;
    }
    if (!e.Text.empty()) {
        std::string shown;
        for (char c : e.Text) {
            if (c == '\n')
                shown += "\\n";
            else if (c == '\r')
                shown += "\\r";
            else
                shown += c;
        }
        line += " \"" + shown + "\"";
    }
    return line;
}

std::string ChaosFormatTrace(const ChaosTrace& trace) {
    std::string text;
    for (const ChaosTraceEntry& e : trace.Entries)
        text += ChaosFormatTraceEntry(e) + "\n";
    return text;
}
