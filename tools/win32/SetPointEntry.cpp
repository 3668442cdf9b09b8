// The modeless set point dialog. It never talks to the board: it posts each new percentage
// to the main window, which sends the last one once the operator has stopped moving.
#include "tools/win32/SetPointEntry.h"

#include <commctrl.h>
#include <cstring>

#include "resources/AppMessages.h"
#include "tools/SliderScales.h"

static HWND hwndDialogBox;
static HWND ParentWindow;
static float NewSetPoint;
static float MaxSetPoint;
// The percentage of the last button pressed; its bits are what the button posts.
static float SetPoint;

static INT_PTR CALLBACK SetPointDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

static LPARAM FloatBits(float value) {
    DWORD bits;
    std::memcpy(&bits, &value, sizeof bits);
    return static_cast<LPARAM>(bits);
}

static void ShowPercent(HWND dialog, float percent) {
    char label[32];
    SetDlgItemTextA(dialog, IDC_SETPOINT_LABEL, FormatSetPointLabel(label, sizeof label, percent));
}

static void PostSetPoint(float percent) {
    PostMessageA(ParentWindow, WM_NEW_SETPOINT, 0, FloatBits(percent));
}

static INT_PTR OnInitDialog(HWND dialog, HWND proposedFocus) {
    HWND trackbar = GetDlgItem(dialog, IDC_SETPOINT_TRACKBAR);
    SendMessageA(trackbar, TBM_SETRANGE, FALSE, MAKELPARAM(0, SETPOINT_TRACK_MAX));
    ShowPercent(dialog, NewSetPoint);
    SendMessageA(trackbar, TBM_SETPOS, TRUE, SetPointToPosition(NewSetPoint));
    if (proposedFocus != trackbar) {
        SetFocus(trackbar);
        return FALSE;
    }
    return TRUE;
}

static INT_PTR OnVScroll(HWND dialog, int code) {
    // Page steps, Home and End move the thumb but change nothing: the value follows at the
    // next arrow key or drag.
    if (code == TB_PAGEUP || code == TB_PAGEDOWN || code == TB_TOP || code == TB_BOTTOM)
        return TRUE;
    int position =
        static_cast<int>(SendDlgItemMessageA(dialog, IDC_SETPOINT_TRACKBAR, TBM_GETPOS, 0, 0));
    float percent = SetPointFromPosition(position);
    ShowPercent(dialog, percent);
    PostSetPoint(percent);
    return TRUE;
}

static void OnPercentButton(HWND dialog, int perMille) {
    SetPoint = SetPointFromPerMille(perMille);
    ShowPercent(dialog, SetPoint);
    PostSetPoint(SetPoint);
    SendDlgItemMessageA(dialog, IDC_SETPOINT_TRACKBAR, TBM_SETPOS, TRUE,
                        SETPOINT_TRACK_MAX - perMille);
}

static void OnClose(HWND dialog) {
    DestroyWindow(dialog);
    hwndDialogBox = nullptr;
    PostMessageA(ParentWindow, WM_SETPOINT_DLG_CLOSED, 0, 0);
}

static INT_PTR OnCommand(HWND dialog, int id) {
    if (id == IDCANCEL) {
        OnClose(dialog);
        return TRUE;
    }
    int perMille = SetPointButtonPerMille(id);
    if (perMille < 0)
        return FALSE;
    OnPercentButton(dialog, perMille);
    return TRUE;
}

static INT_PTR CALLBACK SetPointDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog, reinterpret_cast<HWND>(wParam));
    case WM_VSCROLL:
        return OnVScroll(dialog, LOWORD(wParam));
    case WM_COMMAND:
        return OnCommand(dialog, LOWORD(wParam));
    case WM_NCDESTROY:
        // Also reached when the owner goes first, which takes its owned dialogs with it.
        if (hwndDialogBox == dialog)
            hwndDialogBox = nullptr;
        return FALSE;
    }
    return FALSE;
}

void ShowSetPointDlg(HINSTANCE instance, HWND parent, float currentSetPoint, float maxSetPoint) {
    NewSetPoint = currentSetPoint;
    MaxSetPoint = maxSetPoint;
    ParentWindow = parent;
    if (hwndDialogBox)
        return;
    hwndDialogBox = CreateDialogParamA(instance, "SETPNTDLG", parent, SetPointDlgProc, 0);
    if (hwndDialogBox)
        ShowWindow(hwndDialogBox, SW_SHOW);
}

void CloseSetPointDlg() {
    if (!hwndDialogBox)
        return;
    DestroyWindow(hwndDialogBox);
    hwndDialogBox = nullptr;
}

BOOL SetPointDialogBoxMsg(MSG* message) {
    if (!hwndDialogBox)
        return FALSE;
    return IsDialogMessageA(hwndDialogBox, message);
}
