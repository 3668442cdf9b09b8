#include <gtest/gtest.h>

#include <process.h>

#include <string>

#include <cstring>

#include <atomic>

#include "MainWindowHarness.h"
#include "resources/AppMessages.h"
#include "app/SerialCmdQ.h"
#include "app/win32/Connection.h"
#include "app/win32/FlowLog.h"

using namespace harness;

namespace {

std::vector<std::string> MainBoxes;

int WINAPI RecordMainBox(HWND, LPCSTR text, LPCSTR, UINT) {
    MainBoxes.push_back(text);
    return IDOK;
}

uintptr_t NoThread(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned, unsigned*) {
    return 0;
}

BOOL CALLBACK CollectPortDialog(HWND window, LPARAM list) {
    char title[64] = "";
    GetWindowTextA(window, title, sizeof title);
    if (IsWindowVisible(window) && strcmp(title, "Select Serial Port") == 0)
        ((std::vector<HWND>*)list)->push_back(window);
    return TRUE;
}

std::vector<HWND> PortDialogs() {
    std::vector<HWND> found;
    EnumWindows(CollectPortDialog, (LPARAM)&found);
    return found;
}

// Once the port dialog shows, asks the main window for Open again (a failed connection's
// request, the driver's menu command), counts the dialogs a while later and cancels them all.
struct SecondOpen {
    HWND main;
    size_t most = 0;
};

DWORD WINAPI AskForASecondDialog(void* param) {
    SecondOpen* s = (SecondOpen*)param;
    DWORD start = GetTickCount();
    while (PortDialogs().empty() && GetTickCount() - start < 10000)
        Sleep(20);
    PostMessageA(s->main, WM_COMMAND, CMD_OPEN, 0);
    Sleep(600);
    s->most = PortDialogs().size();
    for (int i = 0; i < 100; i++) {
        std::vector<HWND> open = PortDialogs();
        if (open.empty())
            break;
        for (HWND d : open)
            PostMessageA(d, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        Sleep(100);
    }
    return 0;
}

// Workers alive at once, counted around the thread the program starts.
std::atomic<int> LiveWorkers{0}, MostWorkers{0};
unsigned(__stdcall* RealWorkerStart)(void*);
unsigned __stdcall CountingWorkerStart(void* params) {
    int live = ++LiveWorkers;
    int most = MostWorkers.load();
    while (live > most && !MostWorkers.compare_exchange_weak(most, live)) {
    }
    unsigned result = RealWorkerStart(params);
    --LiveWorkers;
    return result;
}
uintptr_t CountingThread(void* security, unsigned stack, unsigned(__stdcall* start)(void*),
                         void* argument, unsigned flags, unsigned* id) {
    RealWorkerStart = start;
    return _beginthreadex(security, stack, CountingWorkerStart, argument, flags, id);
}

// What the "Logging Stopped" box saw of the connection, and the requests that reach the window
// while it shows (the operator's Open, another program's 40110).
struct BoxView {
    HWND owner = nullptr;
    ConnectionState state = CONN_ENDING;
    int busy = -1, running = -1;
} AtBox;
int WINAPI RequestsDuringTheBox(HWND owner, LPCSTR, LPCSTR caption, UINT) {
    if (strcmp(caption, "Logging Stopped") == 0) {
        AtBox.owner = owner;
        AtBox.state = CurrentConnectionState();
        AtBox.busy = ConnectionBusy();
        AtBox.running = LiveWorkerThreads();
        SendMessageA(owner, WM_COMMAND, CMD_OPEN, 0);
        SendMessageA(owner, WM_COMMAND, CMD_SIMULATE, 0);
    }
    return IDOK;
}

// Once the port dialog shows, another program asks the window to quit (32769). A dialog still
// up 3 s later is noted and cancelled, so that the test ends either way.
struct QuitDuringDialog {
    HWND main;
    bool dialogStayed = false;
};
DWORD WINAPI QuitWhileThePortDialogShows(void* param) {
    QuitDuringDialog* q = (QuitDuringDialog*)param;
    DWORD start = GetTickCount();
    while (PortDialogs().empty() && GetTickCount() - start < 10000)
        Sleep(20);
    PostMessageA(q->main, WM_APP_QUIT, 0, 0);
    start = GetTickCount();
    while (!PortDialogs().empty() && GetTickCount() - start < 3000)
        Sleep(20);
    for (HWND dialog : PortDialogs()) {
        q->dialogStayed = true;
        PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
    return 0;
}

struct MainWindowTest : testing::Test {
    HWND window = nullptr;
    void SetUp() override {
        window = OpenMainWindow();
        ASSERT_NE(window, nullptr);
    }
    void TearDown() override {
        CloseMainWindow(window);
        EXPECT_FALSE(IsWindow(window));
        EXPECT_EQ(LiveWorkerThreads(), 0);
    }
    RECT Outer() const {
        RECT r;
        GetWindowRect(window, &r);
        return r;
    }
    bool Simulate() {
        SendMessageA(window, WM_COMMAND, CMD_SIMULATE, 0);
        return PumpUntil(3000, [&] { return Title(window) == "Torvan Controller On FAKE"; });
    }
    UINT MenuState(UINT id) const { return GetMenuState(GetMenu(window), id, MF_BYCOMMAND); }
    void OpenPopup(int position) {
        HMENU popup = GetSubMenu(GetMenu(window), position);
        SendMessageA(window, WM_INITMENUPOPUP, (WPARAM)popup, MAKELPARAM(position, FALSE));
    }
};

} // namespace

TEST_F(MainWindowTest, PlacedFromTheScreenSize) {
    int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    RECT r = Outer();
    EXPECT_EQ(r.left, w / 4);
    EXPECT_EQ(r.top, h / 8);
    if (w != 1920 || h != 1080)
        GTEST_SKIP() << "screen is " << w << "x" << h;
    EXPECT_EQ(r.left, 480);
    EXPECT_EQ(r.top, 135);
    EXPECT_EQ(r.right - r.left, 320);
    EXPECT_EQ(r.bottom - r.top, 194);
    EXPECT_EQ(Title(window), "Torvan Control Board Test");
}

TEST_F(MainWindowTest, IdleStripShowsNotConnectedOnRed) {
    PumpFor(100);
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(InfoWinRect.right, client.right);
    EXPECT_GT(StripShare(window, RGB(255, 0, 0)), 50);
}

TEST_F(MainWindowTest, SimulationIdentifiesAControllerAndGrowsOnce) {
    RECT before = Outer();
    SendMessageA(window, WM_COMMAND, CMD_SIMULATE, 0);
    EXPECT_EQ(Title(window), "Torvan FAKE");
    ASSERT_TRUE(PumpUntil(3000, [&] { return Title(window) == "Torvan Controller On FAKE"; }));
    EXPECT_EQ(ThisIsController, 1);
    RECT grown = Outer();
    EXPECT_EQ(grown.left, before.left);
    EXPECT_EQ(grown.top, before.top);
    // Grown for the controller's rows (by how much is SizedMainWindowHeight's, tested natively).
    EXPECT_GT(grown.bottom - grown.top, before.bottom - before.top);
    // The set point rows sit below the flow digits inside the client area.
    RECT client;
    GetClientRect(window, &client);
    EXPECT_GT(SetPointDigitRect.bottom, FlowDigitRect.bottom);
    EXPECT_LE(SetPointDigitRect.bottom, client.bottom);
    EXPECT_EQ(FlowDigitRect.right + 10, client.right);

    PumpFor(400);
    COLORREF strip = PixelAt(window, InfoWinRect.right - 2, InfoWinRect.top + 1);
    EXPECT_EQ(strip, RGB(190, 200, 190));
    EXPECT_GT(StripShare(window, RGB(190, 200, 190)), 50);
    EXPECT_STREQ(GasInfo, "500.0000 sccm of N2");
    EXPECT_STREQ(FlowFormatBuff, "888888");
    EXPECT_EQ(NumFlowDecimalPlaces, 1);

    // A second identification (a reconnection's, which finds the controller again) leaves the
    // size alone.
    ProductConfig = 1;
    SendMessageA(window, WM_PRODUCT_CONFIG, ActAsWorkerRun(CONN_CONNECTED, "COM5"),
                 (LPARAM)&ProductConfig);
    ASSERT_EQ(Title(window), "Torvan Controller On COM5") << "the identification was not taken";
    PumpFor(200);
    RECT again = Outer();
    EXPECT_EQ(again.bottom - again.top, grown.bottom - grown.top);
    EXPECT_EQ(again.right - again.left, grown.right - grown.left);
}

TEST_F(MainWindowTest, SimulatedStateReachesTheReadout) {
    ASSERT_TRUE(Simulate());
    ASSERT_TRUE(PumpUntil(2000, [&] { return SystemState.AuxValue4 > 123.0f; }));
    EXPECT_FLOAT_EQ(SystemState.AuxValue1, 2.5f);
    EXPECT_EQ(CurrentActiveGas, 0);
    // Flow digits are drawn in red on black: some pixel of the digit region is red.
    PumpFor(300);
    HDC dc = GetDC(window);
    int red = 0, black = 0;
    for (int y = FlowDigitRect.top; y < FlowDigitRect.bottom; y += 2)
        for (int x = FlowDigitRect.left; x < FlowDigitRect.right; x += 2) {
            COLORREF c = GetPixel(dc, x, y);
            red += c == RGB(255, 0, 0);
            black += c == RGB(0, 0, 0);
        }
    ReleaseDC(window, dc);
    EXPECT_GT(red, 20);
    EXPECT_GT(black, red);
}

TEST_F(MainWindowTest, CloseStopsTheSimulationAndTheMenuFollows) {
    ASSERT_TRUE(Simulate());
    EXPECT_EQ(LiveWorkerThreads(), 1);
    OpenPopup(1);
    // Open stays offered while simulating: opening a port leaves the simulation.
    EXPECT_FALSE(MenuState(CMD_OPEN) & MF_GRAYED);
    EXPECT_FALSE(MenuState(CMD_CLOSE) & MF_GRAYED);
    OpenPopup(2);
    EXPECT_FALSE(MenuState(CMD_SETPOINT) & MF_GRAYED);
    EXPECT_FALSE(MenuState(CMD_PID_ADJUST) & MF_GRAYED);
    EXPECT_TRUE(MenuState(CMD_FLOW_PERCENT) & MF_GRAYED);
    EXPECT_FALSE(MenuState(CMD_FLOW_UNITS) & MF_GRAYED);

    // The window does not wait for the worker: it ends, and the window follows its end report.
    SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
    EXPECT_EQ(ConnectionSimulating(), 0);
    EXPECT_EQ(CurrentActiveGas, -1);
    ASSERT_TRUE(PumpUntil(2000, [] { return CurrentConnectionState() == CONN_IDLE; }));
    EXPECT_EQ(LiveWorkerThreads(), 0);
    OpenPopup(1);
    EXPECT_FALSE(MenuState(CMD_OPEN) & MF_GRAYED);
    EXPECT_TRUE(MenuState(CMD_CLOSE) & MF_GRAYED);
    PumpFor(100);
    EXPECT_GT(StripShare(window, RGB(255, 0, 0)), 50);
}

TEST_F(MainWindowTest, MeterGraysTheControllerDialogs) {
    // A controller with both its windows open, and a reconnection finds a meter.
    ProductConfig = 1;
    SendMessageA(window, WM_PRODUCT_CONFIG, ActAsWorkerRun(), (LPARAM)&ProductConfig);
    SendMessageA(window, WM_COMMAND, CMD_SETPOINT, 0);
    SendMessageA(window, WM_COMMAND, CMD_PID_ADJUST, 0);
    ASSERT_NE(FindWindowA("#32770", "Set Point"), nullptr);
    ASSERT_NE(FindWindowA("#32770", "PID Adjust"), nullptr);
    ClearMsgQueue();
    ProductConfig = 0;
    // A reconnection on COM9: its identification says meter.
    SendMessageA(window, WM_PRODUCT_CONFIG, ActAsWorkerRun(CONN_CONNECTED, "COM9"),
                 (LPARAM)&ProductConfig);
    EXPECT_EQ(Title(window), "Torvan Meter On COM9");
    OpenPopup(2);
    EXPECT_TRUE(MenuState(CMD_SETPOINT) & MF_GRAYED);
    EXPECT_TRUE(MenuState(CMD_PID_ADJUST) & MF_GRAYED);
    EXPECT_FALSE(MenuState(CMD_SETPOINT) & MF_CHECKED);
    EXPECT_FALSE(MenuState(CMD_PID_ADJUST) & MF_CHECKED);
    EXPECT_EQ(FindWindowA("#32770", "Set Point"), nullptr);
    EXPECT_EQ(FindWindowA("#32770", "PID Adjust"), nullptr);
    EXPECT_EQ(SetPointDlgActive, 0);
    EXPECT_EQ(PidAdjDlgActive, 0);
}

TEST_F(MainWindowTest, WindowNameReplacesTheTitleUnlessEmpty) {
    snprintf(CommentField, sizeof CommentField, "\r\n");
    SetWindowTextA(window, "Torvan Meter On COM9");
    SendMessageA(window, WM_WINDOW_NAME, ActAsWorkerRun(), (LPARAM)CommentField);
    EXPECT_EQ(Title(window), "Torvan Meter On COM9");
    snprintf(CommentField, sizeof CommentField, "Bench Rig 2\r\n");
    SendMessageA(window, WM_WINDOW_NAME, TEST_RUN, (LPARAM)CommentField);
    EXPECT_EQ(Title(window), "Bench Rig 2");
    EXPECT_STREQ(WindowTitle, "Bench Rig 2");
}

TEST_F(MainWindowTest, UnitsSwitchRelaysTheReadout) {
    snprintf(FlowFormatBuff, sizeof FlowFormatBuff, "%s", "888888888888");
    int percentWidth = FlowDigitRect.right;
    SendMessageA(window, WM_COMMAND, CMD_FLOW_UNITS, 0);
    EXPECT_EQ(ShowFlowDisplayInUnits, 1);
    EXPECT_GT(FlowDigitRect.right, percentWidth);
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, FlowDigitRect.right + 10);
    SendMessageA(window, WM_COMMAND, CMD_FLOW_PERCENT, 0);
    EXPECT_EQ(ShowFlowDisplayInUnits, 0);
    EXPECT_EQ(FlowDigitRect.right, percentWidth);
}

TEST_F(MainWindowTest, UnitsBeforeTheGasIsKnownShowDigitsSizedAgainByTheGas) {
    FlowFormatBuff[0] = '\0';
    int percentWidth = FlowDigitRect.right;
    ASSERT_GT(percentWidth, 10);
    SendMessageA(window, WM_COMMAND, CMD_FLOW_UNITS, 0);
    EXPECT_EQ(FlowDigitRect.right, percentWidth) << "no gas yet: sized as in percent";
    FullScaleFlow = 2000000.0f;
    SendMessageA(window, WM_GAS_INFO, ActAsWorkerRun(), (LPARAM)&FullScaleFlow);
    EXPECT_GT(FlowDigitRect.right, percentWidth) << "re-laid for the gas's seven digits";
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, FlowDigitRect.right + 10);
    SendMessageA(window, WM_COMMAND, CMD_FLOW_PERCENT, 0);
}

