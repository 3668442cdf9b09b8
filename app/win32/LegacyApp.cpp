// The main window: start-up, the message loop, the window procedure's dispatch, stopping the
// worker and the timer callback.
#include "app/win32/LegacyApp.h"

#include <process.h>

#include <commctrl.h>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/QueueSignal.h"
#include "app/SerialCmdQ.h"
#include "app/WorkerThread.h"
#include "app/win32/Companions.h"
#include "app/win32/Connection.h"
#include "app/win32/FlowLog.h"
#include "app/win32/MainMenu.h"
#include "app/win32/MainReplies.h"
#include "app/win32/MainReadout.h"
#include "device/LegacyBoardUtils.h"
#include "display/win32/TotalizerWin.h"
#include "display/win32/WindowUtils.h"
#include "tools/win32/CmdWin.h"
#include "tools/win32/LogIntervalWin.h"
#include "tools/win32/PidAdjust.h"
#include "tools/win32/SetPointEntry.h"

HINSTANCE MainInstance;
HWND MainWindowHandle;
HDC MainWinDC;
int ScreenWidth, ScreenHeight;
int WinBorderWidth, WinBorderHeight;

HBRUSH MainWinBackgroundBrush;
HBRUSH DigitsBackgroundBrush;
HBRUSH TextBackgroundBrush;
HBRUSH ErrorBackgroundBrush;
HBRUSH WarningBackgroundBrush;
HBRUSH NormalBackgroundBrush;

HWND GraphWin1, CmdWin, TotalizerWin, LogIntervalWin;
int AvgFlowGraphLine;

int MainWindowPlacing;

static const char MAIN_CLASS_NAME[] = "QRB_TorvanWin";

MainMessageBoxFunc MainMessageBox = MessageBoxA;

void CALLBACK TimerProc(HWND window, UINT, UINT_PTR timerId, DWORD) {
    switch (timerId) {
    case TIMER_FLOW_READINGS:
    case TIMER_STATE_POLL:
        ConnectionPollTick(window, (UINT)timerId);
        break;
    case TIMER_OWNER_CLOCK:
        ConnectionClockTick(window);
        break;
    case TIMER_LOG_SAMPLE:
        LogSampleTick(window);
        break;
    case TIMER_SEND_SETPOINT:
    case TIMER_SEND_PROPORTIONAL:
    case TIMER_SEND_INTEGRAL:
    case TIMER_SEND_DERIVATIVE:
    case TIMER_SEND_CRACKING:
        SendSetting(window, (UINT)timerId);
        break;
    case TIMER_INFO_REFRESH:
        PostMessageA(window, WM_REFRESH_INFO, 0, 0);
        return;
    default:
        break;
    }
    // A tick may change the strip's text (a log that failed to write ends logging).
    RefreshChangedStrip();
}

static LRESULT OnCreate(HWND window) {
    ScreenWidth = GetSystemMetrics(SM_CXSCREEN);
    ScreenHeight = GetSystemMetrics(SM_CYSCREEN);
    WinBorderWidth = GetSystemMetrics(SM_CXFRAME);
    WinBorderHeight = GetSystemMetrics(SM_CYFRAME);
    CommentField[0] = '\0';
    ResetReadoutState();
    InitConnection();

    DigitsBackgroundBrush = CreateSolidBrush(RGB(0, 0, 0));
    TextBackgroundBrush = CreateSolidBrush(RGB(200, 200, 200));
    ErrorBackgroundBrush = CreateSolidBrush(RGB(255, 0, 0));
    WarningBackgroundBrush = CreateSolidBrush(RGB(255, 255, 0));
    NormalBackgroundBrush = CreateSolidBrush(RGB(190, 200, 190));

    MoveWindow(window, ScreenWidth / 4, ScreenHeight / 8, ScreenWidth / 6, ScreenHeight * 18 / 100,
               TRUE);
    SetTimer(window, TIMER_INFO_REFRESH, 20, TimerProc);
    return 0;
}

static LRESULT OnSize(HWND window, WPARAM sizeType) {
    // A minimised window has no client area to lay out.
    if (sizeType != SIZE_MINIMIZED)
        RelayoutReadout(window);
    return 0;
}

// Moved to a monitor with another scale: the suggested rectangle keeps the window the same
// physical size; the readout is laid out again for it (also when the size in pixels happens
// to stay, which sends no WM_SIZE).
static LRESULT OnDpiChanged(HWND window, LPARAM suggested) {
    TakeSuggestedDpiRect(window, suggested);
    if (!IsIconic(window))
        RelayoutReadout(window);
    InvalidateRect(window, nullptr, TRUE);
    return 0;
}

