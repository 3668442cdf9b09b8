#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "DeviceWinTestUtil.h"
#include "MainWindowHarness.h"
#include "resources/AppMessages.h"
#include "app/win32/Connection.h"
#include "app/SerialCmdQ.h"
#include "device/LegacyBoardUtils.h"
#include "tools/win32/CmdWin.h"

using namespace harness;

namespace {

// The main window's boxes, answered without a modal loop: a real box nobody closes would hold
// the suite until its time-out (a close may report a set point still on its way, say).
std::vector<std::string> MainBoxes;
int WINAPI RecordMainBox(HWND, LPCSTR text, LPCSTR, UINT) {
    MainBoxes.push_back(text);
    return IDOK;
}

struct BoardTest : testing::Test {
    HWND window = nullptr;
    void SetUp() override {
        if (devicewin::BoardFilePath("com5.ctl").empty())
            GTEST_SKIP() << "no emulated boards (TORVAN_WINTEST_DIR unset)";
        // The emulator makes its control FIFO when it starts; every test starts from a reset
        // board.
        if (!devicewin::BoardControl("com5.ctl", "reset"))
            GTEST_SKIP() << "no emulated controller on COM5";
        MainBoxes.clear();
        MainMessageBox = RecordMainBox;
        window = OpenMainWindow();
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        CloseMainWindow(window);
        EXPECT_EQ(LiveWorkerThreads(), 0);
        MainMessageBox = MessageBoxA;
    }
    void Connect(const char* port) { ConnectionOpenPort(window, port); }
    // Closes the connection; the last two commands the board heard (its restore).
    std::vector<std::string> CloseAndReadRestore(const char* recordFile) {
        SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
        Sleep(200);
        std::vector<std::string> record = devicewin::BoardRecord(recordFile);
        if (record.size() < 2)
            return record;
        return std::vector<std::string>(record.end() - 2, record.end());
    }
    // Connected and identified as a controller on port (the PID registers read).
    void ConnectController(const char* port) {
        Connect(port);
        std::string title = std::string("Torvan Controller On ") + port;
        ASSERT_TRUE(PumpUntil(20000, [&] { return Title(window) == title; })) << Title(window);
        PumpFor(300);
    }
};

std::string ItemText(HWND dialog, int id) {
    char text[128] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

std::string ControlText(HWND control) {
    std::vector<char> text(static_cast<size_t>(GetWindowTextLengthA(control)) + 1);
    GetWindowTextA(control, text.data(), static_cast<int>(text.size()));
    return text.data();
}

size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

} // namespace

TEST_F(BoardTest, ConnectsToTheControllerAndReadsItsGas) {
    Connect("COM5");
    ASSERT_TRUE(PumpUntil(20000, [&] { return Title(window) == "Torvan Controller On COM5"; }))
        << Title(window);
    ASSERT_TRUE(PumpUntil(5000, [&] { return GasInfo[0] != '\0'; }));
    EXPECT_EQ(ConnectionLinkUp(), 1);
    EXPECT_GT(FullScaleFlow, 0.0f);
    PumpFor(500);
    EXPECT_GT(StripShare(window, RGB(190, 200, 190)), 50);

    // The controller's PID registers were read after the identification.
    EXPECT_TRUE(PumpUntil(2000, [] { return Proportional != 0.0f || Integral != 0.0f; }));
}

// A bad reply while connected is a link error: the window reconnects on the same port by
// itself, and the board hears a new probe, link set-up and identification, then the state
// poll again; no port dialog comes, the title stays, the strip is back to its normal colour.
// The faults come one after another: each reconnection holds (its state reports arrive), so
// none of them counts towards giving up.
TEST_F(BoardTest, SerialErrorReconnectsOnTheSamePort) {
    const std::string title = "Torvan Controller On COM5";
    const std::vector<std::string> reconnection = {"~GLSV",        "2",   "S112=0", "~BAUD=230400",
                                                   "~SNLC=0x0D0A", "S64", "S54",    "~GLSV"};
    ConnectController("COM5");
    if (HasFatalFailure())
        return;
    DWORD longestGap = 0, last = GetTickCount();
    auto noteGap = [&] {
        DWORD now = GetTickCount();
        longestGap = std::max(longestGap, now - last);
        last = now;
    };
    int faultsOnThisConnection = 0;
    for (const char* fault : {"badsum once", "zerolen once", "cut once", "silence once"}) {
        SCOPED_TRACE(fault);
        // Four faults, each right after the last reconnection, are a fault that keeps coming
        // back: the fourth would end the connection. Each kind after the second gets a new one.
        if (faultsOnThisConnection == 2) {
            SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
            Connect("COM5");
            // The title is still the last connection's: wait for the link, then for its
            // identification and gas reads.
            ASSERT_TRUE(
                PumpUntil(20000, [] { return CurrentConnectionState() == CONN_CONNECTED; }));
            PumpFor(1500);
            faultsOnThisConnection = 0;
            last = GetTickCount();
        }
        faultsOnThisConnection++;
        size_t mark = devicewin::BoardRecord("com5.rec").size();
        auto sinceMark = [&] {
            std::vector<std::string> r = devicewin::BoardRecord("com5.rec");
            return std::vector<std::string>(r.begin() + std::min(mark, r.size()), r.end());
        };
        ASSERT_TRUE(devicewin::BoardControl("com5.ctl", (std::string("fault ") + fault).c_str()));
        // Back: three state polls since the new link set-up.
        bool back = PumpUntil(20000, [&] {
            noteGap();
            std::vector<std::string> r = sinceMark();
            auto setUp = std::find(r.begin(), r.end(), std::string("~SNLC=0x0D0A"));
            return std::count(setUp, r.end(), std::string("~GLSV")) >= 3;
        });
        std::vector<std::string> record = sinceMark();
        std::string heard;
        for (const std::string& command : record)
            heard += command + " ";
        ASSERT_TRUE(back) << "no reconnection; the board heard: " << heard;
        auto next = record.begin();
        for (const std::string& command : reconnection) {
            next = std::find(next, record.end(), command);
            ASSERT_TRUE(next != record.end())
                << command << " missing or out of order in: " << heard;
            ++next;
        }
        EXPECT_EQ(FindWindowA("#32770", "Select Serial Port"), nullptr);
        EXPECT_TRUE(PumpUntil(5000, [&] { return Title(window) == title; })) << Title(window);
        EXPECT_TRUE(PumpUntil(5000, [&] { return StripShare(window, RGB(190, 200, 190)) > 50; }))
            << "the strip is not back to its normal colour";
    }
    printf("longest pause of the message loop: %lu ms\n", (unsigned long)longestGap);
}

// Connecting and closing leave no GDI object behind: after a first round, every round has the
// same count while connected and after Close.
TEST_F(BoardTest, GdiObjectsStayFlatAcrossConnections) {
    DWORD connected = 0, closed = 0;
    for (int cycle = 0; cycle <= 3; cycle++) {
        SCOPED_TRACE(cycle);
        ConnectController("COM5");
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(PumpUntil(5000, [&] { return StripShare(window, RGB(190, 200, 190)) > 50; }));
        PumpFor(500);
        DWORD nowConnected = GdiObjectCount();
        SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
        PumpFor(300);
        DWORD nowClosed = GdiObjectCount();
        if (cycle == 0) {
            connected = nowConnected;
            closed = nowClosed;
            printf("GDI objects connected %lu, after Close %lu\n", (unsigned long)connected,
                   (unsigned long)closed);
            continue;
        }
        EXPECT_EQ(nowConnected, connected) << "while connected";
        EXPECT_EQ(nowClosed, closed) << "after Close";
    }
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
    EXPECT_EQ(LiveWorkerThreads(), 0);
    EXPECT_EQ(ConnectionLinkUp(), 0);
    EXPECT_EQ(Title(window), "Torvan Control Board Test");
}

TEST_F(BoardTest, OpenWhileConnectingWaitsForTheAttemptToEnd) {
    Connect("COM7");
    ASSERT_TRUE(PumpUntil(2000, [] { return LiveWorkerThreads() == 1; }));
    DialogDriver driver;
    driver.pressOk = false;
    driver.timeoutMs = 30000;
    StartDialogDriver(&driver);
    // The silent COM7 takes over a second of probes; an Open meanwhile (the menu item is gray,
    // the command can still come) shows no dialog and leaves the port name to the worker.
    SendMessageA(window, WM_COMMAND, CMD_OPEN, 0);
    EXPECT_FALSE(driver.found);
    EXPECT_STREQ(ConnectionPortName(), "COM7");
    EXPECT_EQ(LiveWorkerThreads(), 1);
    // The attempt ends by reopening the dialog itself.
    EXPECT_TRUE(PumpUntil(30000, [&] { return driver.found; }));
    JoinDialogDriver(&driver);
    Pump();
    EXPECT_EQ(LiveWorkerThreads(), 0);
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
        EXPECT_EQ(CloseAndReadRestore("com6.rec"),
                  (std::vector<std::string>{"~SNLC=d", "~BAUD=19200"}));
    }
}

