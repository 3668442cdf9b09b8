// The device link end to end on Linux: the POSIX port and the board sequences against the
// board emulator on a pty. Each test starts its own emulator and reads its record of the
// commands it received.
#ifdef TORVAN_EMU_PATH

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "EmulatorProcess.h"
#include "device/LegacyBoardUtils.h"

namespace {

typedef std::vector<std::string> Lines;

class DeviceEmulatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(Dir.Made());
        ClearSerialPortErrors();
        ForgetBoardLineSettings();
    }
    void TearDown() override {
        if (Handle != nullptr) {
            CloseComPort(Handle);
        }
        Board.Stop();
    }

    // Starts torvan-emu with the given extra arguments and waits for its "ready" line.
    void Start(const Lines& extra) {
        std::string printed;
        ASSERT_TRUE(Board.Start(TORVAN_EMU_PATH, extra, &printed)) << printed;
    }

    // The commands the board received, in order, without their time stamps.
    Lines Received() { return Board.Commands(); }

    double TimedConnect(int* result) {
        auto start = std::chrono::steady_clock::now();
        *result = ConnectToTorvan(Board.Link().c_str(), &Handle);
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count();
    }

    emutest::TempDir Dir{"torvan-device"};
    emutest::EmulatorProcess Board{Dir.Path()};
    ComHandle Handle = nullptr;
};

size_t CountOf(const Lines& lines, const std::string& text) {
    size_t n = 0;
    for (const std::string& l : lines) {
        n += l == text;
    }
    return n;
}

TEST_F(DeviceEmulatorTest, ConnectsAtEachSpeedAndRestoresIt) {
    const struct {
        const char* Baud;
        uint32_t Speed;
        // The probe reaches the board at its own speed, and once more at 230400 after a switch
        // (the board proves it took it).
        size_t ProbesAnswered;
    } cases[] = {{"9600", 9600, 2}, {"19200", 19200, 2}, {"230400", 230400, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Baud);
        Start({"--kind", "controller", "--baud", c.Baud});
        int result = 0;
        double ms = TimedConnect(&result);
        printf("ConnectToTorvan, board at %s: %.1f ms\n", c.Baud, ms);
        ASSERT_EQ(result, 1);
        EXPECT_EQ(GetInitialBaudRate(), c.Speed);
        EXPECT_EQ(GetInitialNewLine(), 0x0Du);
        EXPECT_EQ(GetSerialPortErrors(), 0u);

        // The link now runs at 230400: a state read works.
        SystemStateRec state;
        memset(&state, 0xA5, sizeof state);
        EXPECT_EQ(GetLegacyBoardStateVals(Handle, &state), 1);
        EXPECT_EQ(state.StatusFlags, 0);
        EXPECT_EQ(GetSerialPortErrors(), 0u);

        DisconnectFromTorvan(Handle);
        ForgetBoardLineSettings();
        Handle = nullptr;
        usleep(100 * 1000); // let the board read the last two commands
        Lines got = Received();
        ASSERT_GE(got.size(), 6u);
        EXPECT_EQ(CountOf(got, "2"), c.ProbesAnswered);
        Lines tail(got.end() - 6, got.end());
        Lines expected = {"S112=0", "S65",     "~BAUD=230400",
                          "~GLSV",  "~SNLC=d", std::string("~BAUD=") + c.Baud};
        if (c.Speed != 230400) {
            expected.erase(expected.begin());
            expected.insert(expected.begin() + 2, "2");
        }
        EXPECT_EQ(tail, expected);
        Board.Stop();
        unlink(Board.Record().c_str());
    }
}

TEST_F(DeviceEmulatorTest, NoBoardAnswers) {
    Start({"--fault", "silence"});
    int result = 1;
    double ms = TimedConnect(&result);
    printf("ConnectToTorvan, no board: %.1f ms (nine probes)\n", ms);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Handle, nullptr);
    EXPECT_EQ(GetSerialPortErrors(), 0u);
    EXPECT_EQ(GetInitialBaudRate(), 0u);
}

TEST_F(DeviceEmulatorTest, AnotherAnswerToTheProbeIsNoBoard) {
    // Junk before every reply: the probe's answer no longer starts with the rejection text.
    Start({"--baud", "19200", "--fault", "garbage 4"});
    int result = 1;
    TimedConnect(&result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(CountOf(Received(), "2"), 3u); // heard once per pass, at 19200
}

TEST_F(DeviceEmulatorTest, CalibrationModeRestoresRegistersInOrder) {
    Start({"--kind", "controller"});
    int result = 0;
    TimedConnect(&result);
    ASSERT_EQ(result, 1);
    // Distinct values first, so the restore can be told from the board's defaults.
    char* text = nullptr;
    int count = 0;
    for (const char* command : {"V1=7\r", "V12=42\r", "V2=1a2\r"}) {
        WriteComStr(Handle, command);
        ASSERT_EQ(GetAsciiResponse(Handle, &text, &count), 1) << command;
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(EnterTorvanCalMode(Handle), 1);
    EXPECT_EQ(ExitTorvanCalMode(Handle), 1);
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("OriginalV2: 01A2\n"), std::string::npos) << out;

    WriteComStr(Handle, "V2\r");
    ASSERT_EQ(GetAsciiResponse(Handle, &text, &count), 1);
    EXPECT_EQ(strncmp(text, "x1a2", 4), 0) << text;
    EXPECT_EQ(GetSerialPortErrors(), 0u);
    DisconnectFromTorvan(Handle);
    Handle = nullptr;

    Lines got = Received();
    auto at = [&got](const std::string& text) {
        for (size_t i = 0; i < got.size(); i++) {
            if (got[i] == text) {
                return static_cast<long>(i);
            }
        }
        return -1L;
    };
    // The exit restores V12, V1, then V2 in hexadecimal as it was read.
    ASSERT_GE(at("~DFSC"), 0);
    ASSERT_LE(static_cast<size_t>(at("~DFSC") + 5), got.size());
    Lines expected = {"~DFSC", "V12=42", "V1=7", "V2=1a2", "FLOK"};
    Lines exitPart(got.begin() + at("~DFSC"), got.begin() + at("~DFSC") + 5);
    EXPECT_EQ(exitPart, expected);
}

TEST_F(DeviceEmulatorTest, FlowSettlesAtTheSetPoint) {
    Start({"--kind", "controller"});
    int result = 0;
    TimedConnect(&result);
    ASSERT_EQ(result, 1);
    EXPECT_NE(SendSetPoint(Handle, 40.0f), 0);
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForFilteredFlowToSettleBetween(Handle, 38.0f, 42.0f, 200), 1);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    fflush(stdout);
    testing::internal::GetCapturedStdout();
    printf("Settle wait at 40%% (200 ms band): %.1f ms\n", ms);
    SystemStateRec state;
    ASSERT_EQ(GetLegacyBoardStateVals(Handle, &state), 1);
    EXPECT_NEAR(state.Flow, 40.0f, 2.0f);
    EXPECT_EQ(state.SetPoint, 40.0f);
    EXPECT_GE(CountOf(Received(), "~GFF"), 1u);
    DisconnectFromTorvan(Handle);
    Handle = nullptr;
}

} // namespace

#endif
