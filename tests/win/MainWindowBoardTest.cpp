#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "DeviceWinTestUtil.h"
#include "MainWindowHarness.h"
#include "app/AppMessages.h"

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
    void Connect(const char* port) {
        snprintf(ThreadParams.PortName, sizeof ThreadParams.PortName, "%s", port);
        PostMessageA(window, WM_START_WORKER, 0, 0);
    }
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