// A reconnection that fails leaves the board at the program's 230400 with CR LF (it heard
// neither the requests nor the restores). Picked again on the same port, it is found at
// 230400 and is still the meter that runs at 19200 with CR: Close puts that back.
TEST_F(BoardTest, SamePortAfterAFailedReconnectionKeepsTheBoardsOwnSettings) {
    ASSERT_TRUE(devicewin::BoardControl("com6.ctl", "reset"));
    Connect("COM6");
    ASSERT_TRUE(PumpUntil(20000, [&] { return Title(window) == "Torvan Meter On COM6"; }))
        << Title(window);
    PumpFor(300);
    DialogDriver driver;
    driver.select = "COM6";
    driver.timeoutMs = 30000;
    driver.pressAfterMs = 1500;
    StartDialogDriver(&driver);
    ASSERT_TRUE(devicewin::BoardControl("com6.ctl", "fault deaf 0"));
    // The link error, the reconnection that finds nobody, and the port dialog.
    ASSERT_TRUE(PumpUntil(30000, [&] { return driver.found; }));
    ASSERT_TRUE(devicewin::BoardControl("com6.ctl", "fault none"));
    ASSERT_TRUE(PumpUntil(30000, [&] { return CurrentConnectionState() == CONN_CONNECTED; }));
    JoinDialogDriver(&driver);
    PumpFor(300);
    EXPECT_EQ(CloseAndReadRestore("com6.rec"),
              (std::vector<std::string>{"~SNLC=d", "~BAUD=19200"}));
}

