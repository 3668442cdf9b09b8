#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "app/DeferredSend.h"

namespace {

// One operator, worker or link event and what must follow it.
enum EventKind {
    CHANGE, // the operator chose Value; Expected: the DeferredAction
    SEND,   // the timer ran out (or a controller was identified) and the send went: Value sent
    HOLD,   // the timer ran out with no controller identified yet
    DONE,   // the worker carried out the oldest send
    READ,   // the board reported Value; Expected: whether the caller may show it
    DOWN,   // a link error stopped the run; Expected: whether the value waits to go again
    REFUSE, // the board refused the oldest send and kept what it had
};
struct Event {
    EventKind Kind;
    double Value;
    int Expected;
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
         {{READ, 50, 1}, {CHANGE, 60, DEFERRED_START}, {CHANGE, 50, DEFERRED_CANCEL}},
         50},
        {"after a refusal the board's value is unknown: the same choice goes again",
         {{READ, 50, 1},
          {CHANGE, 60, DEFERRED_START},
          {SEND, 60, 0},
          {REFUSE, 0, 0},
          {CHANGE, 60, DEFERRED_START},
          {SEND, 60, 0}},
         60},
        {"the board's own value sends nothing",
         {{READ, 50, 1}, {CHANGE, 50, DEFERRED_NOTHING}},
         50},
        {"a burst sends its last value once",
         {{READ, 50, 1}, {CHANGE, 60, DEFERRED_START}, {CHANGE, 70, DEFERRED_START}, {SEND, 70, 0}},
         70},
        {"back to 50 after 60 went out is sent, though the last poll still says 50",
         {{READ, 50, 1},
          {CHANGE, 60, DEFERRED_START},
          {SEND, 60, 0},
          {READ, 50, 0}, // polled before the board carried out V5=60
          {CHANGE, 50, DEFERRED_START},
          {SEND, 50, 0}},
         50},
        {"a poll after our send was carried out is the board again",
         {{CHANGE, 60, DEFERRED_START},
          {SEND, 60, 0},
          {DONE, 0, 0},
          {READ, 40, 0}, // changed meanwhile by someone else
          {CHANGE, 60, DEFERRED_START},
          {SEND, 60, 0}},
         60},
        {"nothing known of the board yet: the operator's value is always sent",
         {{CHANGE, 0, DEFERRED_START}, {SEND, 0, 0}},
         0},
        {"the value read at connection arrives after the operator moved: the operator wins",
         {{CHANGE, 500, DEFERRED_START}, {READ, 100, 0}, {SEND, 500, 0}},
         500},
        {"moved and moved back to the value read meanwhile: nothing sent",
         {{CHANGE, 500, DEFERRED_START}, {READ, 100, 0}, {CHANGE, 100, DEFERRED_CANCEL}},
         100},
        {"sent and not carried out when the link fails: goes again on the next run",
         {{READ, 50, 1},
          {CHANGE, 60, DEFERRED_START},
          {SEND, 60, 0},
          {DOWN, 0, 1},
          {READ, 50, 0}, // the new run's first poll: the board never heard it
          {SEND, 60, 0}},
         60},
        {"still waiting for its timer when the link fails: goes on the next run",
         {{READ, 50, 1}, {CHANGE, 60, DEFERRED_START}, {DOWN, 0, 1}, {SEND, 60, 0}},
         60},
        {"carried out before the fault: nothing goes again",
         {{CHANGE, 60, DEFERRED_START}, {SEND, 60, 0}, {DONE, 0, 0}, {DOWN, 0, 0}},
         60},
        {"the timer ran out before a controller answered: held, then sent",
         {{CHANGE, 60, DEFERRED_START}, {HOLD, 0, 0}, {READ, 50, 0}, {SEND, 60, 0}},
         60},
        {"held, then moved back to the board's value: nothing waits any more",
         {{CHANGE, 60, DEFERRED_START},
          {HOLD, 0, 0},
          {READ, 50, 0},
          {CHANGE, 50, DEFERRED_NOTHING},
          {DOWN, 0, 0}},
         50},
    };
    for (const Case& c : cases) {
        DeferredValueRec value;
        DeferredReset(&value);
        // Sends made and not carried out, oldest first, and the board as the sends leave it.
        std::vector<double> queued;
        double board = 0;
        for (size_t i = 0; i < c.Events.size(); i++) {
            const Event& e = c.Events[i];
            switch (e.Kind) {
            case CHANGE:
                EXPECT_EQ(DeferredChange(&value, e.Value), e.Expected) << c.Name << " step " << i;
                break;
            case SEND:
                ASSERT_TRUE(value.Pending || value.Waiting) << c.Name << " step " << i;
                queued.push_back(DeferredSent(&value));
                EXPECT_EQ(queued.back(), e.Value) << c.Name << " step " << i;
                break;
            case HOLD:
                ASSERT_TRUE(value.Pending) << c.Name << " step " << i;
                DeferredHold(&value);
                break;
            case DONE:
                ASSERT_FALSE(queued.empty()) << c.Name << " step " << i;
                board = queued.front();
                queued.erase(queued.begin());
                DeferredCarriedOut(&value);
                break;
            case READ:
                if (queued.empty())
                    board = e.Value;
                EXPECT_EQ(DeferredBoardRead(&value, e.Value), e.Expected)
                    << c.Name << " step " << i;
                break;
            case REFUSE:
                ASSERT_FALSE(queued.empty()) << c.Name << " step " << i;
                queued.erase(queued.begin());
                DeferredRefused(&value);
                break;
            case DOWN:
                queued.clear(); // the queue goes with the run
                EXPECT_EQ(DeferredLinkDown(&value), e.Expected) << c.Name << " step " << i;
                break;
            }
        }
        for (double sent : queued)
            board = sent;
        EXPECT_FALSE(value.Pending) << c.Name;
        EXPECT_FALSE(value.Waiting) << c.Name;
        EXPECT_EQ(board, c.BoardAtEnd) << c.Name;
    }
}

