// The emulated board without its pty: command in, reply bytes out, checked against the
// board's protocol worked out by hand.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "emulator/EmuModel.h"

namespace {

const int64_t T0 = 1000000;

// The board the cases of this file talk to; each starts a fresh one.
EmuBoard* B;

void StartBoard(int kind = EMU_KIND_CONTROLLER, const char* name = "") {
    EmuSettings settings;
    EmuDefaultSettings(&settings);
    settings.kind = kind;
    snprintf(settings.name, sizeof settings.name, "%s", name);
    EmuBoardDestroy(B);
    B = EmuBoardCreate(&settings, T0);
}

EmuOutput Send(const std::string& command, int64_t nowMs = T0) {
    EmuOutput out;
    EmuHandleCommand(B, command.c_str(), nowMs, &out);
    return out;
}

void Control(const char* line, int64_t nowMs = T0) {
    std::string error;
    ASSERT_EQ(EmuControlCommand(B, line, nowMs, &error), 1) << line << ": " << error;
}

// A frame is valid when 0x1234 + every byte before the checksum + the checksum is 0 mod 2^16.
bool FrameValid(const std::string& bytes) {
    if (bytes.size() < 4)
        return false;
    unsigned length = ((uint8_t)bytes[0] << 8) | (uint8_t)bytes[1];
    if (length != bytes.size())
        return false;
    unsigned sum = 0x1234;
    for (size_t i = 0; i + 2 < bytes.size(); i++)
        sum += (uint8_t)bytes[i];
    sum += ((uint8_t)bytes[length - 2] << 8) | (uint8_t)bytes[length - 1];
    return (sum & 0xFFFF) == 0;
}

float FloatAt(const std::string& bytes, size_t offset) {
    uint32_t bits = 0;
    for (int i = 3; i >= 0; i--)
        bits = (bits << 8) | (uint8_t)bytes[offset + i];
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

unsigned WordAt(const std::string& bytes, size_t offset) {
    return (uint8_t)bytes[offset] | ((uint8_t)bytes[offset + 1] << 8);
}

struct ReplyCase {
    const char* label;
    std::vector<const char*> before; // sent first, replies ignored
    std::string command;
    std::string expected;
};

TEST(EmulatorModel, AsciiRepliesOfAFreshControllerInHandWorkedBytes) {
    const std::string invalid = "Invalid Command\r>";
    const std::vector<ReplyCase> cases = {
        {"probe", {}, "2", invalid},
        {"line ending starts as CR", {}, "S65", "xd\r>"},
        {"CR LF setting", {"~SNLC=0x0D0A"}, "S65", "xd0a\r\n>"},
        {"setting without 0x", {"~SNLC=a"}, "S65", "xa\n>"},
        {"~SNLC answers with the new ending", {}, "~SNLC=0x0D0A", "\r\n>"},
        {"command names ignore case", {}, "s65", "xd\r>"},
        {"controller configuration", {}, "S64", "x1\r>"},
        {"empty name starts with CR", {}, "S54", "\r>"},
        {"name set and read", {"S54=Line 4 MFC"}, "S54", "Line 4 MFC\r>"},
        {"verbose off", {}, "S112=0", "\r>"},
        {"V1 decimal", {"V1=7"}, "V1", "7\r>"},
        {"V12 zero", {"V12=0"}, "V12", "0\r>"},
        {"V2 written and read in hex", {"V2=141"}, "V2", "x141\r>"},
        {"V2 with 0x", {"V2=0x1F"}, "V2", "x1f\r>"},
        {"set point", {"V5=12.5"}, "V5", "12.500000\r>"},
        {"proportional", {"V24=2.25"}, "V24", "2.250000\r>"},
        {"derivative", {"V25=0.125"}, "V25", "0.125000\r>"},
        {"integral", {"V26=3"}, "V26", "3.000000\r>"},
        {"cracking", {"V29=4000"}, "V29", "4000\r>"},
        {"valve drive is zero at set point 0", {"V5=0"}, "V27", "0\r>"},
        {"valve drive: cracking + 300 per %", {"V29=1000", "V5=10"}, "V27", "4000\r>"},
        {"RAM bias moves the drive", {"V5=10", "~CBR=2000"}, "V27", "5000\r>"},
        {"drive saturates at 100 %", {"V29=1000", "V5=1e300"}, "V27", "31000\r>"},
        {"RAM proportional", {}, "~PR=500.000000", "\r>"},
        {"RAM bias", {}, "~CBR=12000", "\r>"},
        {"factory mode", {}, "FLOK=5807", "\r>"},
        {"factory mode off", {}, "FLOK", "\r>"},
        {"flow state collection", {}, "~EFSC", "\r>"},
        {"bump", {}, "~BVD=16000", "\r>"},
        {"gas symbol", {}, "G4", "N2\r>"},
        {"gas units", {}, "G7", "sccm\r>"},
        {"full scale", {}, "G18", "500.000000\r>"},
        {"time factor", {}, "G19", "1.000000\r>"},
        {"totalizer clear", {}, "G31=0", "\r>"},
        {"replies follow the new ending", {"~SNLC=0x0D0A"}, "2", "Invalid Command\r\n>"},
        {"set point not a number", {}, "V5=abc", invalid},
        {"set point nan", {}, "V5=nan", invalid},
        {"negative register", {}, "V1=-1", invalid},
        {"register overflow", {}, "V1=99999999999", invalid},
        {"valve drive is read-only", {}, "V27=5", invalid},
        {"RAM values are write-only", {}, "~PR", invalid},
        {"wrong factory key", {}, "FLOK=1234", invalid},
        {"totalizer only clears to 0", {}, "G31=5", invalid},
        {"unsupported speed", {}, "~BAUD=12345", invalid},
        {"name with prompt", {}, "S54=a>b", invalid},
        {"empty command", {}, "", invalid},
        {"over-long command", {}, std::string(201, 'V'), invalid},
    };
    for (const ReplyCase& c : cases) {
        StartBoard();
        for (const char* before : c.before)
            Send(before);
        EmuOutput out = Send(c.command);
        EXPECT_EQ(out.reply, 1) << c.label;
        EXPECT_EQ(out.delayMs, 0) << c.label;
        EXPECT_EQ(out.bytes, c.expected) << c.label;
    }
}

TEST(EmulatorModel, MeterNameAndGasComeFromStartUpAndControl) {
    StartBoard(EMU_KIND_METER, "Bench 7");
    EXPECT_EQ(Send("S64").bytes, "x0\r>");
    EXPECT_EQ(Send("S54").bytes, "Bench 7\r>");
    Control("gas 1");
    EXPECT_EQ(Send("G4").bytes, "Ar\r>");
    EXPECT_EQ(Send("G7").bytes, "slpm\r>");
    EXPECT_EQ(Send("G18").bytes, "10.000000\r>");
    // A gas slot with nothing in it answers with empty texts.
    Control("gas 77");
    EXPECT_EQ(Send("G4").bytes, "\r>");
    Control("kind controller");
    EXPECT_EQ(Send("S64").bytes, "x1\r>");
    Control("name Rig B");
    EXPECT_EQ(Send("S54").bytes, "Rig B\r>");
}

TEST(EmulatorModel, BaudCommandIsSilentAndSwitchesAfterItsWindow) {
    StartBoard();
    EXPECT_EQ(EmuBoardBaud(B, T0), 9600);
    EmuOutput out = Send("~BAUD=230400", T0 + 1000);
    EXPECT_EQ(out.reply, 0);
    EXPECT_EQ(EmuBoardBaud(B, T0 + 1049), 9600);
    EXPECT_EQ(EmuBoardBaud(B, T0 + 1050), 230400);
    Control("baud 19200", T0 + 2000);
    EXPECT_EQ(EmuBoardBaud(B, T0 + 2000), 19200);
}

TEST(EmulatorModel, FrameBuilderMatchesTheProtocolExamples) {
    const struct {
        std::string payload;
        std::string frame;
    } cases[] = {
        {"abc", std::string("\x00\x07\x61\x62\x63\xEC\x9F", 7)},
        {"", std::string("\x00\x04\xED\xC8", 4)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EmuBuildFrame((const uint8_t*)c.payload.data(), c.payload.size()), c.frame);
}

TEST(EmulatorModel, StateFrameCarriesSetPointFlowFlagsAndGas) {
    StartBoard();
    Send("V5=25", T0);
    Control("flags 8001", T0);
    Control("gas 1", T0);
    // Three seconds is ten time constants: the flow has reached the set point.
    EmuOutput out = Send("~GLSV", T0 + 3000);
    ASSERT_EQ(out.bytes.size(), 44u);
    EXPECT_EQ((uint8_t)out.bytes[0], 0x00);
    EXPECT_EQ((uint8_t)out.bytes[1], 0x2C);
    EXPECT_TRUE(FrameValid(out.bytes));
    const std::string payload = out.bytes.substr(2, 40);
    float flow = FloatAt(payload, 4);
    EXPECT_NEAR(flow, 25.0, 0.1);
    EXPECT_EQ(FloatAt(payload, 8), 25.0f);
    int32_t counts = (int32_t)((uint8_t)payload[0] | ((uint8_t)payload[1] << 8) |
                               ((uint8_t)payload[2] << 16) | ((uint32_t)(uint8_t)payload[3] << 24));
    EXPECT_NEAR(counts, 25.0 * 23145.3 + 3400000, 0.1 * 23145.3);
    EXPECT_EQ(WordAt(payload, 36), 0x8001u);
    EXPECT_EQ(WordAt(payload, 38), 1u);
}

TEST(EmulatorModel, RawCountsSaturateForAFlowFarOutsideTheSensorRange) {
    const struct {
        const char* flow;
        uint32_t counts;
    } cases[] = {
        {"flow 0", 3400000u},
        {"flow 100", 5714530u},
        {"flow 1e12", 0x7FFFFFFFu},
        {"flow -1e12", 0x80000000u},
    };
    for (const auto& c : cases) {
        StartBoard();
        Control(c.flow, T0);
        std::string frame = Send("~GLSV", T0 + 10).bytes;
        uint32_t counts = (uint8_t)frame[2] | ((uint8_t)frame[3] << 8) | ((uint8_t)frame[4] << 16) |
                          ((uint32_t)(uint8_t)frame[5] << 24);
        EXPECT_EQ(counts, c.counts) << c.flow;
    }
}

TEST(EmulatorModel, ControllerFlowLagsBehindTheSetPoint) {
    StartBoard();
    Send("V5=50", T0);
    // After one time constant (300 ms) a first-order lag has covered 1 - 1/e of the step.
    EXPECT_NEAR(EmuCurrentFlow(B, T0 + 300), 50.0 * (1.0 - 0.3679), 1.0);
    EXPECT_NEAR(EmuCurrentFlow(B, T0 + 3000), 50.0, 0.1);
}

TEST(EmulatorModel, TotalizerIntegratesFractionOfFullScaleMinutesAndClears) {
    StartBoard();
    Control("flow 60", T0);
    // One minute at 60 % of full scale is 0.6 full-scale minutes.
    EmuOutput out = Send("~GLSV", T0 + 60000);
    EXPECT_EQ(FloatAt(out.bytes, 2 + 4), 60.0f);
    EXPECT_NEAR(FloatAt(out.bytes, 2 + 28), 0.6, 1e-4);
    Send("G31=0", T0 + 60000);
    out = Send("~GLSV", T0 + 60000);
    EXPECT_EQ(FloatAt(out.bytes, 2 + 28), 0.0f);
    out = Send("~GLSV", T0 + 90000);
    EXPECT_NEAR(FloatAt(out.bytes, 2 + 28), 0.3, 1e-4);
}

TEST(EmulatorModel, SampleStreamsDeliverOnePerFiveMillisecondsEachWithItsOwnCursor) {
    const struct {
        const char* command;
        size_t recordSize;
    } streams[] = {{"~GAFV", 4}, {"~GFF", 4}, {"~GRF", 4}, {"~GSV", 12}};
    for (const auto& s : streams) {
        StartBoard();
        Control("flow 30", T0);
        EmuOutput out = Send(s.command, T0 + 200);
        ASSERT_TRUE(FrameValid(out.bytes)) << s.command;
        EXPECT_EQ(out.bytes.size() - 4, 40 * s.recordSize) << s.command;
        // The newest sample; the filtered stream starts from rest and needs a few ticks.
        EXPECT_NEAR(FloatAt(out.bytes, 2 + 39 * s.recordSize), 30.0, 0.5) << s.command;
        // Nothing new at the same instant; capped after a long pause.
        EXPECT_EQ(Send(s.command, T0 + 200).bytes.size(), 4u) << s.command;
        out = Send(s.command, T0 + 5000);
        EXPECT_EQ(out.bytes.size() - 4, 250 * s.recordSize) << s.command;
    }
    // The streams do not share a cursor.
    StartBoard();
    EXPECT_EQ(Send("~GAFV", T0 + 100).bytes.size() - 4, 80u);
    EXPECT_EQ(Send("~GFF", T0 + 100).bytes.size() - 4, 80u);
}

TEST(EmulatorModel, FaultsShapeTheRepliesTheyAffect) {
    const std::string probeReply = "Invalid Command\r>";
    struct FaultCase {
        const char* fault;
        const char* command;
        int reply;
        long delayMs;
        size_t size; // bytes on the line
        int frameValid;
    };
    const FaultCase cases[] = {
        {"fault silence", "2", 0, 0, 0, 0},
        {"fault delay 300", "2", 1, 300, probeReply.size(), 0},
        {"fault garbage 5", "2", 1, 0, probeReply.size() + 5, 0},
        {"fault cut", "2", 1, 0, probeReply.size() / 2, 0},
        {"fault badsum", "~GLSV", 1, 0, 44, 0},
        {"fault badsum", "2", 1, 0, probeReply.size(), 0},
        {"fault zerolen", "~GAFV", 1, 0, 2, 0},
        {"fault oversize", "~GLSV", 1, 0, 8100, 1},
        {"fault shortstate", "~GLSV", 1, 0, 28, 1},
        {"fault shortstate", "~GAFV", 1, 0, 4 + 4 * 20, 1},
        {"fault cut", "~GLSV", 1, 0, 22, 0},
    };
    for (const FaultCase& c : cases) {
        StartBoard();
        Send("~GAFV", T0);
        Control(c.fault, T0);
        EmuOutput out = Send(c.command, T0 + 100);
        std::string label = std::string(c.fault) + " / " + c.command;
        EXPECT_EQ(out.reply, c.reply) << label;
        EXPECT_EQ(out.delayMs, c.delayMs) << label;
        EXPECT_EQ(out.bytes.size(), c.size) << label;
        if (c.command[0] == '~') {
            EXPECT_EQ(FrameValid(out.bytes), c.frameValid == 1) << label;
        }
    }
}

TEST(EmulatorModel, GarbageComesBeforeAnIntactReplyAndHoldsNoPrompt) {
    StartBoard();
    Control("fault garbage 64");
    EmuOutput out = Send("S64");
    ASSERT_EQ(out.bytes.size(), 64u + 4u);
    EXPECT_EQ(out.bytes.substr(64), "x1\r>");
    EXPECT_EQ(out.bytes.substr(0, 64).find('>'), std::string::npos);
}

// A streaming device sends reading lines 20 ms apart for the fault's time and never the
// prompt; a trickled reply is the real one, one byte per gap.
TEST(EmulatorModel, StreamAndTrickleSpreadTheirBytesOverTime) {
    StartBoard();
    Control("fault stream 1000 once");
    EmuOutput streamed = Send("~GLSV");
    EXPECT_EQ(streamed.gapMs, 20);
    ASSERT_GT(streamed.chunkBytes, 0u);
    EXPECT_EQ(streamed.bytes.size() / streamed.chunkBytes, 50u);
    EXPECT_EQ(streamed.bytes.find('>'), std::string::npos);
    EXPECT_EQ(Send("2").bytes, "Invalid Command\r>");

    Control("fault trickle 100");
    EmuOutput trickled = Send("S64");
    EXPECT_EQ(trickled.bytes, "x1\r>");
    EXPECT_EQ(trickled.gapMs, 100);
    EXPECT_EQ(trickled.chunkBytes, 1u);
}

TEST(EmulatorModel, OnceFaultsLastForTheNextReplyTheyAlter) {
    StartBoard();
    Control("fault silence once");
    EXPECT_EQ(Send("2").reply, 0);
    EXPECT_EQ(Send("2").bytes, "Invalid Command\r>");

    // A checksum fault waits for a binary reply; ASCII replies pass untouched meanwhile.
    Control("fault badsum once");
    EXPECT_EQ(Send("2").bytes, "Invalid Command\r>");
    EXPECT_FALSE(FrameValid(Send("~GLSV").bytes));
    EXPECT_TRUE(FrameValid(Send("~GLSV").bytes));

    Control("fault silence");
    EXPECT_EQ(Send("2").reply, 0);
    EXPECT_EQ(Send("2").reply, 0);
    Control("fault none");
    EXPECT_EQ(Send("2").reply, 1);

    // A muted command is answered by nothing else in between, and only once.
    Control("mute s54");
    EXPECT_EQ(Send("~GLSV").reply, 1);
    EXPECT_EQ(Send("S54").reply, 0);
    EXPECT_EQ(Send("S54").reply, 1);
}

TEST(EmulatorModel, DeafBoardDropsTheNextCommandsThenHearsAgain) {
    StartBoard();
    Control("fault deaf 2");
    EXPECT_EQ(EmuSwallowCommand(B), 1);
    EXPECT_EQ(EmuSwallowCommand(B), 1);
    EXPECT_EQ(EmuSwallowCommand(B), 0);
    Control("fault deaf 0");
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(EmuSwallowCommand(B), 1);
    Control("fault none");
    EXPECT_EQ(EmuSwallowCommand(B), 0);
}

TEST(EmulatorModel, FaultGrammar) {
    const struct {
        const char* text;
        int ok;
        EmuFaultKind kind;
        long arg;
        int once;
    } cases[] = {
        {"none", 1, EMU_FAULT_NONE, 0, 0},
        {"silence", 1, EMU_FAULT_SILENCE, 0, 0},
        {"delay 300", 1, EMU_FAULT_DELAY, 300, 0},
        {"delay 10 once", 1, EMU_FAULT_DELAY, 10, 1},
        {"  garbage   7  ", 1, EMU_FAULT_GARBAGE, 7, 0},
        {"hangup 0", 1, EMU_FAULT_HANGUP, 0, 0},
        {"cut once", 1, EMU_FAULT_CUT, 0, 1},
        {"deaf 3", 1, EMU_FAULT_DEAF, 3, 0},
        {"delay", 0, EMU_FAULT_NONE, 0, 0},
        {"delay -5", 0, EMU_FAULT_NONE, 0, 0},
        {"delay 5x", 0, EMU_FAULT_NONE, 0, 0},
        {"silence twice", 0, EMU_FAULT_NONE, 0, 0},
        {"cut once once", 0, EMU_FAULT_NONE, 0, 0},
        {"bogus", 0, EMU_FAULT_NONE, 0, 0},
        {"", 0, EMU_FAULT_NONE, 0, 0},
    };
    for (const auto& c : cases) {
        EmuFault fault = {EMU_FAULT_SILENCE, -1, -1, "?"};
        EXPECT_EQ(EmuParseFault(c.text, &fault), c.ok) << c.text;
        if (!c.ok)
            continue;
        EXPECT_EQ(fault.kind, c.kind) << c.text;
        EXPECT_EQ(fault.arg, c.arg) << c.text;
        EXPECT_EQ(fault.once, c.once) << c.text;
    }
}

TEST(EmulatorModel, ControlRejectsMalformedLines) {
    const char* bad[] = {"flags zz", "flags 10000", "gas -1",     "kind pump", "baud 1234",
                         "flow abc", "reset now",   "frobnicate", "fault",     "name a>b"};
    StartBoard();
    for (const char* line : bad) {
        std::string error;
        EXPECT_EQ(EmuControlCommand(B, line, T0, &error), 0) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(EmulatorModel, HangupIsTakenOnceWithItsDuration) {
    StartBoard();
    long ms = -1;
    EXPECT_EQ(EmuTakeHangup(B, &ms), 0);
    Control("fault hangup 250");
    EXPECT_EQ(EmuTakeHangup(B, &ms), 1);
    EXPECT_EQ(ms, 250);
    EXPECT_EQ(EmuTakeHangup(B, &ms), 0);
    EmuEndHangup(B);
    EXPECT_EQ(EmuCurrentFault(B).kind, EMU_FAULT_NONE);
}

TEST(EmulatorModel, ResetRestoresTheStartUpBoard) {
    StartBoard(EMU_KIND_CONTROLLER, "Start");
    Send("~SNLC=0x0D0A");
    Send("S54=Changed");
    Send("V5=40");
    Send("~BAUD=230400");
    Control("flags 4000");
    Control("gas 1");
    Control("kind meter");
    Control("fault silence");
    Control("reset", T0 + 500);
    EXPECT_EQ(EmuBoardBaud(B, T0 + 500), 9600);
    EXPECT_EQ(Send("S65", T0 + 500).bytes, "xd\r>");
    EXPECT_EQ(Send("S54", T0 + 500).bytes, "Start\r>");
    EXPECT_EQ(Send("V5", T0 + 500).bytes, "0.000000\r>");
    EXPECT_EQ(Send("S64", T0 + 500).bytes, "x1\r>");
    EXPECT_EQ(Send("G4", T0 + 500).bytes, "N2\r>");
    EmuOutput out = Send("~GLSV", T0 + 500);
    EXPECT_EQ(WordAt(out.bytes, 2 + 36), 0u);
}

} // namespace