// A fault that comes back right after every reconnection (every state record damaged): the
// program gives up after three reconnections and the port dialog itself says why, with no box
// in front of it; nothing runs while it shows.
TEST_F(BoardTest, AFaultThatKeepsComingBackEndsInThePortDialogSayingWhy) {
    ConnectController("COM5");
    if (HasFatalFailure())
        return;
    MainBoxes.clear();
    DialogDriver driver;
    driver.pressOk = false;
    driver.timeoutMs = 30000;
    StartDialogDriver(&driver);
    ASSERT_TRUE(devicewin::BoardControl("com5.ctl", "fault badsum on ~GLSV"));
    bool found = PumpUntil(30000, [&] { return driver.found; });
    JoinDialogDriver(&driver);
    Pump();
    ASSERT_TRUE(found) << "no port dialog";
    EXPECT_TRUE(MainBoxes.empty()) << MainBoxes.front();
    EXPECT_NE(driver.note.find("The link to COM5 kept failing (bad replies)"), std::string::npos)
        << driver.note;
    EXPECT_EQ(CurrentConnectionState(), CONN_IDLE);
    EXPECT_EQ(LiveWorkerThreads(), 0);
    ASSERT_TRUE(devicewin::BoardControl("com5.ctl", "fault none"));
}

// Close while the speed probe of a silent port runs: the probe stops between rounds, so the
// window is back at once instead of after the remaining rounds (over a second).
TEST_F(BoardTest, CloseDuringTheProbeOfASilentPortAnswersAtOnce) {
    Connect("COM7");
    ASSERT_TRUE(PumpUntil(2000, [] { return LiveWorkerThreads() == 1; }));
    PumpFor(200);
    DWORD start = GetTickCount();
    SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
    DWORD took = GetTickCount() - start;
    printf("Close during the probe took %lu ms\n", (unsigned long)took);
    EXPECT_LT(took, 1000u);
    // The window does not wait for the worker; its end report comes at once all the same.
    EXPECT_TRUE(PumpUntil(
        1000, [] { return LiveWorkerThreads() == 0 && CurrentConnectionState() == CONN_IDLE; }));
    PumpFor(300);
    EXPECT_EQ(FindWindowA("#32770", "Select Serial Port"), nullptr);
}

