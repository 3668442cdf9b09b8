// The main window's menu commands and the graying and checking of its popups.
#include <cstdio>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/SerialCmdQ.h"
#include "app/WorkerThread.h"
#include "app/win32/Companions.h"
#include "app/win32/Connection.h"
#include "app/win32/FlowLog.h"
#include "app/win32/LegacyApp.h"
#include "app/win32/MainMenu.h"
#include "app/win32/MainReadout.h"
#include "display/win32/Graph.h"
#include "tools/win32/CmdWin.h"
#include "tools/win32/PidAdjust.h"
#include "tools/win32/SetPointEntry.h"

// Menu bar positions of the popups.
constexpr int POPUP_CONNECTION = 1;
constexpr int POPUP_VIEW = 2;
constexpr int POPUP_LOGGING = 3;

static const char HELP_TEXT[] =
    "To change the window size, drag the top, bottom or corner of the window.\rTo change the "
    "window name, open the command window and set S54 to the desired name e.g. S54=My "
    "Controller.";

static void SetItemState(HMENU menu, UINT id, UINT state) {
    EnableMenuItem(menu, id, MF_BYCOMMAND | state);
}

static void SetItemCheck(HMENU menu, UINT id, int checked) {
    CheckMenuItem(menu, id, MF_BYCOMMAND | (checked ? MF_CHECKED : MF_UNCHECKED));
}

void OnGraphCommand(HWND window) {
    HMENU menu = GetMenu(window);
    if (GraphWin1 && IsWindow(GraphWin1)) {
        DestroyWindow(GraphWin1);
        GraphWin1 = nullptr;
        SimGraphWindowExists.store(0);
        SetItemCheck(menu, CMD_GRAPH, 0);
        ConnectionGraphClosed(window);
        return;
    }
    char title[TITLE_SIZE + 32];
    snprintf(title, sizeof title, "%s (500 msec/div)", WindowTitle);
    RECT outer;
    GetWindowRect(window, &outer);
    GraphWin1 = CreateGraph(window, 0, title, outer.left + 40, outer.top + 40, ScreenWidth / 3,
                            ScreenHeight / 4, MainInstance);
    SimGraphWindowExists.store(GraphWin1 ? 1 : 0);
    if (GraphWin1) {
        SetGraphGraticluleSpacing(50);
        SetGraphBackgroundBrush(RGB(0, 0, 0));
        SetGraphGraticulePen(RGB(100, 100, 100));
        if (ThisIsController) {
            SetNumGraphLines(GraphWin1, 2);
            AvgFlowGraphLine = 1;
            SetGraphLinePen(0, RGB(0, 150, 255));
            SetGraphLineMin(GraphWin1, 0, -5.5f);
            SetGraphLineMax(GraphWin1, 0, 120.0f);
        } else {
            SetNumGraphLines(GraphWin1, 1);
            AvgFlowGraphLine = 0;
        }
        SetGraphLinePen(AvgFlowGraphLine, RGB(255, 0, 0));
        SetGraphLineMin(GraphWin1, AvgFlowGraphLine, -5.5f);
        SetGraphLineMax(GraphWin1, AvgFlowGraphLine, 120.0f);
        SetItemCheck(menu, CMD_GRAPH, 1);
        // Flow blocks are polled while the graph is open and a worker serves the queue.
        ConnectionGraphOpened(window);
    }
}

void OnGraphClosed(HWND window, LPARAM lParam) {
    // The closed window comes along: a report read after a new graph opened is stale.
    if (lParam == 0 || (HWND)lParam == GraphWin1) {
        GraphWin1 = nullptr;
        SimGraphWindowExists.store(0);
        ConnectionGraphClosed(window);
    }
}

void OnSetPointCommand(HWND window) {
    HMENU menu = GetMenu(window);
    if (GetMenuState(menu, CMD_SETPOINT, MF_BYCOMMAND) & MF_CHECKED) {
        CloseSetPointDlg();
        SetItemCheck(menu, CMD_SETPOINT, 0);
        SetPointDlgActive = 0;
    } else {
        ShowSetPointDlg(MainInstance, window, SystemState.SetPoint, 100.0f);
        SetItemCheck(menu, CMD_SETPOINT, 1);
        SetPointDlgActive = 1;
    }
}

void OnPidAdjustCommand(HWND window) {
    HMENU menu = GetMenu(window);
    if (GetMenuState(menu, CMD_PID_ADJUST, MF_BYCOMMAND) & MF_CHECKED) {
        ClosePidAdjDlg();
        SetItemCheck(menu, CMD_PID_ADJUST, 0);
        PidAdjDlgActive = 0;
    } else {
        ShowPidAdjDlg(MainInstance, window, Proportional, Integral, Derivative, 0.0f, ValveCracking,
                      ValveCrackingValMax);
        SetItemCheck(menu, CMD_PID_ADJUST, 1);
        PidAdjDlgActive = 1;
    }
}

