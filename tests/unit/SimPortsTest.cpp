// The simulated ports and the virtual clock: the board layer's real sequences against an
// emulated board in this process, and the port's open, read, write and stuck behaviour, all
// in virtual time worked out by hand (a probe that times out costs 152 ms, a speed switch 50).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/DeviceClock.h"
#include "device/LegacyBoardUtils.h"
#include "device/SerialPort.h"
#include "tests/sim/SimPorts.h"

namespace {

typedef std::vector<std::string> Texts;

class SimPortsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimInstall(0);
        ClearSerialPortErrors();
        ForgetBoardLineSettings();
    }
    void TearDown() override {
        SetDeviceAbortCheck(nullptr);
        SimRemove();
        ForgetBoardLineSettings();
        ClearSerialPortErrors();
    }

    EmuLine* AddBoard(const char* port, long baud) {
        EmuSettings settings;
        EmuDefaultSettings(&settings);
        settings.baud = baud;
        EmuLine* line = SimAddBoard(port, &settings);
        EXPECT_NE(line, nullptr);
        return line;
    }

    void Control(EmuLine* line, const char* text) {
        std::string error;
        ASSERT_EQ(EmuLineControl(line, text, SimNowMs(), &error), 1) << text << ": " << error;
    }

    static Texts Record(EmuLine* line) {
        Texts found;
        for (uint64_t i = EmuRecordFirst(line); i < EmuRecordTotal(line); i++) {
            const EmuRecordEntry* e = EmuRecordAt(line, i);
            std::string text = e->Text;
            if (e->Kind == EMU_REC_NOISE)
                text = std::to_string(text.size()) + " bytes";
            found.push_back(std::to_string(e->Ms) + " " + EmuRecordKindName(e->Kind) + " " +
                            std::to_string(e->Value) + " " + text);
        }
        return found;
    }

    static Texts Events(const char* port) {
        Texts found;
        for (size_t i = 0; i < SimPortEventCount(port); i++) {
            const SimPortEvent* e = SimPortEventAt(port, i);
            found.push_back(std::to_string(e->Ms) + " " + SimPortEventName(e->Kind) + " " +
                            std::to_string(e->Baud) + " " + e->Actor);
        }
        return found;
    }
};

TEST_F(SimPortsTest, ConnectFindsTheBoardAtItsSpeedAndDisconnectPutsItBack) {
    EmuLine* line = AddBoard("COM7", 19200);
    ComHandle handle = nullptr;
    ASSERT_EQ(ConnectToTorvan("COM7", &handle), 1);
    BoardReply reply;
    ASSERT_EQ(BoardCommand(handle, "S64\r", &reply), 1);
    EXPECT_STREQ(reply.Text, "x1\r");
    DisconnectFromTorvan(handle);
    SimAdvanceBy(100);
    EmuLineUpdate(line, SimNowMs());

    // The probe at 9600 times out after 152 ms; the one at 19200 is answered at once; the
    // port waits 100 ms after "~BAUD=230400" and the board switches 50 ms after it; the probe
    // at 230400 shows it did.
    EXPECT_EQ(Record(line), (Texts{
                                "0 speed 19200 start",
                                "0 line-ending 13 start",
                                "0 noise 2 2 bytes",
                                "152 command 19200 2",
                                "152 command 19200 S112=0",
                                "152 command 19200 S65",
                                "152 command 19200 ~BAUD=230400",
                                "202 speed 230400 ~BAUD",
                                "252 command 230400 2",
                                "252 command 230400 S64",
                                "252 command 230400 ~SNLC=d",
                                "252 command 230400 ~BAUD=19200",
                                "302 speed 19200 ~BAUD",
                            }));
    EXPECT_EQ(Events("COM7"),
              (Texts{"0 opened 9600 ", "152 closed 9600 ", "152 opened 19200 ", "252 closed 19200 ",
                     "252 opened 230400 ", "252 closed 230400 "}));
    EXPECT_EQ(EmuBoardLineEnding(EmuLineBoard(line)), 0x0Du);
}