// A reconnection that finds no board rides through: seconds after the link failed it still
// tries, without the port dialog, and Close ends it at once.
TEST_F(BoardTest, CloseDuringARideThroughAnswersAtOnce) {
    ASSERT_TRUE(devicewin::BoardControl("com6.ctl", "reset"));
    Connect("COM6");
    ASSERT_TRUE(PumpUntil(20000, [&] { return Title(window) == "Torvan Meter On COM6"; }))
        << Title(window);
    DialogDriver driver;
    driver.pressOk = false;
    driver.timeoutMs = 9000;
    StartDialogDriver(&driver);
    ASSERT_TRUE(devicewin::BoardControl("com6.ctl", "fault deaf 0"));
    ASSERT_TRUE(PumpUntil(5000, [] { return CurrentConnectionState() == CONN_RECONNECTING; }));
    PumpFor(5000);
    EXPECT_EQ(CurrentConnectionState(), CONN_RECONNECTING);
    EXPECT_FALSE(driver.found) << "the port dialog opened during the ride-through";
    DWORD start = GetTickCount();
    SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
    DWORD took = GetTickCount() - start;
    printf("Close during the ride-through took %lu ms\n", (unsigned long)took);
    EXPECT_LT(took, 1000u);
    EXPECT_TRUE(PumpUntil(
        1000, [] { return LiveWorkerThreads() == 0 && CurrentConnectionState() == CONN_IDLE; }));
    JoinDialogDriver(&driver);
    EXPECT_FALSE(driver.found) << "the port dialog opened after Close";
    ASSERT_TRUE(devicewin::BoardControl("com6.ctl", "fault none"));
}

// Four lines pasted with the board deaf to the first: the link error and the reconnection
// come between, and still each line reaches the board once, in order, and every line the
// window echoed was sent.
TEST_F(BoardTest, PastedLinesSurviveAReconnectionEachSentOnce) {
    ConnectController("COM5");
    SendMessageA(window, WM_COMMAND, CMD_COMMAND_WINDOW, 0);
    HWND entry = GetDlgItem(CmdWin, IDC_CMD_ENTRY);
    HWND output = GetDlgItem(CmdWin, IDC_CMD_OUTPUT);
    ASSERT_NE(entry, nullptr);
    // Only the pasted lines talk to the board until the fault has struck.
    KillTimer(window, TIMER_STATE_POLL);
    PumpFor(300);
    size_t mark = devicewin::BoardRecord("com5.rec").size();
    ASSERT_TRUE(devicewin::BoardControl("com5.ctl", "fault deaf 1"));
    Sleep(100);
    SendMessageA(entry, EM_REPLACESEL, TRUE, (LPARAM) "V1\r\nV2\r\nV12\r\nS54\r\n");
    const std::vector<std::string> lines = {"V1", "V2", "V12", "S54"};
    auto sinceMark = [&] {
        std::vector<std::string> r = devicewin::BoardRecord("com5.rec");
        return std::vector<std::string>(r.begin() + std::min(mark, r.size()), r.end());
    };
    ASSERT_TRUE(PumpUntil(20000, [&] {
        std::vector<std::string> r = sinceMark();
        return CountOf(r, "S54") >= 2; // the identification's, then the pasted one
    })) << "the lines did not all reach the board";
    PumpFor(300);
    std::vector<std::string> record = sinceMark();
    EXPECT_EQ(CountOf(record, "~SNLC=0x0D0A"), 1u) << "one reconnection";
    std::vector<std::string> pasted;
    for (const std::string& command : record)
        if (command == "V1" || command == "V2" || command == "V12")
            pasted.push_back(command);
    EXPECT_EQ(pasted, (std::vector<std::string>{"V1", "V2", "V12"})) << "each once, in order";
    std::string shown = ControlText(output);
    for (const std::string& line : lines)
        EXPECT_NE(shown.find(line + "\r\n"), std::string::npos) << line << " echoed";
    EXPECT_EQ(shown.find("not sent"), std::string::npos) << shown;
}