static LRESULT OnPaint(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (IsIconic(window))
        return DefWindowProcA(window, message, wParam, lParam);
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    HRGN clip = CreateRectRgnIndirect(&client);
    SelectClipRgn(dc, clip);
    FillRect(dc, &client, MainWinBackgroundBrush);
    SelectClipRgn(dc, nullptr);
    DeleteObject(clip);
    EndPaint(window, &paint);
    ForgetDrawnReadout();
    ForgetDrawnStrip();
    UpdateInformationWindow(MainWinDC);
    return 0;
}

static LRESULT OnClose(HWND window) {
    // The connection ends first, without holding the window: the owner destroys it once the
    // worker has put the board back (a port dialog that shows is cancelled first).
    ConnectionEndForExit(window);
    return 0;
}

// Windows is logging off or shutting down and ends the process soon after this returns: the
// board is put back and the log closed now, since no WM_CLOSE or WM_DESTROY follows. A session
// end that was cancelled (wParam FALSE) leaves everything running.
static LRESULT OnEndSession(HWND window, WPARAM ending) {
    if (!ending)
        return 0;
    ConnectionEndForSession(window);
    return 0;
}

static void DeleteBrush(HBRUSH* brush) {
    if (*brush)
        DeleteObject(*brush);
    *brush = nullptr;
}

static LRESULT OnDestroy(HWND window) {
    KillTimer(window, TIMER_INFO_REFRESH);
    ReleaseReadoutObjects();
    DeleteBrush(&DigitsBackgroundBrush);
    DeleteBrush(&TextBackgroundBrush);
    DeleteBrush(&ErrorBackgroundBrush);
    DeleteBrush(&WarningBackgroundBrush);
    DeleteBrush(&NormalBackgroundBrush);
    // The class still names this brush; no window of the class is left to paint with it.
    DeleteBrush(&MainWinBackgroundBrush);
    if (MainWinDC)
        ReleaseDC(window, MainWinDC);
    MainWinDC = nullptr;
    if (MainWindowHandle == window)
        MainWindowHandle = nullptr;
    PostQuitMessage(0);
    return 0;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_SIZE:
        return OnSize(window, wParam);
    case WM_PAINT:
        return OnPaint(window, message, wParam, lParam);
    case WM_DPICHANGED:
        return OnDpiChanged(window, lParam);
    case WM_CLOSE:
        return OnClose(window);
    case WM_DESTROY:
        return OnDestroy(window);
    case WM_QUERYENDSESSION:
        // Nothing here holds the session up; the work is done when it really ends.
        return TRUE;
    case WM_ENDSESSION:
        return OnEndSession(window, wParam);
    case WM_COMMAND: {
        LRESULT result = 0;
        OnCommand(window, wParam, lParam, &result);
        RefreshChangedStrip();
        if (result == 1)
            return DefWindowProcA(window, message, wParam, lParam);
        return 0;
    }
    case WM_INITMENUPOPUP:
        if (!HIWORD(lParam))
            OnInitMenuPopup(window, (HMENU)wParam, LOWORD(lParam));
        return DefWindowProcA(window, message, wParam, lParam);
    default:
        break;
    }
    if (message == WM_APP_QUIT)
        return OnClose(window);
    if (message == WM_START_WORKER) {
        ConnectionStartWorker(window, wParam);
        return 0;
    }
    if (message >= TORVAN_WM_APP && message <= 0xBFFF &&
        OnAppMessage(window, message, wParam, lParam)) {
        RefreshChangedStrip();
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateMainWindow(HINSTANCE instance, int showMode) {
    MainInstance = instance;
    MainWinBackgroundBrush = CreateSolidBrush(RGB(200, 200, 200));

    // A window class outlives the window; registering afresh ties it to this brush.
    UnregisterClassA(MAIN_CLASS_NAME, instance);
    WNDCLASSA windowClass = {};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_TORVAN));
    if (!windowClass.hIcon)
        windowClass.hIcon = LoadIconA(nullptr, (LPCSTR)IDI_APPLICATION);
    windowClass.hCursor = LoadCursorA(nullptr, (LPCSTR)IDC_ARROW);
    windowClass.hbrBackground = MainWinBackgroundBrush;
    windowClass.lpszMenuName = "TORVANMENU";
    windowClass.lpszClassName = MAIN_CLASS_NAME;
    RegisterClassA(&windowClass);

    snprintf(WindowTitle, sizeof WindowTitle, "%s", "Torvan Control Board Test");
    MainWindowPlacing = 1;
    HWND window =
        CreateWindowExA(0, MAIN_CLASS_NAME, "Torvan Control Board Test", WS_OVERLAPPEDWINDOW,
                        CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr, nullptr, instance, nullptr);
    if (!window) {
        MainWindowPlacing = 0;
        DeleteBrush(&MainWinBackgroundBrush);
        return nullptr;
    }
    MainWindowHandle = window;

    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    MainWinDC = GetDC(window);
    ShowWindow(window, showMode);
    UpdateWindow(window);
    MainWindowPlacing = 0;
    return window;
}

int RunMessageLoop() {
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (CompanionFilterMessage(&message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return (int)message.wParam;
}
