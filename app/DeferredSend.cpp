#include "app/DeferredSend.h"

#include <cstdio>

void DeferredReset(DeferredValueRec* value) {
    *value = DeferredValueRec{0.0, 0.0, 0, 0, 0, 0, 0};
}

DeferredAction DeferredChange(DeferredValueRec* value, double wanted) {
    value->Wanted = wanted;
    value->Touched = 1;
    if (value->BoardKnown && wanted == value->Board) {
        value->Waiting = 0;
        if (!value->Pending)
            return DEFERRED_NOTHING;
        value->Pending = 0;
        return DEFERRED_CANCEL;
    }
    value->Pending = 1;
    return DEFERRED_START;
}

double DeferredSent(DeferredValueRec* value) {
    value->Pending = 0;
    value->Waiting = 0;
    value->Board = value->Wanted;
    value->BoardKnown = 1;
    value->InFlight++;
    return value->Wanted;
}

void DeferredHold(DeferredValueRec* value) {
    value->Pending = 0;
    value->Waiting = 1;
}

void DeferredCarriedOut(DeferredValueRec* value) {
    if (value->InFlight > 0)
        value->InFlight--;
}

int DeferredLinkDown(DeferredValueRec* value) {
    if (value->Pending || value->InFlight > 0)
        value->Waiting = 1;
    value->Pending = 0;
    value->InFlight = 0;
    // The next run reads the board afresh.
    value->BoardKnown = 0;
    return value->Waiting;
}

int DeferredBoardRead(DeferredValueRec* value, double board) {
    if (value->InFlight <= 0) {
        value->Board = board;
        value->BoardKnown = 1;
    }
    return !value->Touched;
}

int DeferredUnsent(const DeferredValueRec* value) {
    return value->Touched && (value->Pending || value->Waiting);
}

int DeferredUnconfirmed(const DeferredValueRec* value) {
    return value->Touched && !DeferredUnsent(value) && value->InFlight > 0;
}

void DeferredRefused(DeferredValueRec* value) {
    if (value->InFlight > 0)
        value->InFlight--;
    value->BoardKnown = 0;
}

int SettingsReportText(const char* const names[], int count, unsigned mask, const char* what,
                       char* out, int size) {
    if (size <= 0)
        return 0;
    out[0] = '\0';
    int named = 0, total = 0;
    for (int i = 0; i < count && i < 32; i++)
        total += (mask >> i) & 1u;
    int length = 0;
    for (int i = 0; i < count && i < 32 && length < size; i++) {
        if (!((mask >> i) & 1u))
            continue;
        const char* joint = named == 0 ? "The " : named == total - 1 ? " and the " : ", the ";
        int n = snprintf(out + length, (size_t)(size - length), "%s%s", joint, names[i]);
        length += n > 0 ? n : 0;
        named++;
    }
    if (named == 0)
        return 0;
    if (length < size) {
        int n = snprintf(out + length, (size_t)(size - length), " %s %s.",
                         named == 1 ? "was" : "were", what);
        length += n > 0 ? n : 0;
    }
    return length < size ? length : size - 1;
}