// The PID dialog stays open while the operator closes one controller and opens another with
// other tuning: the dialog shows the second board's values, and SAVE writes those.
TEST_F(BoardTest, PidDialogShowsTheNextBoardsTuningAndSaveWritesIt) {
    ASSERT_TRUE(devicewin::BoardControl("com6.ctl", "reset"));
    ASSERT_TRUE(devicewin::BoardControl("com6.ctl", "kind controller"));
    // The second controller's proportional gain, set behind the program's back.
    ComHandle port = nullptr;
    ASSERT_TRUE(ConnectToTorvan("COM6", &port));
    char* reply = nullptr;
    int count = 0;
    WriteComStr(port, "V24=777\r");
    EXPECT_TRUE(GetAsciiResponse(port, &reply, &count));
    DisconnectFromTorvan(port);
    ForgetBoardLineSettings();

    ConnectController("COM5");
    SendMessageA(window, WM_COMMAND, CMD_PID_ADJUST, 0);
    HWND dialog = FindWindowA("#32770", "PID Adjust");
    ASSERT_NE(dialog, nullptr);
    std::string first = ItemText(dialog, IDC_PROP_LABEL);
    SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
    ConnectController("COM6");
    EXPECT_TRUE(PumpUntil(3000, [&] { return ItemText(dialog, IDC_PROP_LABEL) == "777"; }))
        << "the dialog still shows " << ItemText(dialog, IDC_PROP_LABEL) << " (first board "
        << first << ")";
    size_t mark = devicewin::BoardRecord("com6.rec").size();
    SendMessageA(dialog, WM_COMMAND, IDC_SAVE_TO_FLASH, 0);
    ASSERT_TRUE(PumpUntil(3000, [&] {
        std::vector<std::string> r = devicewin::BoardRecord("com6.rec");
        return std::find(r.begin() + std::min(mark, r.size()), r.end(),
                         "V29=" + ItemText(dialog, IDC_CRACK_LABEL)) != r.end();
    })) << "SAVE did not write the cracking value the dialog shows";
    std::vector<std::string> r = devicewin::BoardRecord("com6.rec");
    std::vector<std::string> saved(r.begin() + std::min(mark, r.size()), r.end());
    EXPECT_EQ(CountOf(saved, "V24=777.000000"), 1u);
    EXPECT_EQ(CountOf(saved, "V26=" + ItemText(dialog, IDC_INTEG_LABEL) + "00"), 1u);
    SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
    EXPECT_TRUE(devicewin::BoardControl("com6.ctl", "reset"));
}

// A set point chosen while the connection is still being made goes to the board only once
// "S64" has said it is a controller.
TEST_F(BoardTest, SetPointChosenWhileConnectingWaitsForTheIdentification) {
    size_t mark = devicewin::BoardRecord("com5.rec").size();
    Connect("COM5");
    ASSERT_TRUE(PumpUntil(2000, [] { return LiveWorkerThreads() == 1; }));
    ASSERT_EQ(ConnectionLinkUp(), 0) << "too late: already connected";
    float percent = 37.0f;
    uint32_t bits;
    memcpy(&bits, &percent, sizeof bits);
    PostMessageA(window, WM_NEW_SETPOINT, 0, (LPARAM)bits);
    auto sinceMark = [&] {
        std::vector<std::string> r = devicewin::BoardRecord("com5.rec");
        return std::vector<std::string>(r.begin() + std::min(mark, r.size()), r.end());
    };
    ASSERT_TRUE(PumpUntil(20000, [&] { return CountOf(sinceMark(), "V5=37.000000") == 1; }))
        << "the set point never went";
    std::vector<std::string> record = sinceMark();
    auto s64 = std::find(record.begin(), record.end(), "S64");
    auto v5 = std::find(record.begin(), record.end(), "V5=37.000000");
    EXPECT_LT(s64 - record.begin(), v5 - record.begin()) << "sent before the identification";
}