TEST_F(MainWindowTest, ScaleChangeTakesTheSuggestedRectangleAndRelaysTheReadout) {
    RECT before = Outer();
    int digitHeight = FlowDigitRect.bottom - FlowDigitRect.top;
    int width = before.right - before.left, height = before.bottom - before.top;
    // From 100 % to 150 %: Windows suggests a rectangle half as large again.
    RECT suggested = {before.left + 30, before.top + 20, before.left + 30 + width * 3 / 2,
                      before.top + 20 + height * 3 / 2};
    SendMessageA(window, WM_DPICHANGED, MAKEWPARAM(144, 144), (LPARAM)&suggested);
    RECT after = Outer();
    EXPECT_EQ(after.left, suggested.left);
    EXPECT_EQ(after.top, suggested.top);
    EXPECT_EQ(after.bottom - after.top, suggested.bottom - suggested.top);
    EXPECT_GT(FlowDigitRect.bottom - FlowDigitRect.top, digitHeight * 13 / 10);
    RECT client;
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, FlowDigitRect.right + 10) << "the width follows the larger digits";
}

TEST_F(MainWindowTest, GdiObjectsStayFlat) {
    ASSERT_TRUE(Simulate());
    PumpFor(300);
    // The count must see a single object come and go, or it cannot see a leak either.
    DWORD empty = GdiObjectCount();
    HBRUSH probe = CreateSolidBrush(RGB(1, 2, 3));
    ASSERT_EQ(GdiObjectCount(), empty + 1);
    DeleteObject(probe);
    DWORD before = GdiObjectCount();
    ASSERT_EQ(before, empty);
    for (int i = 0; i < 200; i++) {
        TempSystemState = SystemState;
        TempSystemState.StatusFlags = (uint16_t)((i % 3 == 0) ? 0x0008 : (i % 3 == 1) ? 0x4000 : 0);
        TempSystemState.Flow = (float)i;
        SendState(window, &TempSystemState);
        SendMessageA(window, WM_REFRESH_INFO, 0, 0);
        if (i % 20 == 0)
            SendMessageA(window, WM_COMMAND, (i % 40 == 0) ? CMD_FLOW_UNITS : CMD_FLOW_PERCENT, 0);
        Pump();
    }
    PumpFor(200);
    DWORD after = GdiObjectCount();
    printf("GDI objects before %lu after %lu\n", (unsigned long)before, (unsigned long)after);
    EXPECT_LE(after, before + 3);

    // Simulation and Close: the window grows for the controller's rows and shrinks back, with
    // new fonts each time. After the first Close, every later one leaves the same count.
    SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
    PumpFor(200);
    DWORD closed = GdiObjectCount();
    for (int cycle = 1; cycle <= 3; cycle++) {
        ASSERT_TRUE(Simulate()) << "cycle " << cycle;
        PumpFor(300);
        SendMessageA(window, WM_COMMAND, CMD_CLOSE, 0);
        PumpFor(200);
        EXPECT_EQ(GdiObjectCount(), closed) << "after simulation and Close, cycle " << cycle;
    }
}

