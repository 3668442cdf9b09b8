#include "app/DeferredSend.h"

void DeferredReset(DeferredValueRec* value) {
    *value = DeferredValueRec{0.0, 0.0, 0, 0, 0};
}

DeferredAction DeferredChange(DeferredValueRec* value, double wanted) {
    value->Wanted = wanted;
    value->Touched = 1;
    if (value->BoardKnown && wanted == value->Board) {
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
    value->Board = value->Wanted;
    value->BoardKnown = 1;
    return value->Wanted;
}

int DeferredBoardRead(DeferredValueRec* value, double board, int inFlight) {
    if (inFlight <= 0) {
        value->Board = board;
        value->BoardKnown = 1;
    }
    return !value->Touched;
}
