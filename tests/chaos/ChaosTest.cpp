// The chaos run's own parts: schedules drawn from a seed and their text form, the shrinker,
// and the checker's rules on the cases it must let pass (the planted breaks it must catch are
// the self-check's).
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/ConnectionState.h"
#include "tests/chaos/ChaosCheck.h"
#include "tests/chaos/ChaosSchedule.h"
#include "tests/chaos/ChaosShrink.h"
#include "tests/chaos/ChaosSim.h"

namespace {

TEST(ChaosScheduleTest, SeedsDrawTheSameScheduleAndCoverEveryKind) {
    EXPECT_EQ(ChaosFormatSchedule(ChaosDrawSchedule(77)),
              ChaosFormatSchedule(ChaosDrawSchedule(77)));
    EXPECT_NE(ChaosFormatSchedule(ChaosDrawSchedule(77)),
              ChaosFormatSchedule(ChaosDrawSchedule(78)));
    std::set<std::string> kinds, faults;
    for (uint64_t i = 0; i < 600; i++) {
        ChaosSchedule s = ChaosDrawSchedule(ChaosScheduleSeed(5, i));
        ASSERT_FALSE(s.Events.empty());
        ChaosEventKind last = s.Events.back().Kind;
        EXPECT_TRUE(last == EV_EXIT || last == EV_END) << i;
        for (size_t k = 0; k < s.Events.size(); k++) {
            const ChaosEvent& e = s.Events[k];
            EXPECT_LE(e.AtMs, CHAOS_SESSION_MS);
            if (k) {
                EXPECT_GE(e.AtMs, s.Events[k - 1].AtMs);
            }
            if (k + 1 < s.Events.size()) {
                EXPECT_TRUE(e.Kind != EV_EXIT && e.Kind != EV_END);
            }
            kinds.insert(ChaosEventName(e.Kind));
            if (e.Kind == EV_FAULT)
                faults.insert(e.Text.substr(0, e.Text.find(' ')));
        }
    }
    EXPECT_EQ(kinds.size(), (size_t)EV_KIND_COUNT);
    // Every fault the emulator has, and the clearing "none".
    EXPECT_EQ(faults, (std::set<std::string>{"none", "silence", "delay", "badsum", "garbage",
                                             "zerolen", "oversize", "shortstate", "cut", "hangup",
                                             "deaf", "stream", "trickle", "refuse"}));
}

TEST(ChaosScheduleTest, TextFormReadsBackExactly) {
    for (uint64_t i = 0; i < 600; i++) {
        ChaosSchedule s = ChaosDrawSchedule(ChaosScheduleSeed(9, i));
        std::string text = ChaosFormatSchedule(s);
        ChaosSchedule back;
        std::string error;
        ASSERT_TRUE(ChaosParseSchedule(text, &back, &error)) << error << "\n" << text;
        EXPECT_EQ(back.Seed, s.Seed);
        ASSERT_EQ(back.Events.size(), s.Events.size());
        for (size_t k = 0; k < s.Events.size(); k++) {
            EXPECT_EQ(back.Events[k].AtMs, s.Events[k].AtMs);
            EXPECT_EQ(back.Events[k].Kind, s.Events[k].Kind);
            EXPECT_EQ(back.Events[k].Board, s.Events[k].Board);
            EXPECT_EQ(back.Events[k].Arg, s.Events[k].Arg);
            EXPECT_EQ(back.Events[k].Text, s.Events[k].Text);
        }
        EXPECT_EQ(ChaosFormatSchedule(back), text);
    }
    // Written by hand: spaces inside a typed line are kept, CR LF files read.
    ChaosSchedule s;
    std::string error;
    ASSERT_TRUE(ChaosParseSchedule("# seed 4\r\n\r\n  10 type S54=Bench 2\r\n20 setpoint 7\r\n"
                                   "30 pid D 0.5\n40 fault B refuse on ~BAUD\n50 end\n# done\n",
                                   &s, &error))
        << error;
    ASSERT_EQ(s.Events.size(), 5u);
    EXPECT_EQ(s.Seed, 4u);
    EXPECT_EQ(s.Events[0].Text, "S54=Bench 2");
    EXPECT_EQ(s.Events[1].Arg, 70);
    EXPECT_EQ(s.Events[2].Arg, 5);
    EXPECT_EQ(s.Events[3].Board, 1);
    EXPECT_EQ(s.Events[3].Text, "refuse on ~BAUD");
}

TEST(ChaosScheduleTest, BadInputNamesItsLine) {
    struct Case {
        const char* Text;
        const char* Error;
    } cases[] = {
        {"10 open A\n20 jump\n", "line 2: unknown event 'jump'"},
        {"10 open D\n", "line 1: 'D' is not a board (A, B or C or cancel)"},
        {"10 fault cancel silence\n", "line 1: 'cancel' is not a board (A, B or C)"},
        {"20 close\n10 close\n", "line 2: events must be in time order"},
        {"60001 close\n", "line 1: time '60001' is not a whole number of ms from 0 to 60000"},
        {"-5 close\n", "line 1: time '-5' is not a whole number of ms from 0 to 60000"},
        {"5 setpoint 100.1\n", "line 1: set point '100.1' is not 0.0 to 100.0 with one decimal"},
        {"5 setpoint 1.25\n", "line 1: set point '1.25' is not 0.0 to 100.0 with one decimal"},
        {"5 pid X 1\n", "line 1: PID term 'X' is not P, I or D"},
        {"# x\n5 fault A smoke\n", "line 2: unknown fault 'smoke'"},
        {"5 fault A delay\n", "line 1: fault delay needs a number"},
        {"5 fault A cut twice\n", "line 1: unexpected 'twice' in fault"},
        {"5 fault A\n", "line 1: fault needs a board and a fault"},
        {"5 close now\n", "line 1: close takes 0 arguments, not 1"},
        {"5 stuck A\n", "line 1: stuck takes 2 arguments, not 1"},
        {"5 paste S54||S65\n", "line 1: pasted lines are printable text split by '|'"},
        {"5 exit\n6 close\n", "line 2: nothing may follow exit or end"},
        {"5 exit\n\n# fine\n7 open A\n", "line 4: nothing may follow exit or end"},
    };
    for (const Case& c : cases) {
        ChaosSchedule s;
        std::string error;
        EXPECT_FALSE(ChaosParseSchedule(c.Text, &s, &error)) << c.Text;
        EXPECT_EQ(error, c.Error) << c.Text;
    }
}

TEST(ChaosShrinkTest, KeepsOnlyTheEventsTheFailureNeeds) {
    ChaosSchedule s = ChaosDrawSchedule(3);
    // A failure that needs a set point of 50.0 followed later by a power cycle of B.
    s.Events.insert(s.Events.begin() + s.Events.size() / 3,
                    ChaosEvent{s.Events[s.Events.size() / 3].AtMs, EV_SETPOINT, -1, 500, ""});
    s.Events.insert(s.Events.end() - 1, ChaosEvent{s.Events.back().AtMs, EV_POWERCYCLE, 1, 0, ""});
    auto fails = [](const ChaosSchedule& c) {
        int setPoint = 0;
        for (const ChaosEvent& e : c.Events) {
            if (e.Kind == EV_SETPOINT && e.Arg == 500)
                setPoint = 1;
            if (setPoint && e.Kind == EV_POWERCYCLE && e.Board == 1)
                return 1;
        }
        return 0;
    };
    ASSERT_TRUE(fails(s));
    ChaosShrinkResult r = ChaosShrink(s, fails);
    ASSERT_EQ(r.Schedule.Events.size(), 2u) << ChaosFormatSchedule(r.Schedule);
    EXPECT_EQ(r.Schedule.Events[0].Kind, EV_SETPOINT);
    EXPECT_EQ(r.Schedule.Events[1].Kind, EV_POWERCYCLE);
    EXPECT_TRUE(fails(r.Schedule));
    // A budget of runs is kept, and what comes back still fails.
    ChaosShrinkResult bounded = ChaosShrink(s, fails, 5);
    EXPECT_LE(bounded.Runs, 5);
    EXPECT_TRUE(fails(bounded.Schedule));
}

// Small traces of what the program may do; each lists the promises it breaks (none, mostly).
struct CheckCase {
    const char* Name;
    std::vector<ChaosTraceEntry> Entries;
    std::vector<int> Broken;
};

ChaosTraceEntry E(double t, ChaosTraceKind kind, int port = -1, uint32_t token = 0, long a = 0,
                  long b = 0, double v = 0.0, const std::string& text = "") {
    return ChaosTraceEntry{t, kind, port, token, a, b, v, text};
}

std::vector<ChaosTraceEntry> Up(double t, uint32_t token, long reconnection) {
    return {E(t, TR_WORKER_START, 0, token, reconnection, reconnection),
            E(t, TR_PORT_OPEN, 0, token), E(t + 0.2, TR_WORKER_UP, 0, token),
            E(t + 0.3, TR_IDENTIFIED, 0, token, 1)};
}

std::vector<ChaosTraceEntry> Down(double t, uint32_t token) {
    return {E(t, TR_WORKER_LINK_ERROR, 0, token), E(t, TR_PORT_CLOSE, 0, token),
            E(t, TR_WORKER_END, 0, token)};
}

std::vector<ChaosTraceEntry> Join(std::vector<std::vector<ChaosTraceEntry>> parts) {
    std::vector<ChaosTraceEntry> all;
    for (auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(ChaosCheckTest, RulesLetThroughWhatThePromisesAllow) {
    const CheckCase cases[] = {
        {"an end with the board out of reach may leave it moved",
         {E(0, TR_BOARD_OWN, 0, 0, 9600, CHAOS_LE_CR),
          E(1, TR_BOARD_SETTING, 0, 0, 230400, CHAOS_LE_CR), E(2, TR_END, 0, 1, 0, 0, 0, "close")},
         {}},
        {"the same end with the board reachable may not",
         {E(0, TR_BOARD_OWN, 0, 0, 9600, CHAOS_LE_CR),
          E(1, TR_BOARD_SETTING, 0, 0, 9600, CHAOS_LE_CRLF), E(2, TR_END, 0, 1, 1, 0, 0, "exit")},
         {INV_BOARD_RESTORED}},
        {"a port closed and opened again by the next run",
         {E(1, TR_PORT_OPEN, 0, 1), E(2, TR_PORT_CLOSE, 0, 1), E(2, TR_PORT_OPEN, 0, 2)},
         {}},
        {"the simulation may start beside a worker stuck on a board's port",
         {E(1, TR_WORKER_START, 0, 1), E(2, TR_WORKER_START, -1, 2)},
         {}},
        {"a second worker of the same port may not",
         {E(1, TR_WORKER_START, 0, 1), E(2, TR_WORKER_START, 0, 2)},
         {INV_ONE_OWNER}},
        {"an open refused while the board is unplugged", {E(1, TR_PORT_REFUSED, 0, 1, 0)}, {}},
        {"the session's end may wait a bounded while",
         {E(1, TR_WAIT, -1, 0, 0, 0, CHAOS_SESSION_END_WAIT_MAX, "end")},
         {}},
        {"a handler that does not wait", {E(1, TR_WAIT, -1, 0, 0, 0, 0.0, "close")}, {}},
        {"a value reported not sent needs not be the board's",
         {E(1, TR_VALUE_CHOSEN, -1, 0, CHAOS_VALUE_SETPOINT, 0, 30.0),
          E(2, TR_VALUE_NOT_SENT, -1, 0, CHAOS_VALUE_SETPOINT, 0, 30.0)},
         {}},
        {"a value the board already holds is not sent again",
         Join({{E(0, TR_BOARD_VALUE, 0, 0, CHAOS_VALUE_I, 0, 2.5)},
               Up(1, 1, 0),
               {E(3, TR_VALUE_CHOSEN, -1, 0, CHAOS_VALUE_I, 0, 2.5)}}),
         {}},
        {"a board restarted after the last value has forgotten it",
         Join({Up(1, 1, 0),
               {E(3, TR_VALUE_CHOSEN, -1, 0, CHAOS_VALUE_P, 0, 4.0),
                E(3.5, TR_VALUE_SENT, 0, 1, CHAOS_VALUE_P, 0, 4.0),
                E(3.6, TR_BOARD_VALUE, 0, 0, CHAOS_VALUE_P, 0, 4.0), E(5, TR_BOARD_POWER, 0),
                E(5, TR_BOARD_VALUE, 0, 0, CHAOS_VALUE_P, 0, 0.0)}}),
         {}},
        {"a value held for a controller that never came is lost unless reported",
         {E(1, TR_VALUE_CHOSEN, -1, 0, CHAOS_VALUE_D, 0, 1.0), E(9, TR_SESSION_OVER)},
         {INV_LINES_VALUES}},
        {"a value still waiting at a log-off goes with the session",
         {E(1, TR_VALUE_CHOSEN, -1, 0, CHAOS_VALUE_D, 0, 1.0),
          E(9, TR_OPERATOR, -1, 0, 0, 0, 0, "9000 end"),
          E(9, TR_ACTION, -1, 0, CHAOS_VALUE_D, 0, 1.0, "dropped at the log-off derivative gain"),
          E(9, TR_SESSION_OVER)},
         {}},
        {"a drop marked as at a log-off that never came excuses nothing",
         {E(1, TR_VALUE_CHOSEN, -1, 0, CHAOS_VALUE_D, 0, 1.0),
          E(9, TR_ACTION, -1, 0, CHAOS_VALUE_D, 0, 1.0, "dropped at the log-off derivative gain"),
          E(9, TR_SESSION_OVER)},
         {INV_LINES_VALUES}},
        {"one dropped at a log-off before the last choice excuses nothing",
         {E(1, TR_ACTION, -1, 0, CHAOS_VALUE_D, 0, 1.0, "dropped at the log-off derivative gain"),
          E(3, TR_VALUE_CHOSEN, -1, 0, CHAOS_VALUE_D, 0, 2.0), E(9, TR_SESSION_OVER)},
         {INV_LINES_VALUES}},
        {"a line still queued when the operator ends the session soon after",
         {E(1, TR_LINE_QUEUED, -1, 0, 1, 0, 0, "S112"),
          E(1.5, TR_OPERATOR, -1, 0, 0, 0, 0, "1500 exit"), E(2, TR_SESSION_OVER)},
         {}},
        {"a line the board heard twice, once more after a lost reply",
         {E(1, TR_LINE_QUEUED, -1, 0, 1, 0, 0, "Q9"), E(1, TR_BOARD_HEARD, 0, 0, 1, 0, 0, "Q9"),
          E(1.2, TR_BOARD_LOST, 0, 0, 0, 0, 0, "Q9"),
          E(1.3, TR_LINE_NOT_SENT, -1, 0, 1, 0, 0, "Q9"),
          E(2, TR_LINE_QUEUED, -1, 0, 2, 0, 0, "Q9"), E(2, TR_BOARD_HEARD, 0, 0, 1, 0, 0, "Q9"),
          E(2, TR_LINE_SENT, 0, 1, 2, 0, 0, "Q9")},
         {}},
        {"a line heard twice with one reply lost on another board",
         {E(1, TR_LINE_QUEUED, -1, 0, 1, 0, 0, "Q9"), E(1, TR_BOARD_HEARD, 0, 0, 1, 0, 0, "Q9"),
          E(1.1, TR_BOARD_LOST, 1, 0, 0, 0, 0, "Q9"), E(1.2, TR_BOARD_HEARD, 0, 0, 1, 0, 0, "Q9"),
          E(1.3, TR_LINE_SENT, 0, 1, 1, 0, 0, "Q9")},
         {INV_LINES_VALUES}},
        {"a line written while the cable was out goes again: the board never heard it",
         {E(1, TR_LINE_QUEUED, -1, 0, 1, 0, 0, "T5"), E(1, TR_LINE_SENT, 0, 1, 1, 0, 0, "T5"),
          E(3, TR_LINE_SENT, 0, 2, 1, 0, 0, "T5"), E(3, TR_BOARD_HEARD, 0, 0, 1, 0, 0, "T5")},
         {}},
        {"noise at the wrong speed is not a send",
         {E(0.5, TR_PORT_OPEN, 0, 1), E(1, TR_BOARD_HEARD, 0, 0, 0, 0, 0, "V5=10.000000")},
         {}},
        {"a set point typed by the operator is the operator's own",
         {E(0.5, TR_PORT_OPEN, 0, 1), E(1, TR_LINE_QUEUED, -1, 0, 1, 0, 0, "V5=10"),
          E(1, TR_BOARD_HEARD, 0, 0, 1, 0, 0, "V5=10"), E(1, TR_LINE_SENT, 0, 1, 1, 0, 0, "V5=10")},
         {}},
        {"a meter's run sends no set point",
         {E(0.5, TR_PORT_OPEN, 0, 1), E(0.6, TR_IDENTIFIED, 0, 1, 0),
          E(1, TR_VALUE_SENT, 0, 1, CHAOS_VALUE_SETPOINT, 0, 5.0)},
         {INV_IDENTIFIED}},
        {"a controller of an earlier run does not identify this one",
         Join({Up(1, 1, 0),
               Down(2, 1),
               {E(3, TR_WORKER_START, 0, 2, 1, 1), E(3, TR_PORT_OPEN, 0, 2),
                E(3.1, TR_BOARD_HEARD, 0, 0, 1, 0, 0, "~PR=3.000000")}}),
         {INV_IDENTIFIED}},
        {"quick failures up to the limit each get their reconnection",
         Join({Up(0, 1, 0), Down(1, 1), Up(1, 2, 1), Down(2, 2), Up(2, 3, 1), Down(3, 3),
               Up(3, 4, 1)}),
         {}},
        {"a run that held resets the count",
         Join({Up(0, 1, 0), Down(1, 1), Up(1, 2, 1), Down(2, 2), Up(2, 3, 1), Down(3, 3),
               Up(3, 4, 1), Down(3.5 + QUICK_FAULT_SECONDS, 4), Up(14, 5, 1), Down(15, 5),
               Up(15, 6, 1)}),
         {}},
        {"one more quick failure and a reconnection is past the limit",
         Join({Up(0, 1, 0), Down(1, 1), Up(1, 2, 1), Down(2, 2), Up(2, 3, 1), Down(3, 3),
               Up(3, 4, 1), Down(4, 4), Up(4, 5, 1)}),
         {INV_GIVE_UP}},
        {"a ride-through's attempts within its clock are one reconnection",
         Join({Up(0, 1, 0),
               Down(1, 1),
               {E(1, TR_WORKER_START, 0, 2, 1, 1), E(1.5, TR_WORKER_FAILED, 0, 2),
                E(1.5, TR_WORKER_END, 0, 2), E(2, TR_WORKER_START, 0, 3, 1, 1),
                E(2.5, TR_WORKER_FAILED, 0, 3), E(2.5, TR_WORKER_END, 0, 3),
                E(10.5, TR_WORKER_START, 0, 4, 1, 1)}}),
         {}},
        {"a log line from the record its own run read",
         Join({Up(0, 1, 0),
               {E(0.5, TR_LOG_START), E(1, TR_RECORD_READ, 0, 1, 7),
                E(1, TR_LOG_LINE, -1, 0, 7, 0, 0, "12/10/2026,09:00:01,5.000000\n"),
                E(2, TR_LOG_LINE, -1, 0, 7, 0, 0, "12/10/2026,09:00:01,5.000000\n")}}),
         {}},
        {"a new log may start earlier in the day than the last ended",
         Join({Up(0, 1, 0),
               {E(0.5, TR_LOG_START), E(1, TR_RECORD_READ, 0, 1, 7),
                E(1, TR_LOG_LINE, -1, 0, 7, 0, 0, "12/10/2026,09:00:01,5.000000\n"),
                E(1.5, TR_LOG_STOP), E(1.6, TR_LOG_START),
                E(2, TR_LOG_LINE, -1, 0, 7, 0, 0, "12/10/2026,08:00:00.100,5.000000\n")}}),
         {}},
        {"a log line after Stop Log",
         Join({Up(0, 1, 0),
               {E(0.5, TR_LOG_START), E(1, TR_RECORD_READ, 0, 1, 7), E(1.5, TR_LOG_STOP),
                E(2, TR_LOG_LINE, -1, 0, 7, 0, 0, "12/10/2026,09:00:01,5.000000\n")}}),
         {INV_LOG_LINES}},
    };
    for (const CheckCase& c : cases) {
        ChaosTrace t{c.Entries};
        std::set<int> broken;
        std::string shown;
        for (const ChaosViolation& v : ChaosCheckTrace(t)) {
            broken.insert((int)v.Invariant);
            shown += ChaosFormatViolation(v) + "\n";
        }
        EXPECT_EQ(broken, std::set<int>(c.Broken.begin(), c.Broken.end())) << c.Name << "\n"
                                                                           << shown;
    }
}

TEST(ChaosCheckTest, WholeLogLines) {
    struct Case {
        const char* Line;
        int Whole;
    } cases[] = {
        {"12/10/2026,14:00:02.500,12.500000\n", 1},
        {"12/10/2026,14:00:02,-0.125000\n", 1},
        {"12/10/2026,14:00:02.500,12.500000", 0}, // no newline
        {"12/10/2026,14:00:02.500,12.5000\n", 0}, // cut in the number
        {"12/10/2026,14:00:0", 0},
        {"13/10/2026,14:00:02,1.000000\n", 0},
        {"12/10/2026,14:00:02.5,1.000000\n", 0},
        {"12/10/2026,14:00:02,1.000000\n12/10", 0},
        {"", 0},
    };
    for (const Case& c : cases) {
        double key;
        EXPECT_EQ(ChaosLogLineWhole(c.Line, &key), c.Whole) << c.Line;
    }
}

TEST(ChaosSimTest, ASeedGivesTheSameRunWhereverItComesInACampaign) {
    ChaosSchedule s = ChaosDrawSchedule(ChaosScheduleSeed(1, 7));
    std::string first = ChaosFormatTrace(ChaosSimulate(s));
    // Other schedules between: nothing of theirs (a board's saved speed, the queue, the
    // simulated flow) may carry over into the next run.
    for (uint64_t i = 0; i < 6; i++)
        ChaosSimulate(ChaosDrawSchedule(ChaosScheduleSeed(2, i)));
    EXPECT_EQ(ChaosFormatTrace(ChaosSimulate(s)), first);
    // The run did something: the board was opened, and the session ended.
    EXPECT_NE(first.find("port-open"), std::string::npos);
    EXPECT_NE(first.find("session-over"), std::string::npos);
}

} // namespace