// A step that would draw the strip's pixels again draws nothing; a paint wipes them, so the
// strip must come back after one even though its text has not changed.
TEST_F(MainWindowTest, PaintBringsTheUnchangedStripBack) {
    ASSERT_TRUE(Simulate());
    PumpFor(300);
    ASSERT_GT(StripShare(window, RGB(190, 200, 190)), 50);
    InvalidateRect(window, nullptr, TRUE);
    UpdateWindow(window);
    PumpFor(300);
    EXPECT_GT(StripShare(window, RGB(190, 200, 190)), 50);
}

// What a rectangle of the window shows, every pixel.
static std::string WindowPixels(HWND window, const RECT& r) {
    std::string all;
    HDC dc = GetDC(window);
    for (int y = r.top; y < r.bottom; y++)
        for (int x = r.left; x < r.right; x++) {
            COLORREF c = GetPixel(dc, x, y);
            all.append((const char*)&c, sizeof c);
        }
    ReleaseDC(window, dc);
    return all;
}

// A reply that changes a number redraws that number; a paint wipes the readout, so the next
// reply draws labels and digits again even when nothing changed.
TEST_F(MainWindowTest, ReadoutFollowsTheNumbersAndComesBackAfterAPaint) {
    ActAsWorkerRun();
    CurrentActiveGas = 0;
    auto reply = [&](float flow) {
        TempSystemState = SystemStateRec{};
        TempSystemState.Flow = flow;
        SendState(window, &TempSystemState);
        Pump();
    };
    reply(12.34f);
    std::string digits = WindowPixels(window, FlowDigitRect);
    std::string label = WindowPixels(window, FlowLabelRect);
    reply(56.78f);
    EXPECT_NE(WindowPixels(window, FlowDigitRect), digits);
    EXPECT_EQ(WindowPixels(window, FlowLabelRect), label);
    reply(12.34f);
    EXPECT_EQ(WindowPixels(window, FlowDigitRect), digits);

    InvalidateRect(window, nullptr, TRUE);
    UpdateWindow(window);
    ASSERT_NE(WindowPixels(window, FlowLabelRect), label) << "the paint left the label";
    reply(12.34f);
    EXPECT_EQ(WindowPixels(window, FlowLabelRect), label);
    EXPECT_EQ(WindowPixels(window, FlowDigitRect), digits);
}