// What is reported: a choice waiting for its timer or a controller (not sent), one with the
// worker (not confirmed), and nothing the board carried out or the operator never touched.
TEST(DeferredSend, UnsentChoicesAndTheirReport) {
    DeferredValueRec value;
    DeferredReset(&value);
    EXPECT_FALSE(DeferredUnsent(&value));
    DeferredChange(&value, 60);
    EXPECT_TRUE(DeferredUnsent(&value)); // its timer runs
    DeferredHold(&value);
    EXPECT_TRUE(DeferredUnsent(&value)); // waits for a controller
    EXPECT_FALSE(DeferredUnconfirmed(&value));
    DeferredSent(&value);
    EXPECT_FALSE(DeferredUnsent(&value));
    EXPECT_TRUE(DeferredUnconfirmed(&value)); // with the worker: the board may hold it
    DeferredChange(&value, 65);
    EXPECT_TRUE(DeferredUnsent(&value)); // the latest choice has not gone
    EXPECT_FALSE(DeferredUnconfirmed(&value));
    DeferredSent(&value);
    DeferredCarriedOut(&value);
    DeferredRefused(&value);
    EXPECT_FALSE(DeferredUnsent(&value)); // refused: reported as such
    EXPECT_FALSE(DeferredUnconfirmed(&value));
    DeferredChange(&value, 70);
    DeferredSent(&value);
    DeferredCarriedOut(&value);
    EXPECT_FALSE(DeferredUnsent(&value));
    EXPECT_FALSE(DeferredUnconfirmed(&value));

    const char* names[] = {"set point", "proportional gain", "integral gain"};
    char text[160];
    const struct {
        unsigned Mask;
        const char* Text;
    } cases[] = {
        {0, ""},
        {1, "The set point was not sent to the board: the connection ended."},
        {5, "The set point and the integral gain were not sent to the board: the connection "
            "ended."},
        {7, "The set point, the proportional gain and the integral gain were not sent to the "
            "board: the connection ended."},
    };
    for (const auto& c : cases) {
        int n = SettingsReportText(names, 3, c.Mask, "not sent to the board: the connection ended",
                                   text, sizeof text);
        EXPECT_STREQ(text, c.Text);
        EXPECT_EQ(n, (int)strlen(c.Text));
    }
    // A short buffer holds a cut text, ended.
    char small[12];
    EXPECT_EQ(SettingsReportText(names, 3, 7, "refused by the board", small, sizeof small), 11);
    EXPECT_EQ(strlen(small), 11u);
}