void OnCommandWindowCommand(HWND window) {
    HMENU menu = GetMenu(window);
    if (CmdWin && IsWindow(CmdWin)) {
        DestroyWindow(CmdWin);
        CmdWin = nullptr;
        SetItemCheck(menu, CMD_COMMAND_WINDOW, 0);
        return;
    }
    char title[TITLE_SIZE + 32];
    snprintf(title, sizeof title, "%s Command Window", WindowTitle);
    RECT outer;
    GetWindowRect(window, &outer);
    CmdWin = CreateCmdWin(window, 0, title, outer.left + 60, outer.top + 60, ScreenWidth / 3,
                          ScreenHeight / 4, MainInstance);
    SetItemCheck(menu, CMD_COMMAND_WINDOW, 1);
}

void OnTotalizerCommand(HWND window) {
    HMENU menu = GetMenu(window);
    if (TotalizerWin && IsWindow(TotalizerWin)) {
        DestroyWindow(TotalizerWin);
        TotalizerWin = nullptr;
        SetItemCheck(menu, CMD_TOTALIZER, 0);
        return;
    }
    CreateTheTotalizerWindowToMatchCurrentMainWinSize(window);
    SetItemCheck(menu, CMD_TOTALIZER, 1);
}

static void OnFlowUnits(HWND window, int inUnits) {
    ShowFlowDisplayInUnits = inUnits;
    AdjustLabelAndDigitWindows(window);
    AdjustMainWindowWidth(window);
}

static void ShowHelpBox(HWND window, UINT icon) {
    MessageBoxA(window, HELP_TEXT, AppName, icon | MB_OK);
}

// *result = 1 asks the window procedure to pass the command to the default procedure.
void OnCommand(HWND window, WPARAM wParam, LPARAM, LRESULT* result) {
    *result = 0;
    if (CompanionCommand(window, LOWORD(wParam)))
        return;
    switch (LOWORD(wParam)) {
    case CMD_EXIT:
        SendMessageA(window, WM_CLOSE, 0, 0);
        break;
    case CMD_OPEN:
        ConnectionOpenCommand(window);
        break;
    case CMD_CLOSE:
        ConnectionClose(window);
        break;
    case CMD_SIMULATE:
        ConnectionSimulate(window);
        break;
    case CMD_FLOW_PERCENT:
        OnFlowUnits(window, 0);
        break;
    case CMD_FLOW_UNITS:
        OnFlowUnits(window, 1);
        break;
    case CMD_HELP:
        ShowHelpBox(window, MB_ICONEXCLAMATION);
        break;
    case CMD_ABOUT:
        ShowHelpBox(window, MB_ICONINFORMATION);
        break;
    case CMD_START_LOG:
        StartLog(window);
        break;
    case CMD_STOP_LOG:
        StopLog(window);
        break;
    case 40010:
    case 40020:
    case 40030:
    case 40040:
    case 40210:
    case 40220:
    case 40230:
    case 40240:
    case 40250:
    case 40260:
        MessageBeep(0);
        break;
    default:
        *result = 1;
        break;
    }
}

static void InitConnectionPopup(HMENU popup) {
    // The owner's rules: Open while idle or simulating (opening a port leaves the simulation),
    // Close while anything runs, 40110 where no board is connected; nothing while the port
    // dialog shows.
    ApplyConnectionMenu(popup);
}

static void InitViewPopup(HMENU popup) {
    if (!GraphWin1 || !IsWindow(GraphWin1))
        SetItemCheck(popup, CMD_GRAPH, 0);
    if (ThisIsController) {
        SetItemState(popup, CMD_SETPOINT, MF_ENABLED);
        SetItemState(popup, CMD_PID_ADJUST, MF_ENABLED);
        if (!SetPointDlgActive)
            SetItemCheck(popup, CMD_SETPOINT, 0);
        if (!PidAdjDlgActive)
            SetItemCheck(popup, CMD_PID_ADJUST, 0);
    } else {
        SetItemState(popup, CMD_SETPOINT, MF_GRAYED);
        SetItemState(popup, CMD_PID_ADJUST, MF_GRAYED);
    }
    if (!CmdWin || !IsWindow(CmdWin))
        SetItemCheck(popup, CMD_COMMAND_WINDOW, 0);
    if (!TotalizerWin || !IsWindow(TotalizerWin))
        SetItemCheck(popup, CMD_TOTALIZER, 0);
    SetItemState(popup, CMD_FLOW_UNITS, ShowFlowDisplayInUnits ? MF_GRAYED : MF_ENABLED);
    SetItemState(popup, CMD_FLOW_PERCENT, ShowFlowDisplayInUnits ? MF_ENABLED : MF_GRAYED);
}

void OnInitMenuPopup(HWND, HMENU popup, int position) {
    switch (position) {
    case POPUP_CONNECTION:
        InitConnectionPopup(popup);
        break;
    case POPUP_VIEW:
        InitViewPopup(popup);
        break;
    case POPUP_LOGGING:
        UpdateLoggingMenu(popup);
        break;
    default:
        break;
    }
}
