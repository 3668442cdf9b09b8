// The emulated board as an instance and its line layer: several boards in one process, reply
// timing, the speed gate, the cable, the power and the record, with times and bytes worked
// out by hand from the board's protocol.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/EmuLine.h"
#include "emulator/EmuModel.h"

namespace {

const int64_t T0 = 5000;

EmuSettings Settings(int kind, long baud, const char* name) {
    EmuSettings settings;
    EmuDefaultSettings(&settings);
    settings.kind = kind;
    settings.baud = baud;
    snprintf(settings.name, sizeof settings.name, "%s", name);
    return settings;
}

std::string Reply(EmuBoard* board, const char* command, int64_t nowMs = T0) {
    EmuOutput out;
    EmuHandleCommand(board, command, nowMs, &out);
    return out.bytes;
}

// A line with a controller at 9600 and a record of the last `capacity` entries.
struct LineFixture {
    explicit LineFixture(size_t capacity = 256, long baud = 9600) {
        EmuSettings settings = Settings(EMU_KIND_CONTROLLER, baud, "L");
        Line = EmuLineCreate(&settings, T0, capacity);
    }
    ~LineFixture() { EmuLineDestroy(Line); }

    void Send(const std::string& bytes, int64_t nowMs, long speed = 9600) {
        EmuLineReceive(Line, bytes.data(), bytes.size(), speed, nowMs);
    }
    void Control(const char* text, int64_t nowMs) {
        std::string error;
        ASSERT_EQ(EmuLineControl(Line, text, nowMs, &error), 1) << text << ": " << error;
    }
    // The bytes due by nowMs, taken off the line.
    std::string Take(int64_t nowMs) {
        std::string taken;
        const char* bytes;
        size_t n;
        while ((n = EmuLineDue(Line, nowMs, &bytes)) > 0) {
            taken.append(bytes, n);
            EmuLineTake(Line, n);
        }
        return taken;
    }
    // The record's entries of one kind as "ms value text".
    std::vector<std::string> Entries(EmuRecordKind kind) const {
        std::vector<std::string> found;
        for (uint64_t i = EmuRecordFirst(Line); i < EmuRecordTotal(Line); i++) {
            const EmuRecordEntry* e = EmuRecordAt(Line, i);
            if (e->Kind == kind)
                found.push_back(std::to_string(e->Ms) + " " + std::to_string(e->Value) + " " +
                                e->Text);
        }
        return found;
    }