TEST_F(SimPortsTest, ASecondOpenerAndAnUnpluggedBoardAreRefusedAndRecorded) {
    EmuLine* line = AddBoard("COM3", 9600);
    uint32_t error = 0;
    SimSetActor("worker");
    ComHandle first = OpenComPort("COM3", 9600, 'N', 8, 1.0f, &error);
    ASSERT_NE(first, nullptr);
    SimAdvanceBy(40);
    SimSetActor("identify");
    EXPECT_EQ(OpenComPort("COM3", 9600, 'N', 8, 1.0f, &error), nullptr);
    EXPECT_EQ(error, 5u);
    EXPECT_EQ(GetComPortState("COM3"), 5u);
    EXPECT_EQ(OpenComPort("COM4", 9600, 'N', 8, 1.0f, &error), nullptr);
    EXPECT_EQ(error, 2u);

    // Pulled out, the open handle is a dead device: writes fail, reads time out.
    Control(line, "fault hangup 1000");
    EXPECT_EQ(WriteComStr(first, "S64\r"), -1);
    EXPECT_EQ(GetComChar(first), -1);
    EXPECT_EQ(SimNowMs(), 40 + 152);
    EXPECT_EQ(CloseComPort(first), 1);
    EXPECT_EQ(CloseComPort(first), 0);
    SimSetActor("worker");
    EXPECT_EQ(OpenComPort("COM3", 9600, 'N', 8, 1.0f, &error), nullptr);
    EXPECT_EQ(error, 2u);
    EXPECT_EQ(GetComPortState("COM3"), 2u);
    SimAdvanceTo(1040);
    EXPECT_EQ(GetComPortState("COM3"), 0u);
    ComHandle second = OpenComPort("COM3", 9600, 'N', 8, 1.0f, &error);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(WriteComStr(second, "S64\r"), 0);
    CloseComPort(second);

    EXPECT_EQ(Events("COM3"), (Texts{"0 opened 9600 worker", "40 open-busy 9600 identify",
                                     "192 closed 9600 identify", "192 open-absent 9600 worker",
                                     "1040 opened 9600 worker", "1040 closed 9600 worker"}));
}

// (A write at another speed than the board's reaching it as noise shows in the first test's
// probe at 9600.)
TEST_F(SimPortsTest, ReadsWaitInVirtualTimeForTheNextByteOrTheTimeOut) {
    EmuLine* line = AddBoard("COM1", 9600);
    uint32_t error = 0;
    ComHandle handle = OpenComPort("COM1", 9600, 'N', 8, 1.0f, &error);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(GetComChar(handle), -1);
    EXPECT_EQ(SimNowMs(), 152);

    Control(line, "fault delay 100 once");
    WriteComStr(handle, "S64\r");
    uint8_t bytes[16];
    ASSERT_EQ(ReadComBytes(handle, bytes, sizeof bytes), 4);
    EXPECT_EQ(std::string((const char*)bytes, 4), "x1\r>");
    EXPECT_EQ(SimNowMs(), 252);

    // A trickle 20 ms apart: each read waits for its byte, and a count caps the bytes taken.
    Control(line, "fault trickle 20 once");
    WriteComStr(handle, "S65\r");
    std::string got;
    std::vector<int64_t> at;
    for (int byte; (byte = GetComChar(handle)) >= 0;) {
        got += (char)byte;
        at.push_back(SimNowMs());
    }
    EXPECT_EQ(got, "xd\r>");
    EXPECT_EQ(at, (std::vector<int64_t>{252, 272, 292, 312}));
    EXPECT_EQ(SimNowMs(), 312 + 152);

    // A reply later than the read time-out comes to the next read; one left on the line when
    // the port closes is purged by the next open.
    Control(line, "fault delay 300 once");
    WriteComStr(handle, "S64\r"); // due at 764
    EXPECT_EQ(ReadComBytes(handle, bytes, sizeof bytes), -1);
    EXPECT_EQ(SimNowMs(), 464 + 152);
    EXPECT_EQ(ReadComBytes(handle, bytes, sizeof bytes), 4);
    EXPECT_EQ(SimNowMs(), 764);
    WriteComStr(handle, "S64\r");
    CloseComPort(handle);
    handle = OpenComPort("COM1", 9600, 'N', 8, 1.0f, &error);
    EXPECT_EQ(GetComChar(handle), -1);

    CloseComPort(handle);
}