TEST_F(MainWindowTest, StatusFlagsColourTheStrip) {
    struct Case {
        uint16_t flags;
        COLORREF colour;
    } cases[] = {
        {0x0001 | 0x0008, RGB(255, 255, 0)},
        {0x0080 | 0x4000, RGB(255, 0, 0)},
        {0x0000, RGB(190, 200, 190)},
        {0x0004, RGB(255, 255, 0)},
    };
    // Connected as far as the strip can tell, without a worker.
    ActAsWorkerRun();
    snprintf(GasInfo, sizeof GasInfo, "%s", "100.0000 sccm of N2");
    CurrentActiveGas = 0;
    for (const Case& c : cases) {
        TempSystemState = SystemStateRec{};
        TempSystemState.StatusFlags = c.flags;
        SendState(window, &TempSystemState);
        PumpFor(60);
        EXPECT_GT(StripShare(window, c.colour), 50) << "flags " << c.flags;
    }
}

TEST_F(MainWindowTest, GraphOpensBesideTheWindowAndPlotsTheFlow) {
    ASSERT_TRUE(Simulate());
    SendMessageA(window, WM_COMMAND, CMD_GRAPH, 0);
    ASSERT_NE(GraphWin1, nullptr);
    EXPECT_EQ(SimGraphWindowExists.load(), 1);
    EXPECT_EQ(Title(GraphWin1), "Torvan Controller On FAKE (500 msec/div)");
    EXPECT_EQ(AvgFlowGraphLine, 1);
    RECT main = Outer(), graph;
    GetWindowRect(GraphWin1, &graph);
    EXPECT_EQ(graph.left, main.left + 40);
    EXPECT_EQ(graph.top, main.top + 40);
    EXPECT_EQ(graph.right - graph.left, GetSystemMetrics(SM_CXSCREEN) / 3);
    EXPECT_EQ(graph.bottom - graph.top, GetSystemMetrics(SM_CYSCREEN) / 4);
    EXPECT_TRUE(MenuState(CMD_GRAPH) & MF_CHECKED);

    // A set point of 50 % puts both lines mid-height: the flow in red, the set point in blue.
    SystemState.SetPoint = 50.0f;
    PumpFor(800);
    RECT client;
    GetClientRect(GraphWin1, &client);
    HDC dc = GetDC(GraphWin1);
    int red = 0, blue = 0;
    for (int y = 0; y < client.bottom; y++)
        for (int x = 0; x < client.right; x += 3) {
            COLORREF c = GetPixel(dc, x, y);
            red += c == RGB(255, 0, 0);
            blue += c == RGB(0, 150, 255);
        }
    ReleaseDC(GraphWin1, dc);
    EXPECT_GT(red, 5);
    EXPECT_GT(blue, 5);

    // Its own close box reports back and stops the flow polling.
    SendMessageA(GraphWin1, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil(1000, [] { return GraphWin1 == nullptr; }));
    EXPECT_EQ(SimGraphWindowExists.load(), 0);
    OpenPopup(2);
    EXPECT_FALSE(MenuState(CMD_GRAPH) & MF_CHECKED);

    SendMessageA(window, WM_COMMAND, CMD_GRAPH, 0);
    ASSERT_NE(GraphWin1, nullptr);
    HWND graphWindow = GraphWin1;
    SendMessageA(window, WM_COMMAND, CMD_GRAPH, 0);
    EXPECT_EQ(GraphWin1, nullptr);
    EXPECT_FALSE(IsWindow(graphWindow));
}

