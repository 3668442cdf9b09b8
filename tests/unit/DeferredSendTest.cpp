#include <gtest/gtest.h>

#include <vector>

#include "app/DeferredSend.h"

namespace {

// One operator or board event and what the settling timer must do after it.
enum EventKind { CHANGE, TICK, READ };
struct Event {
    EventKind Kind;
    double Value; // CHANGE: the operator's value; READ: the board's; TICK: the value sent
    int InFlight; // READ only: our sends not yet carried out
    int Expected; // CHANGE: DeferredAction; READ: whether the caller may show the board's value
};

struct Case {
    const char* Name;
    std::vector<Event> Events;
    double BoardAtEnd; // what the board holds once every send is carried out
};

} // namespace

TEST(DeferredSend, BoardEndsAtTheOperatorsLastValue) {
    const Case cases[] = {
        {"60 then straight back to the board's 50 withdraws the send",
         {{READ, 50, 0, 1}, {CHANGE, 60, 0, DEFERRED_START}, {CHANGE, 50, 0, DEFERRED_CANCEL}},
         50},
        {"the board's own value sends nothing",
         {{READ, 50, 0, 1}, {CHANGE, 50, 0, DEFERRED_NOTHING}},
         50},
        {"a burst sends its last value once",
         {{READ, 50, 0, 1},
          {CHANGE, 60, 0, DEFERRED_START},
          {CHANGE, 70, 0, DEFERRED_START},
          {TICK, 70, 0, 0}},
         70},
        {"back to 50 after 60 went out is sent, though the last poll still says 50",
         {{READ, 50, 0, 1},
          {CHANGE, 60, 0, DEFERRED_START},
          {TICK, 60, 0, 0},
          {READ, 50, 1, 0}, // polled before the board carried out V5=60
          {CHANGE, 50, 0, DEFERRED_START},
          {TICK, 50, 0, 0}},
         50},
        {"a poll after our send was carried out is the board again",
         {{CHANGE, 60, 0, DEFERRED_START},
          {TICK, 60, 0, 0},
          {READ, 40, 0, 0}, // changed meanwhile by someone else
          {CHANGE, 60, 0, DEFERRED_START},
          {TICK, 60, 0, 0}},
         60},
        {"nothing known of the board yet: the operator's value is always sent",
         {{CHANGE, 0, 0, DEFERRED_START}, {TICK, 0, 0, 0}},
         0},
        {"the value read at connection arrives after the operator moved: the operator wins",
         {{CHANGE, 500, 0, DEFERRED_START}, {READ, 100, 0, 0}, {TICK, 500, 0, 0}},
         500},
        {"moved and moved back to the value read meanwhile: nothing sent",
         {{CHANGE, 500, 0, DEFERRED_START}, {READ, 100, 0, 0}, {CHANGE, 100, 0, DEFERRED_CANCEL}},
         100},
    };
    for (const Case& c : cases) {
        DeferredValueRec value;
        DeferredReset(&value);
        double board = 0;
        for (size_t i = 0; i < c.Events.size(); i++) {
            const Event& e = c.Events[i];
            switch (e.Kind) {
            case CHANGE:
                EXPECT_EQ(DeferredChange(&value, e.Value), e.Expected) << c.Name << " step " << i;
                break;
            case TICK:
                ASSERT_TRUE(value.Pending) << c.Name << " step " << i;
                board = DeferredSent(&value);
                EXPECT_EQ(board, e.Value) << c.Name << " step " << i;
                break;
            case READ:
                board = e.InFlight ? board : e.Value;
                EXPECT_EQ(DeferredBoardRead(&value, e.Value, e.InFlight), e.Expected)
                    << c.Name << " step " << i;
                break;
            }
        }
        EXPECT_FALSE(value.Pending) << c.Name;
        EXPECT_EQ(board, c.BoardAtEnd) << c.Name;
    }
}
