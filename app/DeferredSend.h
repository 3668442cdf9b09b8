// One value the operator chooses for the board (set point, a PID gain, the valve cracking
// value) and sends after a short settling delay. It remembers what the board will hold once
// the sends already made have been carried out, so a change back to that value while a send
// waits withdraws the send instead of being lost, and the board always ends at the operator's
// last value. A value chosen and not yet carried out when the link fails waits for the next
// run to identify a controller and then goes again; so does one chosen while no controller is
// identified yet.
#pragma once

struct DeferredValueRec {
    double Wanted;  // the operator's last value
    double Board;   // what the board holds, or will once the sends made are carried out
    int BoardKnown; // Board has been read or sent since the run began
    int Pending;    // a send of Wanted waits for its timer
    int Touched;    // the operator changed the value since the connection
    int InFlight;   // sends enqueued and not yet carried out
    int Waiting;    // Wanted goes once a run has identified a controller
};

enum DeferredAction {
    DEFERRED_NOTHING = 0, // leave the timer as it is
    DEFERRED_START = 1,   // (re)start the settling timer
    DEFERRED_CANCEL = 2,  // stop the settling timer: the board already holds the value
};

// A new connection: nothing is known of the board yet, nothing of the operator's is kept.
void DeferredReset(DeferredValueRec* value);
// The operator chose value.
DeferredAction DeferredChange(DeferredValueRec* value, double wanted);
// The timer ran out and the send is enqueued: the value to send is Wanted, which the board
// will hold from now on.
double DeferredSent(DeferredValueRec* value);
// The timer ran out while no controller is identified: Wanted waits for one.
void DeferredHold(DeferredValueRec* value);
// The worker carried out one of the sends.
void DeferredCarriedOut(DeferredValueRec* value);
// A link error stopped the run: the queue and its sends are gone. A value still waiting for
// its timer or not yet carried out waits for the next run's controller. Returns Waiting.
int DeferredLinkDown(DeferredValueRec* value);
// The board reported its value. Taken as the board's only while none of our sends is on its
// way: a reply read before our send was carried out describes the board as it was. Returns
// non-zero when the operator has not chosen a value since the connection, so the caller may
// show the board's.
int DeferredBoardRead(DeferredValueRec* value, double board);
// The operator's last value has not gone to the board: it waits for its timer or for a
// controller.
int DeferredUnsent(const DeferredValueRec* value);
// The operator's last value went to the worker and was not yet confirmed carried out: the
// board may or may not hold it.
int DeferredUnconfirmed(const DeferredValueRec* value);
// The board refused one of the sends ("Invalid Command"): it keeps the value it had, which is
// no longer known, and the operator's choice stays unsent.
void DeferredRefused(DeferredValueRec* value);

// The operator's report of values that did not reach the board: "The set point and the
// integral gain were <what>." (what: "not sent to the board: the connection ended", say).
// Names are those of the bits set in mask (bit i: names[i]); an empty text when mask names
// none. Returns the text's length.
int SettingsReportText(const char* const names[], int count, unsigned mask, const char* what,
                       char* out, int size);