TEST_F(MainWindowTest, TotalizerMatchesTheWindow) {
    ASSERT_TRUE(Simulate());
    SendMessageA(window, WM_COMMAND, CMD_TOTALIZER, 0);
    ASSERT_NE(TotalizerWin, nullptr);
    EXPECT_EQ(Title(TotalizerWin), "Torvan Controller On FAKE Total Flow");
    RECT main = Outer(), mainClient, total;
    GetClientRect(window, &mainClient);
    GetWindowRect(TotalizerWin, &total);
    EXPECT_EQ(total.left, main.left + 80);
    EXPECT_EQ(total.top, main.top + 80);
    // The totalizer then fits its own width to its digits; the height is the one it was given.
    int overhead = (main.bottom - main.top) - mainClient.bottom;
    EXPECT_EQ(total.bottom - total.top, overhead + FlowDigitRect.bottom - FlowDigitRect.top);
    SendMessageA(window, WM_COMMAND, CMD_TOTALIZER, 0);
    EXPECT_EQ(TotalizerWin, nullptr);

    // A closed totalizer's report read after a new one opened leaves the new one known, so
    // the menu item still closes it.
    SendMessageA(window, WM_COMMAND, CMD_TOTALIZER, 0);
    HWND first = TotalizerWin;
    PostMessageA(first, WM_CLOSE, 0, 0);
    PumpFor(50);
    SendMessageA(window, WM_COMMAND, CMD_TOTALIZER, 0);
    ASSERT_NE(TotalizerWin, nullptr);
    SendMessageA(window, WM_TOTALIZER_CLOSED, 0, (LPARAM)first);
    EXPECT_NE(TotalizerWin, nullptr);
    SendMessageA(window, WM_COMMAND, CMD_TOTALIZER, 0);
    EXPECT_EQ(TotalizerWin, nullptr);
}

