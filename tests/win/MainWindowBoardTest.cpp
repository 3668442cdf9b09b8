#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "DeviceWinTestUtil.h"
#include "MainWindowHarness.h"
#include "app/AppMessages.h"
#include "app/win32/Connection.h"

using namespace harness;

namespace {

struct BoardTest : testing::Test {
    HWND window = nullptr;
    void SetUp() override {
        if (devicewin::BoardFilePath("com5.ctl").empty())
            GTEST_SKIP() << "no emulated boards (TORVAN_WINTEST_DIR unset)";
        // The emulator makes its control FIFO when it starts; every test starts from a reset
        // board.
        if (!devicewin::BoardControl("com5.ctl", "reset"))
            GTEST_SKIP() << "no emulated controller on COM5";
        window = OpenMainWindow();
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        CloseMainWindow(window);
        EXPECT_EQ(ThreadParams.Running.load(), 0);
    }
    void Connect(const char* port) { ConnectionOpenPort(window, port); }
};

} // namespace

TEST_F(BoardTest, ConnectsToTheControllerAndReadsItsGas) {
    Connect("COM5");
    ASSERT_TRUE(PumpUntil(20000, [&] { return Title(window) == "Torvan Controller On COM5"; }))
        << Title(window);
    ASSERT_TRUE(PumpUntil(5000, [&] { return GasInfo[0] != '\0'; }));
    EXPECT_EQ(ThreadParams.Connected.load(), 1);
    EXPECT_GT(FullScaleFlow, 0.0f);
    PumpFor(500);
    EXPECT_GT(StripShare(window, RGB(190, 200, 190)), 50);

    // The controller's PID registers were read after the identification.
    EXPECT_TRUE(PumpUntil(2000, [] { return Proportional != 0.0f || Integral != 0.0f; }));
}

TEST_F(BoardTest, SerialErrorReconnectsOnTheSamePort) {
    Connect("COM5");
    ASSERT_TRUE(PumpUntil(20000, [&] { return ThreadParams.Connected.load() == 1; }));
    PumpFor(300);
    // The board stops answering for a while: the worker reports the error, the window
    // restarts it and it finds the board again, all without a dialog.
    ASSERT_TRUE(devicewin::BoardControl("com5.ctl", "fault silence once"));
    DWORD longestGap = 0, last = GetTickCount();
    bool lost = PumpUntil(10000, [&] {
        DWORD now = GetTickCount();
        longestGap = std::max(longestGap, now - last);
        last = now;
        return ThreadParams.Connected.load() == 0 || SerialPortErrors != 0;
    });
    EXPECT_TRUE(lost);
    ASSERT_TRUE(devicewin::BoardControl("com5.ctl", "fault none"));
    bool back = PumpUntil(20000, [&] {
        DWORD now = GetTickCount();
        longestGap = std::max(longestGap, now - last);
        last = now;
        return ThreadParams.Connected.load() == 1 && SerialPortErrors == 0;
    });
    EXPECT_TRUE(back);
    EXPECT_EQ(FindWindowA("#32770", "Select Serial Port"), nullptr);
    printf("longest pause of the message loop: %lu ms\n", (unsigned long)longestGap);
}

TEST_F(BoardTest, FailedConnectReopensThePortDialog) {
    DialogDriver driver;
    driver.pressOk = false;
    driver.timeoutMs = 30000;
    StartDialogDriver(&driver);
    Connect("COM7");
    ASSERT_TRUE(PumpUntil(30000, [&] { return driver.found; }));
    JoinDialogDriver(&driver);
    Pump();
    EXPECT_EQ(ThreadParams.Running.load(), 0);
    EXPECT_EQ(ThreadParams.Connected.load(), 0);
    EXPECT_EQ(Title(window), "Torvan Control Board Test");
}

TEST_F(BoardTest, OpenWhileConnectingWaitsForTheAttemptToEnd) {
    Connect("COM7");
    ASSERT_TRUE(PumpUntil(2000, [] { return ThreadParams.Running.load() == 1; }));
    DialogDriver driver;
    driver.pressOk = false;
    driver.timeoutMs = 30000;
    StartDialogDriver(&driver);
    // The silent COM7 takes over a second of probes; an Open meanwhile (the menu item is gray,
    // the command can still come) shows no dialog and leaves the port name to the worker.
    SendMessageA(window, WM_COMMAND, CMD_OPEN, 0);
    EXPECT_FALSE(driver.found);
    EXPECT_STREQ(ThreadParams.PortName, "COM7");
    EXPECT_EQ(ThreadParams.Running.load(), 1);
    // The attempt ends by reopening the dialog itself.
    EXPECT_TRUE(PumpUntil(30000, [&] { return driver.found; }));
    JoinDialogDriver(&driver);
    Pump();
    EXPECT_EQ(ThreadParams.Running.load(), 0);
}

// Whether the board heard the end of each connection or not, Close puts it back at the speed
// and line ending the program first found it with: here the meter on COM6, 19200 and CR.
TEST_F(BoardTest, TheBoardsOwnSettingsSurviveFaultsThatSwallowTheRestore) {
    // Connected: a link set-up after the mark, and a state poll after that.
    auto linkSetUpSince = [](size_t mark) {
        std::vector<std::string> r = devicewin::BoardRecord("com6.rec");
        auto setUp =
            std::find(r.begin() + std::min(mark, r.size()), r.end(), std::string("~SNLC=0x0D0A"));
        return setUp != r.end() && std::find(setUp, r.end(), "~GLSV") != r.end();
    };
    for (int faults : {1, 2}) {
        SCOPED_TRACE(faults);
        ASSERT_TRUE(devicewin::BoardControl("com6.ctl", "reset"));
        size_t mark = devicewin::BoardRecord("com6.rec").size();
        Connect("COM6");
        ASSERT_TRUE(PumpUntil(20000, [&] { return linkSetUpSince(mark); })) << "no connection";
        for (int i = 0; i < faults; i++) {
            mark = devicewin::BoardRecord("com6.rec").size();
            // The next request and the two restore commands of the worker that its time-out
            // ends go unheard; the board stays at 230400 with CR LF.
            ASSERT_TRUE(devicewin::BoardControl("com6.ctl", "fault deaf 3"));
            ASSERT_TRUE(PumpUntil(20000, [&] { return linkSetUpSince(mark); }))
                << "no reconnection after fault " << i + 1;
        }
        SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
        Sleep(200);
        std::vector<std::string> record = devicewin::BoardRecord("com6.rec");
        ASSERT_GE(record.size(), 2u);
        EXPECT_EQ(std::vector<std::string>(record.end() - 2, record.end()),
                  (std::vector<std::string>{"~SNLC=d", "~BAUD=19200"}));
    }
}