int AbortAlways() {
    return 1;
}

struct Pump {
    int Calls = 0;
    int64_t ReleasedAt = -1;
};

void PumpReleasingAfterFive(void* context) {
    Pump* pump = static_cast<Pump*>(context);
    pump->Calls++;
    SimPortCancelIo("COM2");
    if (pump->Calls == 5) {
        SimPortSetStuck("COM2", 0);
        pump->ReleasedAt = SimNowMs();
    }
}

TEST_F(SimPortsTest, AStuckReadIgnoresTheStopAndReturnsOnlyWhenReleased) {
    EmuLine* line = AddBoard("COM2", 9600);
    uint32_t error = 0;
    ComHandle handle = OpenComPort("COM2", 9600, 'N', 8, 1.0f, &error);
    ASSERT_NE(handle, nullptr);
    WriteComStr(handle, "S64\r"); // a reply waits, and still the read does not return
    SetDeviceAbortCheck(AbortAlways);
    Pump pump;
    SimSetStuckPump(PumpReleasingAfterFive, &pump);
    SimPortSetStuck("COM2", 1);
    char* text = nullptr;
    int count = 0;
    EXPECT_EQ(GetAsciiResponse(handle, &text, &count), 0);
    EXPECT_EQ(pump.Calls, 5);
    EXPECT_EQ(pump.ReleasedAt, 50);
    EXPECT_EQ(SimPortReadStuck("COM2"), 0);
    Texts events = Events("COM2");
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(events[1], "0 stuck 9600 ");
    EXPECT_EQ(events[2], "10 cancel-ignored 9600 ");
    EXPECT_EQ(events[7], "50 released 9600 ");

    // Released, the port reads again; without a pump a stuck read gives up after ten minutes.
    SetDeviceAbortCheck(nullptr);
    ASSERT_EQ(GetAsciiResponse(handle, &text, &count), 1);
    EXPECT_STREQ(text, "x1\r");
    SimSetStuckPump(nullptr, nullptr);
    SimPortSetStuck("COM2", 1);
    EXPECT_EQ(GetComChar(handle), -1);
    EXPECT_EQ(SimNowMs(), 50 + 600000);
    EXPECT_EQ(Events("COM2").back(), "600050 abandoned 9600 ");
    CloseComPort(handle);
    (void)line;
}

// A reply the board sends at its speed reaches a port reopened meanwhile at another speed as
// garbage: a late answer to a probe at one speed must not pass for the answer at the next.
TEST_F(SimPortsTest, AReplyReachesAPortAtAnotherSpeedAsGarbage) {
    EmuLine* line = AddBoard("COM1", 9600);
    uint32_t error = 0;
    ComHandle handle = OpenComPort("COM1", 9600, 'N', 8, 1.0f, &error);
    ASSERT_NE(handle, nullptr);
    Control(line, "fault delay 100 once");
    WriteComStr(handle, "S64\r");
    CloseComPort(handle);
    handle = OpenComPort("COM1", 19200, 'N', 8, 1.0f, &error);
    ASSERT_NE(handle, nullptr);
    uint8_t bytes[16];
    ASSERT_EQ(ReadComBytes(handle, bytes, sizeof bytes), 4);
    EXPECT_EQ(std::string((const char*)bytes, 4), std::string(4, '\xFF'));
    CloseComPort(handle);
}

} // namespace
