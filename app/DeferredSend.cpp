#include "app/DeferredSend.h"

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
