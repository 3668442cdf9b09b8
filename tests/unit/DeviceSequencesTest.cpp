// The connection and calibration sequences over a scripted board: which speeds are opened,
// which commands go out in which order, what is saved and restored, and the settle wait.
#include "DeviceScriptedPort.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

using scripted::Port;
using scripted::Push;

namespace {

typedef std::vector<std::string> Lines;
typedef std::vector<uint32_t> Speeds;

// A board found at BoardBaud: it answers only while the port is opened at its speed.
uint32_t BoardBaud = 0;
const char* ProbeReply = "Invalid Command\r\n>";

uint32_t CurrentBaud() {
    return Port.OpenBauds.empty() ? 0 : Port.OpenBauds.back();
}

void Board(const std::string& command) {
    if (CurrentBaud() != BoardBaud) {
        return;
    }
    if (command == "2\r") {
        Push(ProbeReply);
    } else if (command == "S65\r") {
        Push("x0D0A\r\n>");
    } else if (command.compare(0, 6, "~BAUD=") == 0 || command.compare(0, 6, "~SNLC=") == 0) {
        if (command == "~BAUD=230400\r") {
            BoardBaud = 230400;
        }
    } else {
        Push(">");
    }
}

class DeviceSequencesTest : public ScriptedPortTest {
  protected:
    void SetUp() override {
        ScriptedPortTest::SetUp();
        // The saved speed and line ending live on between connections; start each test clean.
        ForgetBoardLineSettings();
        Port = scripted::PortScript();
        BoardBaud = 0;
        ProbeReply = "Invalid Command\r\n>";
        Port.Responder = Board;
    }
};

TEST_F(DeviceSequencesTest, ConnectFindsTheBoardsSpeed) {
    const struct {
        uint32_t Baud;
        const char* Reply;
        int Result;
        Speeds Opened;
        Lines Commands;
        std::vector<uint32_t> Sleeps;
    } cases[] = {
        {9600,
         "Invalid Command\r\n>",
         1,
         {9600, 230400},
         {"2\r", "S112=0\r", "S65\r", "~BAUD=230400\r", "2\r"},
         {100}},
        {19200,
         "Invalid Command\r\n>",
         1,
         {9600, 19200, 230400},
         {"2\r", "2\r", "S112=0\r", "S65\r", "~BAUD=230400\r", "2\r"},
         {100}},
        {230400,
         "Invalid Command>",
         1,
         {9600, 19200, 230400, 230400},
         {"2\r", "2\r", "2\r", "S112=0\r", "S65\r", "~BAUD=230400\r"},
         {100}},
        {0, "", 0, Speeds(3 * 3, 0), Lines(9, "2\r"), {10, 10, 10}},
        {19200, "Invalid Comman\r\n>", 0, Speeds(9, 0), Lines(9, "2\r"), {10, 10, 10}},
        {19200, "OK Invalid Command\r\n>", 0, Speeds(9, 0), Lines(9, "2\r"), {10, 10, 10}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Baud);
        SCOPED_TRACE(c.Reply);
        ForgetBoardLineSettings();
        Port = scripted::PortScript();
        Port.Responder = Board;
        scripted::Sleeps.clear();
        BoardBaud = c.Baud;
        ProbeReply = c.Reply;
        ComHandle handle = nullptr;
        EXPECT_EQ(ConnectToTorvan("COM3", &handle), c.Result);
        EXPECT_EQ(Port.Commands, c.Commands);
        EXPECT_EQ(scripted::Sleeps, c.Sleeps);
        EXPECT_EQ(GetSerialPortErrors(), 0u);
        if (c.Result) {
            EXPECT_EQ(Port.OpenBauds, c.Opened);
            EXPECT_EQ(handle, Handle());
            EXPECT_EQ(GetInitialBaudRate(), c.Baud);
            EXPECT_EQ(GetInitialNewLine(), 0x0D0Au);
            EXPECT_EQ(Port.Closes, static_cast<int>(c.Opened.size()) - 1);
        } else {
            EXPECT_EQ(Port.OpenBauds,
                      (Speeds{9600, 19200, 230400, 9600, 19200, 230400, 9600, 19200, 230400}));
            EXPECT_EQ(handle, nullptr);
            EXPECT_EQ(Port.Closes, 9);
            EXPECT_EQ(GetInitialBaudRate(), 0u);
        }
    }
}

TEST_F(DeviceSequencesTest, OpenFailures) {
    const struct {
        const char* Name;
        int Failures;       // before the probe
        int ReopenFailures; // at 230400
        int Result;
        size_t Opens;
    } cases[] = {
        {"two failures then open", 2, 0, 1, 4},
        {"port never opens", 3, 0, 0, 3},
        {"reopen fails twice", 0, 2, 1, 4},
        {"reopen fails", 0, 3, 0, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        ForgetBoardLineSettings();
        Port = scripted::PortScript();
        BoardBaud = 9600;
        int reopenFailures = c.ReopenFailures;
        Port.Responder = [reopenFailures](const std::string& command) {
            Board(command);
            if (command == "~BAUD=230400\r") {
                Port.OpenFailures = reopenFailures;
            }
        };
        Port.OpenFailures = c.Failures;
        ComHandle handle = nullptr;
        EXPECT_EQ(ConnectToTorvan("COM3", &handle), c.Result);
        EXPECT_EQ(Port.OpenBauds.size(), c.Opens);
        EXPECT_EQ(handle != nullptr, c.Result == 1);
    }
}

// A board that refuses or misses the switch still runs at the speed it was found at: the
// connect fails rather than talk to it as noise, and what it saved puts the board back from
// either speed.
TEST_F(DeviceSequencesTest, ABoardThatDidNotSwitchFailsTheConnectAndIsPutBack) {
    BoardBaud = 19200;
    Port.Responder = [](const std::string& command) {
        if (command != "~BAUD=230400\r")
            Board(command);
    };
    ComHandle handle = nullptr;
    EXPECT_EQ(ConnectToTorvan("COM3", &handle), 0);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(Port.Commands.back(), "2\r"); // the probe at 230400 went unanswered
    EXPECT_EQ(GetInitialBaudRate(), 19200u);
    EXPECT_EQ(GetInitialNewLine(), 0x0D0Au);

    Port.Commands.clear();
    Port.OpenBauds.clear();
    PutBoardBack("COM3");
    EXPECT_EQ(Port.OpenBauds, (Speeds{19200, 230400}));
    EXPECT_EQ(Port.Commands,
              (Lines{"~SNLC=d0a\r", "~BAUD=19200\r", "~SNLC=d0a\r", "~BAUD=19200\r"}));
    EXPECT_EQ(BoardBaud, 19200u);

    // Nothing saved, nothing sent.
    ForgetBoardLineSettings();
    Port.Commands.clear();
    PutBoardBack("COM3");
    EXPECT_TRUE(Port.Commands.empty());
}

TEST_F(DeviceSequencesTest, ConnectClosesAHandleItIsGiven) {
    BoardBaud = 9600;
    ComHandle handle = Handle();
    EXPECT_EQ(ConnectToTorvan("COM3", &handle), 1);
    EXPECT_EQ(Port.Closes, 2); // the old handle, then the 9600 one
}

TEST_F(DeviceSequencesTest, DisconnectRestoresWhatTheFirstConnectionFound) {
    BoardBaud = 19200;
    ComHandle handle = nullptr;
    ASSERT_EQ(ConnectToTorvan("COM3", &handle), 1);
    // An unclean end: the board now sits at 230400 and a reconnect must keep 19200.
    Port.Commands.clear();
    ASSERT_EQ(ConnectToTorvan("COM3", &handle), 1);
    EXPECT_EQ(Port.Commands, (Lines{"2\r", "2\r", "2\r", "S112=0\r", "~BAUD=230400\r"}));
    EXPECT_EQ(GetInitialBaudRate(), 19200u);

    // A disconnect after a link fault may go unheard: what was saved stays for the
    // reconnection, and every disconnect sends it again until the connection ends for good.
    for (int i = 0; i < 2; i++) {
        Port.Commands.clear();
        int closes = Port.Closes;
        DisconnectFromTorvan(handle);
        EXPECT_EQ(Port.Commands, (Lines{"~SNLC=d0a\r", "~BAUD=19200\r"}));
        EXPECT_EQ(Port.Closes, closes + 1);
        EXPECT_EQ(GetInitialBaudRate(), 19200u);
        EXPECT_EQ(GetInitialNewLine(), 0x0D0Au);
        handle = Handle();
    }
    ForgetBoardLineSettings();
    EXPECT_EQ(GetInitialBaudRate(), 0u);
    EXPECT_EQ(GetInitialNewLine(), 0u);
}

TEST_F(DeviceSequencesTest, ALineEndingNeverReadIsNotSentBack) {
    BoardBaud = 9600;
    Port.Responder = [](const std::string& command) {
        if (command != "S65\r") {
            Board(command);
        }
    };
    ComHandle handle = nullptr;
    ASSERT_EQ(ConnectToTorvan("COM3", &handle), 1);
    EXPECT_EQ(GetInitialNewLine(), 0u);
    // Asked three times in all, then the connection goes on without it.
    EXPECT_EQ(std::count(Port.Commands.begin(), Port.Commands.end(), "S65\r"), 3);
    Port.Commands.clear();
    DisconnectFromTorvan(handle);
    EXPECT_EQ(Port.Commands, (Lines{"~BAUD=9600\r"}));
}

// Registers as the board reports them: V1 and V12 decimal, V2 hexadecimal with an 'x'.
void CalBoard(const std::string& command) {
    if (command == "V1\r") {
        Push("3\r\n>");
    } else if (command == "V12\r") {
        Push("250\r\n>");
    } else if (command == "V2\r") {
        Push("x8D\r\n>");
    } else {
        Push(">");
    }
}

std::string Captured() {
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST_F(DeviceSequencesTest, CalibrationModeRoundTrip) {
    Port.Responder = CalBoard;
    testing::internal::CaptureStdout();
    EXPECT_EQ(EnterTorvanCalMode(Handle()), 1);
    std::string out = Captured();
    EXPECT_EQ(Port.Commands, (Lines{"FLOK=5807\r", "S112=0\r", "V1\r", "V12\r", "V2\r", "V2=141\r",
                                    "V12=0\r", "~EFSC\r"}));
    EXPECT_NE(out.find("Get V1 Resp: 3\r\n\nOriginalV1: 3\n"), std::string::npos) << out;
    EXPECT_NE(out.find("OriginalV12: 250\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Get V2 Resp: x8D\r\n\nOriginalV2: 008D\n"), std::string::npos) << out;

    Port.Commands.clear();
    EXPECT_EQ(ExitTorvanCalMode(Handle()), 1);
    EXPECT_EQ(Port.Commands, (Lines{"~DFSC\r", "V12=250\r", "V1=3\r", "V2=8d\r", "FLOK\r"}));

    // A silent board: every step prints its error line, the saved values stay.
    Port.Responder = nullptr;
    Port.Commands.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(EnterTorvanCalMode(Handle()), 0);
    out = Captured();
    for (const char* line :
         {"\nError, FLOK Resp: \n", "\nError, Get V1 Resp: \n", "\nError, Get V12 Resp: \n",
          "\nError, Get V2 Resp: \n", "\nError, V2 Resp: \n", "\nError, V12 Resp: \n",
          "\nError, EFSC Resp: \n"}) {
        EXPECT_NE(out.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(Port.Commands.size(), 8u);
    Port.Responder = CalBoard;
    Port.Commands.clear();
    ExitTorvanCalMode(Handle());
    EXPECT_EQ(Port.Commands, (Lines{"~DFSC\r", "V12=250\r", "V1=3\r", "V2=8d\r", "FLOK\r"}));
}

TEST_F(DeviceSequencesTest, SingleCommandOperations) {
    Port.Responder = nullptr;
    ComHandle h = Handle();
    const struct {
        std::function<int()> Call;
        const char* Command;
        const char* ErrorLine; // with "abc" as the text received before the time-out
        int ResultOnTimeout;
    } cases[] = {
        {[h] { return EnableFactoryMode(h); }, "FLOK=5807\r", "\nError, FLOK Resp: abc\n", 0},
        {[h] { return DisableFactoryMode(h); }, "FLOK\r", "\nError, FLOK Resp: abc\n", 0},
        {[h] { return EnableFlowStateCollection(h); }, "~EFSC\r", "\nError, EFSC Resp: abc\n", 0},
        {[h] { return DisableFlowStateCollection(h); }, "~DFSC\r", "\nError, ~DFSC Resp: abc\n", 0},
        {[h] { return SetProportionalRam(h, 1.5f); }, "~PR=1.500000\r", "\nError, ~PR Resp: abc\n",
         0},
        {[h] { return SetProportionalRam(h, 500.0f); }, "~PR=500.000000\r",
         "\nError, ~PR Resp: abc\n", 0},
        {[h] { return SetControlBiasRam(h, 4000000000u); }, "~CBR=4000000000\r",
         "\nError, ~CBR Resp: abc\n", 0},
        {[h] { return SendSetPoint(h, 50.25f); }, "V5=50.250000\r", "\nError, V5 Resp: abc\n", 0},
        {[h] { return SendSetPoint(h, -0.125f); }, "V5=-0.125000\r", "\nError, V5 Resp: abc\n", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Command);
        Port.Commands.clear();
        Push(">");
        EXPECT_NE(c.Call(), 0);
        EXPECT_EQ(Port.Commands, Lines{c.Command});

        Push("abc");
        testing::internal::CaptureStdout();
        int result = c.Call();
        EXPECT_EQ(Captured(), c.ErrorLine);
        EXPECT_EQ(result != 0, c.ResultOnTimeout != 0);

        // A refusal is a failure too, with the board's words in the error line.
        std::string refusal = c.ErrorLine;
        refusal.replace(refusal.find("abc"), 3, "Invalid Command\r\n");
        Push("Invalid Command\r\n>");
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.Call(), 0);
        EXPECT_EQ(Captured(), refusal);
    }
}

// Flow batches of 100 samples from a generator; the settle wait reads a batch at a time and
// ends after the first batch that completes durationMs / 5 samples in a row inside the band.
int NextSample = 0;
std::function<float(int)> SampleAt;
void FlowBoard(const std::string& command) {
    if (command != "~GFF\r" && command != "~GRF\r") {
        Push(">");
        return;
    }
    std::vector<float> v;
    for (int i = 0; i < 100; i++) {
        v.push_back(SampleAt(NextSample++));
    }
    Push(scripted::Frame(scripted::Floats(v)));
}

TEST_F(DeviceSequencesTest, SettleWaitNeedsAFullRunInsideTheBand) {
    const struct {
        const char* Name;
        std::vector<int> Outliers;
        size_t Reads; // 100-sample batches taken
    } cases[] = {
        {"steady", {}, 4},
        {"outlier in the middle", {250}, 7},
        {"outlier at the last sample", {399}, 8},
        {"outlier at the first sample: 399 in a row is not enough", {0}, 5},
        {"two outliers", {250, 600}, 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Port.Commands.clear();
        NextSample = 0;
        std::vector<int> outliers = c.Outliers;
        SampleAt = [outliers](int i) {
            for (int o : outliers) {
                if (o == i) {
                    return 11.01f;
                }
            }
            return i % 2 ? 9.0f : 11.0f; // the band's edges count as inside
        };
        Port.Responder = FlowBoard;
        testing::internal::CaptureStdout();
        EXPECT_EQ(WaitForFilteredFlowToSettleBetween(Handle(), 9.0f, 11.0f, 2000), 1);
        Captured();
        EXPECT_EQ(Port.Commands, Lines(c.Reads, "~GFF\r"));
    }
}

TEST_F(DeviceSequencesTest, SettleWaitPausesAfterAFailedRead) {
    int silent = 2;
    NextSample = 0;
    SampleAt = [](int) { return 5.0f; };
    Port.Responder = [&silent](const std::string& command) {
        if (silent > 0) {
            silent--;
            return;
        }
        FlowBoard(command);
    };
    testing::internal::CaptureStdout();
    EXPECT_EQ(WaitForRawFlowToSettleBetween(Handle(), 4.0f, 6.0f, 1000), 1);
    std::string out = Captured();
    EXPECT_EQ(Port.Commands, Lines(4, "~GRF\r"));
    // 200 samples wanted: the pause after each failed read is the one for 200 missing
    // samples, and so is the wait for the 100 still missing after the first good batch
    // (slept in slices, so that an abort is seen).
    uint32_t slept = 0;
    for (uint32_t ms : scripted::Sleeps) {
        slept += ms;
    }
    EXPECT_NEAR(slept, 600u, 2u);
    EXPECT_NE(out.find("\nError from GetFlowReadings"), std::string::npos);
}

TEST_F(DeviceSequencesTest, AnAbortCheckEndsASettleWaitThatWouldNeverEnd) {
    // The flow never enters the band; after three batches the caller gives up.
    static int checks;
    checks = 0;
    NextSample = 0;
    SampleAt = [](int) { return 50.0f; };
    Port.Responder = [](const std::string& command) { FlowBoard(command); };
    SetDeviceAbortCheck([] { return ++checks > 3 ? 1 : 0; });
    testing::internal::CaptureStdout();
    EXPECT_EQ(WaitForFilteredFlowToSettleBetween(Handle(), 9.0f, 11.0f, 2000), 0);
    // A bump stops at its first wait: no drive is read and nothing is bumped.
    Port.Commands.clear();
    checks = 3;
    uint32_t drive1 = 7, drive2 = 7;
    EXPECT_EQ(BumpValveDrive(Handle(), 0, 20.0f, 60.0f, &drive2, &drive1), 0);
    Captured();
    SetDeviceAbortCheck(nullptr);
    EXPECT_EQ(Port.Commands, (Lines{"V1=1\r", "~PR=500.000000\r", "V5=60.000000\r"}));
    EXPECT_EQ(drive1, 7u);
}

TEST_F(DeviceSequencesTest, BumpValveDrive) {
    int driveReads = 0;
    NextSample = 0;
    SampleAt = [](int) { return 0.0f; };
    float setPoint = 0;
    Port.Responder = [&](const std::string& command) {
        if (command.compare(0, 3, "V5=") == 0) {
            setPoint = strtof(command.c_str() + 3, nullptr);
            SampleAt = [setPoint](int i) { return setPoint + (i % 3 - 1) * 1.5f; };
            Push(">");
        } else if (command == "V27\r") {
            Push(++driveReads == 1 ? "1234\r\n>" : "5678\r\n>");
        } else {
            FlowBoard(command);
        }
    };
    uint32_t drive1 = 0, drive2 = 0;
    testing::internal::CaptureStdout();
    EXPECT_NE(BumpValveDrive(Handle(), 0, 20.0f, 60.0f, &drive2, &drive1), 0);
    std::string out = Captured();
    Lines expected = {"V1=1\r", "~PR=500.000000\r", "V5=60.000000\r"};
    expected.insert(expected.end(), 4, "~GFF\r");
    expected.insert(expected.end(), {"V27\r", "V5=20.000000\r"});
    expected.insert(expected.end(), 4, "~GFF\r");
    expected.insert(expected.end(), {"V1=5\r", "V27\r", "~BVD=1234\r"});
    EXPECT_EQ(Port.Commands, expected);
    EXPECT_EQ(drive1, 1234u);
    EXPECT_EQ(drive2, 5678u);
    EXPECT_NE(out.find("Waiting for the flow to settle at 60.000000\n"), std::string::npos);
    EXPECT_NE(out.find("Waiting for the flow to settle at 20.000000\n"), std::string::npos);
    EXPECT_NE(out.find("Send the BumpValveDrive command"), std::string::npos);
}

} // namespace

namespace {

// A controller whose flow follows each set point at once; one command can be made to fail.
struct BumpFault {
    const char* Command; // prefix of the command that fails
    const char* Reply;   // what the board says to it: a refusal, garbage, or null for silence
};

TEST_F(DeviceSequencesTest, BumpValveStopsAtTheFirstFailedStepAndSaysWhatItChanged) {
    const unsigned V1 = BUMP_CHANGED_V1, GAIN = BUMP_CHANGED_GAIN, SP = BUMP_CHANGED_SET_POINT;
    const struct {
        const char* Name;
        BumpFault Fault;
        unsigned Changed;
        const char* FailedStep;
        SettleOutcome Settle;
        const char* LastCommand;
    } cases[] = {
        {"V1=1 refused", {"V1=1", "Invalid Command\r\n>"}, 0, "V1=1", SETTLED, "V1=1\r"},
        // A lost reply may hide a change the board made.
        {"~PR lost", {"~PR=", nullptr}, V1 | GAIN, "~PR=500", SETTLED, "~PR=500.000000\r"},
        {"V5 refused (a meter)",
         {"V5=", "Invalid Command\r\n>"},
         V1 | GAIN,
         "V5",
         SETTLED,
         "V5=60.000000\r"},
        {"empty flow frames until the deadline",
         {"~GFF", ""},
         V1 | GAIN | SP,
         "settle at 60",
         SETTLE_TIMED_OUT,
         "~GFF\r"},
        {"V27 unreadable: no bump with a drive never read",
         {"V27", "abc\r\n>"},
         V1 | GAIN | SP,
         "V27",
         SETTLED,
         "V27\r"},
        {"V1=5 refused",
         {"V1=5", "Invalid Command\r\n>"},
         V1 | GAIN | SP,
         "V1=5",
         SETTLED,
         "V1=5\r"},
        {"~BVD refused",
         {"~BVD", "Invalid Command\r\n>"},
         V1 | GAIN | SP,
         "~BVD",
         SETTLED,
         "~BVD=1234\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Port = scripted::PortScript();
        ClearSerialPortErrors();
        NextSample = 0;
        SampleAt = [](int) { return 0.0f; };
        BumpFault fault = c.Fault;
        Port.Responder = [fault](const std::string& command) {
            if (command.compare(0, strlen(fault.Command), fault.Command) == 0) {
                if (fault.Reply != nullptr && fault.Reply[0] == '\0') {
                    Push(scripted::Frame({}));
                } else if (fault.Reply != nullptr) {
                    Push(fault.Reply);
                }
            } else if (command.compare(0, 3, "V5=") == 0) {
                float setPoint = strtof(command.c_str() + 3, nullptr);
                SampleAt = [setPoint](int) { return setPoint; };
                Push(">");
            } else if (command == "V27\r") {
                Push("1234\r\n>");
            } else {
                FlowBoard(command);
            }
        };
        uint32_t drive1 = 0, drive2 = 0;
        BumpValveProgress progress;
        testing::internal::CaptureStdout();
        EXPECT_EQ(BumpValveDriveWithin(Handle(), 0, 20.0f, 60.0f, &drive2, &drive1, 5.0, &progress),
                  0);
        Captured();
        EXPECT_EQ(progress.Changed, c.Changed);
        EXPECT_STREQ(progress.FailedStep, c.FailedStep);
        EXPECT_EQ(progress.SettleFailed, c.Settle);
        ASSERT_FALSE(Port.Commands.empty());
        EXPECT_EQ(Port.Commands.back(), c.LastCommand);
        for (const std::string& command : Port.Commands) {
            EXPECT_TRUE(command.compare(0, 5, "~BVD=") != 0 || strcmp(c.Fault.Command, "~BVD") == 0)
                << command;
        }
    }
}

} // namespace