TEST_F(MainWindowTest, LeftoverSerialErrorStartsNothing) {
    // Idle: nothing to restart, so no connection attempt and no port dialog.
    PostMessageA(window, WM_SERIAL_ERROR, 0, 0);
    PumpFor(300);
    EXPECT_EQ(LiveWorkerThreads(), 0);
    EXPECT_EQ(FindWindowA("#32770", "Select Serial Port"), nullptr);
    // Simulating: the simulated board keeps running.
    ASSERT_TRUE(Simulate());
    PostMessageA(window, WM_SERIAL_ERROR, 0, 0);
    PumpFor(300);
    EXPECT_EQ(ConnectionSimulating(), 1);
    EXPECT_EQ(LiveWorkerThreads(), 1);
    EXPECT_EQ(Title(window), "Torvan Controller On FAKE");
}

int ThreadStarts;
uintptr_t CountedNoThread(void*, unsigned, unsigned(__stdcall*)(void*), void*, unsigned,
                          unsigned*) {
    ThreadStarts++;
    return 0;
}

TEST_F(MainWindowTest, AReconnectionQueuedBehindCloseOrSimulateStartsNothing) {
    // A link error asks for a new worker through the window's queue; the operator's Close or
    // simulation start already waiting there comes first and must stay the last word.
    BeginWorkerThread = CountedNoThread;
    MainMessageBox = RecordMainBox;
    const struct {
        const char* name;
        UINT command;
        int starts;
    } cases[] = {{"close", CMD_CLOSE, 0}, {"simulate", CMD_SIMULATE, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ThreadStarts = 0;
        PostMessageA(window, WM_SERIAL_ERROR, ActAsWorkerRun(CONN_CONNECTED), 0);
        PostMessageA(window, WM_COMMAND, c.command, 0);
        PumpFor(300);
        EXPECT_EQ(ThreadStarts, c.starts);
    }
    BeginWorkerThread = _beginthreadex;
    MainMessageBox = MessageBoxA;
}

TEST_F(MainWindowTest, AWorkerThatCannotStartIsReportedAndTheMenusStayIdle) {
    BeginWorkerThread = NoThread;
    MainMessageBox = RecordMainBox;
    for (int board : {0, 1}) {
        SCOPED_TRACE(board ? "board" : "simulation");
        MainBoxes.clear();
        if (board)
            ConnectionOpenPort(window, "COM5");
        else
            SendMessageA(window, WM_COMMAND, CMD_SIMULATE, 0);
        PumpFor(300);
        EXPECT_EQ(MainBoxes.size(), 1u);
        EXPECT_EQ(Title(window), "Torvan Control Board Test");
        EXPECT_EQ(LiveWorkerThreads(), 0);
        EXPECT_EQ(ConnectionSimulating(), 0);
        OpenPopup(1);
        EXPECT_FALSE(MenuState(CMD_OPEN) & MF_GRAYED);
        EXPECT_TRUE(MenuState(CMD_CLOSE) & MF_GRAYED);
        // No poll fills a queue that no worker reads.
        int kind, parse;
        char* text;
        uint32_t message;
        void* result;
        EXPECT_FALSE(DequeueThreadMsg(&kind, &text, &message, &parse, &result));
    }
    BeginWorkerThread = _beginthreadex;
    MainMessageBox = MessageBoxA;
}

TEST_F(MainWindowTest, OpenWhileThePortDialogShowsOpensNoSecond) {
    SecondOpen second{window};
    HANDLE thread = CreateThread(nullptr, 0, AskForASecondDialog, &second, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    SendMessageA(window, WM_COMMAND, CMD_OPEN, 0);
    PumpFor(200);
    WaitForSingleObject(thread, 20000);
    CloseHandle(thread);
    EXPECT_EQ(second.most, 1u);
    EXPECT_TRUE(PortDialogs().empty());
}

// Open of a port ends the simulation and its log; the box that says so comes once that
// transition is complete and is owned by the window. An Open and a 40110 that arrive while it
// shows act on the connection as it now is: the Open is refused (a board connection is being
// made), the 40110 ends that attempt and simulates. One worker at most, ever.
TEST_F(MainWindowTest, RequestsWhileTheLoggingStoppedBoxShowsStartOneWorkerAtATime) {
    BeginWorkerThread = CountingThread;
    LiveWorkers = 0;
    MostWorkers = 0;
    AtBox = BoxView{};
    ASSERT_TRUE(Simulate());
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    std::string path = std::string(folder) + "torvan-overlap.csv";
    ASSERT_EQ(StartLogToPath(window, path.c_str()), 1);
    OnLogIntervalSet(window, 3600000);
    LogMessageBox = RequestsDuringTheBox;

    ConnectionOpenPort(window, "COM8");
    PumpFor(500);

    EXPECT_EQ(AtBox.owner, window);
    EXPECT_EQ(AtBox.state, CONN_CONNECTING);
    EXPECT_EQ(AtBox.busy, 0);
    EXPECT_EQ(AtBox.running, 0);
    EXPECT_EQ(CurrentConnectionState(), CONN_SIMULATING);
    EXPECT_EQ(Title(window), "Torvan Controller On FAKE");
    EXPECT_EQ(FindWindowA("#32770", "Select Serial Port"), nullptr);
    EXPECT_EQ(MostWorkers.load(), 1);
    LogMessageBox = MessageBoxA;
    BeginWorkerThread = _beginthreadex;
    DeleteFileA(path.c_str());
}

// A quit request that comes while the port dialog is up is not lost and does not wait for the
// operator: the dialog is cancelled, nothing connects, and the window goes.
TEST_F(MainWindowTest, QuitRequestDuringThePortDialogEndsIt) {
    QuitDuringDialog quit{window};
    HANDLE thread = CreateThread(nullptr, 0, QuitWhileThePortDialogShows, &quit, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    SendMessageA(window, WM_COMMAND, CMD_OPEN, 0);
    WaitForSingleObject(thread, 20000);
    CloseHandle(thread);
    PumpUntil(3000, [&] { return !IsWindow(window); });
    EXPECT_FALSE(quit.dialogStayed);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(PortDialogs().empty());
    EXPECT_EQ(LiveWorkerThreads(), 0);
}