    EmuLine* Line;
};

typedef std::vector<std::string> Texts;

TEST(EmulatorInstance, TwoBoardsInOneProcessShareNothing) {
    EmuSettings a = Settings(EMU_KIND_CONTROLLER, 9600, "Alpha");
    EmuSettings b = Settings(EMU_KIND_METER, 19200, "Beta");
    EmuBoard* alpha = EmuBoardCreate(&a, T0);
    EmuBoard* beta = EmuBoardCreate(&b, T0);
    std::string error;
    ASSERT_EQ(EmuControlCommand(alpha, "fault garbage 3", T0, &error), 1);
    EXPECT_EQ(Reply(alpha, "S54=Changed").size(), 3u + 2u);  // junk, CR, prompt
    EXPECT_EQ(Reply(alpha, "~SNLC=0x0D0A").size(), 3u + 3u); // junk, CR LF, prompt
    EXPECT_EQ(Reply(alpha, "V5=40").size(), 3u + 3u);
    Reply(alpha, "~BAUD=230400");

    EXPECT_EQ(Reply(beta, "S54"), "Beta\r>");
    EXPECT_EQ(Reply(beta, "S65"), "xd\r>");
    EXPECT_EQ(Reply(beta, "S64"), "x0\r>");
    EXPECT_EQ(EmuBoardBaud(beta, T0 + 100), 19200);
    EXPECT_EQ(EmuBoardBaud(alpha, T0 + 100), 230400);
    EXPECT_EQ(EmuCurrentFault(beta).kind, EMU_FAULT_NONE);
    // Alpha's set point drives its flow; the meter keeps swinging around 40 % on its own.
    EXPECT_NEAR(EmuCurrentFlow(alpha, T0 + 3000), 40.0, 0.2);
    EXPECT_NEAR(EmuCurrentFlow(beta, T0 + 2500), 45.0, 0.2);
    ASSERT_EQ(EmuControlCommand(alpha, "fault none", T0 + 3000, &error), 1);
    EXPECT_EQ(Reply(alpha, "S54", T0 + 3000), "Changed\r\n>");
    EmuBoardDestroy(alpha);
    EmuBoardDestroy(beta);
}

TEST(EmulatorLine, RepliesLeaveWhenDueInTheOrderOfTheirCommands) {
    LineFixture f;
    f.Control("fault delay 300 once", T0);
    f.Send("S64\r", T0);
    f.Send("S65\r", T0 + 10);
    // The second reply has no delay of its own but waits behind the first.
    EXPECT_EQ(EmuLineNextDueMs(f.Line), T0 + 300);
    EXPECT_EQ(f.Take(T0 + 299), "");
    EXPECT_EQ(f.Take(T0 + 300), "x1\r>xd\r>");
    EXPECT_EQ(EmuLineNextDueMs(f.Line), -1);

    // A trickled reply goes out a byte at a time, 20 ms apart.
    f.Control("fault trickle 20 once", T0 + 1000);
    f.Send("S64\r", T0 + 1000);
    std::vector<int64_t> due;
    std::string bytes;
    for (int64_t next; (next = EmuLineNextDueMs(f.Line)) >= 0;) {
        due.push_back(next);
        bytes += f.Take(next);
    }
    EXPECT_EQ(due, (std::vector<int64_t>{T0 + 1000, T0 + 1020, T0 + 1040, T0 + 1060}));
    EXPECT_EQ(bytes, "x1\r>");
    // A part taken leaves the rest of the chunk at the head of the queue.
    f.Send("S54\r", T0 + 2000);
    const char* head;
    ASSERT_EQ(EmuLineDue(f.Line, T0 + 2000, &head), 3u);
    EmuLineTake(f.Line, 1);
    EXPECT_EQ(f.Take(T0 + 2000), "\r>");
}

TEST(EmulatorLine, ABoardAtAnotherSpeedHearsNoiseAndSwitchesFiftyMsAfterBaud) {
    LineFixture f;
    f.Send("S6", T0);
    f.Send("4\r", T0, 19200); // noise: also spoils the half-heard command
    f.Send("S65\r", T0);
    EXPECT_EQ(f.Take(T0), "xd\r>");
    f.Send("~BAUD=230400\r", T0 + 100);
    EXPECT_EQ(f.Take(T0 + 100), ""); // the board says nothing to a speed change
    f.Send("S64\r", T0 + 149);
    EXPECT_EQ(f.Take(T0 + 149), "x1\r>");
    f.Send("S64\r", T0 + 150);
    EXPECT_EQ(f.Take(T0 + 150), "");
    f.Send("S64\r", T0 + 150, 230400);
    EXPECT_EQ(f.Take(T0 + 150), "x1\r>");

    EXPECT_EQ(f.Entries(EMU_REC_NOISE), (Texts{"5000 2 4\r", "5150 4 S64\r"}));
    EXPECT_EQ(f.Entries(EMU_REC_COMMAND), (Texts{"5000 9600 S65", "5100 9600 ~BAUD=230400",
                                                 "5149 9600 S64", "5150 230400 S64"}));
    EXPECT_EQ(f.Entries(EMU_REC_SPEED), (Texts{"5000 9600 start", "5150 230400 ~BAUD"}));
}

TEST(EmulatorLine, UnpluggedTheLineLosesItsQueueAndComesBackAsANewPort) {
    LineFixture f;
    f.Control("fault delay 100", T0);
    f.Send("S54\r", T0);
    f.Control("fault hangup 500", T0 + 10);
    EXPECT_EQ(EmuLinePlugged(f.Line, T0 + 10), 0);
    f.Send("S64\r", T0 + 20); // nothing arrives without a cable
    EXPECT_EQ(EmuLinePlugged(f.Line, T0 + 509), 0);
    EXPECT_EQ(EmuLineNextChangeMs(f.Line, T0 + 20), T0 + 510);
    EXPECT_EQ(EmuLinePlugged(f.Line, T0 + 510), 1);
    EXPECT_EQ(EmuLinePlugCount(f.Line), 1u);
    EXPECT_EQ(f.Take(T0 + 1000), "");

    // Unplugged until the fault is cleared.
    f.Control("fault hangup 0", T0 + 2000);
    EXPECT_EQ(EmuLinePlugged(f.Line, T0 + 60000), 0);
    f.Control("fault none", T0 + 60000);
    EXPECT_EQ(EmuLinePlugged(f.Line, T0 + 60000), 1);
    EXPECT_EQ(EmuLinePlugCount(f.Line), 2u);

    EXPECT_EQ(f.Entries(EMU_REC_UNPLUG), (Texts{"5010 500 ", "7000 0 "}));
    EXPECT_EQ(f.Entries(EMU_REC_PLUG), (Texts{"5510 0 ", "65000 0 "}));
    EXPECT_EQ(f.Entries(EMU_REC_REPLY_LOST),
              (Texts{"5010 " + std::to_string(EMU_LOST_UNPLUG) + " S54"}));
    EXPECT_EQ(f.Entries(EMU_REC_COMMAND), (Texts{"5000 9600 S54"}));
}

TEST(EmulatorLine, APowerCycleBringsTheBoardBackAtItsOwnSpeedAndLineEnding) {
    LineFixture f(256, 19200);
    f.Send("~SNLC=0x0D0A\r~PR=500\r~BAUD=230400\r", T0, 19200);
    f.Send("V5=30\r", T0 + 100, 230400);
    EXPECT_EQ(f.Take(T0 + 100), "\r\n>\r\n>\r\n>");
    f.Control("powercycle 1000", T0 + 200);
    f.Send("S65\r", T0 + 700, 19200); // reaches a board without power
    EXPECT_EQ(EmuLinePowered(f.Line, T0 + 1199), 0);
    EXPECT_EQ(EmuLinePowered(f.Line, T0 + 1200), 1);
    f.Send("S65\r", T0 + 1200, 230400);
    EXPECT_EQ(f.Take(T0 + 1200), "");
    f.Send("S65\rV5\r", T0 + 1200, 19200);
    EXPECT_EQ(f.Take(T0 + 1200), "xd\r>0.000000\r>");
    EmuBoard* board = EmuLineBoard(f.Line);
    EXPECT_EQ(EmuBoardOwnBaud(board), 19200);
    EXPECT_EQ(EmuBoardOwnLineEnding(board), 0x0Du);

    EXPECT_EQ(f.Entries(EMU_REC_SPEED),
              (Texts{"5000 19200 start", "5050 230400 ~BAUD", "6200 19200 power"}));
    EXPECT_EQ(f.Entries(EMU_REC_LINE_ENDING),
              (Texts{"5000 13 start", "5000 3338 ~SNLC=0x0D0A", "6200 13 power"}));
    EXPECT_EQ(f.Entries(EMU_REC_POWER_OFF), (Texts{"5200 1000 "}));
    EXPECT_EQ(f.Entries(EMU_REC_POWER_ON), (Texts{"6200 0 "}));
    EXPECT_EQ(f.Entries(EMU_REC_UNHEARD),
              (Texts{"5700 " + std::to_string(EMU_LOST_OFF) + " S65\r"}));
}

TEST(EmulatorRecord, RepliesLostToAFaultAreRecordedWithTheirCommand) {
    struct Case {
        const char* control;
        const char* command;
        EmuRecordKind kind;
        EmuLoss why;
    };
    const Case cases[] = {
        {"fault silence once", "S64", EMU_REC_REPLY_LOST, EMU_LOST_SILENCE},
        {"mute s54", "S54", EMU_REC_REPLY_LOST, EMU_LOST_MUTE},
        {"fault cut once", "S65", EMU_REC_REPLY_LOST, EMU_LOST_CUT},
        {"fault stream 100 once", "S65", EMU_REC_REPLY_LOST, EMU_LOST_STREAM},
        {"fault deaf 1", "V5=10", EMU_REC_UNHEARD, EMU_LOST_DEAF},
        {"fault delay 1000 once", "S64", EMU_REC_REPLY_LOST, EMU_LOST_RESET}, // then reset
    };
    for (const Case& c : cases) {
        LineFixture f;
        f.Control(c.control, T0);
        f.Send(std::string(c.command) + "\r", T0);
        if (c.why == EMU_LOST_RESET)
            f.Control("reset", T0 + 10);
        f.Send("S64\r", T0 + 20); // a later reply is not lost: one entry only
        Texts lost = f.Entries(c.kind);
        ASSERT_EQ(lost.size(), 1u) << c.control;
        EXPECT_EQ(lost[0], std::to_string(c.why == EMU_LOST_RESET ? T0 + 10 : T0) + " " +
                               std::to_string(c.why) + " " + c.command)
            << c.control;
    }

    // A reply left on the line while nobody held the port goes at the next open's purge;
    // one still to come stays.
    LineFixture f;
    f.Send("S64\r", T0);
    f.Control("fault delay 500 once", T0 + 1);
    f.Send("S65\r", T0 + 1);
    EXPECT_EQ(EmuLinePurge(f.Line, T0 + 100), 4u);
    EXPECT_EQ(f.Entries(EMU_REC_REPLY_LOST),
              (Texts{"5100 " + std::to_string(EMU_LOST_PURGED) + " S64"}));
    EXPECT_EQ(f.Take(T0 + 501), "xd\r>");
}

TEST(EmulatorRecord, KeepsTheNewestEntriesAndCountsTheDropped) {
    LineFixture f(4);
    for (int i = 0; i < 10; i++)
        f.Send("V" + std::to_string(i) + "\r", T0 + i);
    // Two entries at the start (speed, line ending) and ten commands.
    EXPECT_EQ(EmuRecordTotal(f.Line), 12u);
    EXPECT_EQ(EmuRecordFirst(f.Line), 8u);
    EXPECT_EQ(EmuRecordAt(f.Line, 7), nullptr);
    EXPECT_EQ(EmuRecordAt(f.Line, 12), nullptr);
    EXPECT_EQ(f.Entries(EMU_REC_COMMAND),
              (Texts{"5006 9600 V6", "5007 9600 V7", "5008 9600 V8", "5009 9600 V9"}));
}

} // namespace
