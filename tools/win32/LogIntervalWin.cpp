#include "tools/win32/LogIntervalWin.h"

#include <commctrl.h>
#include <cstdio>

#include "resources/AppMessages.h"
#include "display/win32/WindowUtils.h"
#include "tools/LogInterval.h"

namespace {

constexpr DWORD FIELD_STYLE = 0x50802801;  // child, visible, border, read-only, numbers, centred
constexpr DWORD SPIN_STYLE = 0x50800026;   // child, visible, border, align right, set buddy, keys
constexpr DWORD BUTTON_STYLE = 0x50010001; // child, visible, tab stop, default push button
constexpr DWORD CHILD_WIN_STYLE = 0x50400000;
constexpr DWORD POPUP_WIN_STYLE = 0x90C80000;
const char* const CLASS_NAME = "LogIntervalWin";

HWND LogIntervalWinHandle;
HWND ParentWindow;
int Registered;
HWND hwndMinuteDisplay, hwndSecDisplay, hwndMsecDisplay;
HWND hwndMinuteUpDown, hwndSecUpDown, hwndMsecUpDown;
HWND hwndOkButton, hwndCancelButton;
int MinutesTextX, MinutesTextY, SecondsTextX, SecondsTextY, MsecTextX, MsecTextY;
char ErrorStr[200];
// The message box the window's owner chose (CreateLogIntervalWin).
ErrorBoxFunc IntervalMessageBox = MessageBoxA;

HWND MakeControl(HWND window, const char* className, const char* text, DWORD style, int id) {
    return CreateWindowExA(0, className, text, style, 0, 0, 0, 0, window,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                           reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE)),
                           nullptr);
}

void MakeSpinPair(HWND window, int fieldId, int spinId, int maximum, HWND* field, HWND* spin) {
    *field = MakeControl(window, "edit", "0", FIELD_STYLE, fieldId);
    *spin = MakeControl(window, UPDOWN_CLASSA, "", SPIN_STYLE, spinId);
    SendMessageA(*spin, UDM_SETRANGE32, 0, maximum);
    SendMessageA(*spin, UDM_SETPOS32, 0, 0);
    SetWindowTextA(*field, "0");
}

LRESULT OnCreate(HWND window) {
    MakeSpinPair(window, IDC_MSEC_FIELD, IDC_MSEC_UPDOWN, LOG_MSEC_MAX, &hwndMsecDisplay,
                 &hwndMsecUpDown);
    MakeSpinPair(window, IDC_SEC_FIELD, IDC_SEC_UPDOWN, LOG_SEC_MAX, &hwndSecDisplay,
                 &hwndSecUpDown);
    MakeSpinPair(window, IDC_MIN_FIELD, IDC_MIN_UPDOWN, LOG_MIN_MAX, &hwndMinuteDisplay,
                 &hwndMinuteUpDown);
    hwndOkButton = MakeControl(window, "BUTTON", "OK", BUTTON_STYLE, IDC_LOG_OK);
    hwndCancelButton = MakeControl(window, "BUTTON", "CANCEL", BUTTON_STYLE, IDC_LOG_CANCEL);
    return 0;
}

SIZE MeasureText(HDC dc, const char* text) {
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
    return size;
}

void PlaceField(HWND field, HWND spin, int y, const LogIntervalLayout& layout) {
    MoveWindow(field, layout.FieldX, y, layout.FieldWidth, layout.FieldHeight, TRUE);
    // Re-attaching the buddy makes the spin move itself to the field's right edge.
    SendMessageA(spin, UDM_SETBUDDY, reinterpret_cast<WPARAM>(field), 0);
}

void OnSize(HWND window) {
    HDC dc = GetDC(window);
    if (dc == nullptr) {
        return;
    }
    SIZE digits = MeasureText(dc, "88888");
    SIZE cancel = MeasureText(dc, " CANCEL ");
    ReleaseDC(window, dc);
    LogIntervalLayout layout = ComputeLogIntervalLayout(digits.cx, digits.cy, cancel.cx, cancel.cy);
    PlaceField(hwndMinuteDisplay, hwndMinuteUpDown, layout.MinutesY, layout);
    PlaceField(hwndSecDisplay, hwndSecUpDown, layout.SecondsY, layout);
    PlaceField(hwndMsecDisplay, hwndMsecUpDown, layout.MsecY, layout);
    MinutesTextX = SecondsTextX = MsecTextX = layout.TextX;
    MinutesTextY = layout.MinutesY;
    SecondsTextY = layout.SecondsY;
    MsecTextY = layout.MsecY;
    MoveWindow(hwndOkButton, layout.OkX, layout.ButtonY, layout.ButtonWidth, layout.ButtonHeight,
               TRUE);
    MoveWindow(hwndCancelButton, layout.CancelX, layout.ButtonY, layout.ButtonWidth,
               layout.ButtonHeight, TRUE);
    RECT parent = {0, 0, 0, 0};
    if (ParentWindow != nullptr) {
        GetWindowRect(ParentWindow, &parent);
    }
    // Moving to the size the window already has sends no further WM_SIZE, so this settles.
    MoveWindow(window, parent.right - 40, parent.top + 20, layout.WindowWidth, layout.WindowHeight,
               FALSE);
    // Beside a main window at the screen's right edge that place is partly off screen.
    KeepWindowOnScreen(window);
    SetFocus(hwndMsecUpDown);
}

void OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (dc != nullptr) {
        TextOutA(dc, MinutesTextX, MinutesTextY, "Minutes", 7);
        TextOutA(dc, SecondsTextX, SecondsTextY, "Seconds", 7);
        TextOutA(dc, MsecTextX, MsecTextY, "mSec", 4);
    }
    EndPaint(window, &paint);
}

LRESULT OnNotify(HWND window, WPARAM wParam, LPARAM lParam) {
    const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
    if (header->idFrom == IDC_MSEC_UPDOWN && header->code == UDN_DELTAPOS) {
        const NMUPDOWN* change = reinterpret_cast<const NMUPDOWN*>(lParam);
        int position = static_cast<int>(SendMessageA(hwndMsecUpDown, UDM_GETPOS32, 0, 0));
        SendMessageA(hwndMsecUpDown, UDM_SETPOS32, 0, MsecSpinStep(position, change->iDelta));
        // Non-zero stops the control from applying its own step of 1.
        return 1;
    }
    return DefWindowProcA(window, WM_NOTIFY, wParam, lParam);
}

uint32_t SpinReading(HWND spin) {
    return static_cast<uint32_t>(SendMessageA(spin, UDM_GETPOS, 0, 0));
}

void OnOk(HWND window) {
    uint32_t interval = LogIntervalFromSpins(
        SpinReading(hwndMinuteUpDown), SpinReading(hwndSecUpDown), SpinReading(hwndMsecUpDown));
    if (interval == 0) {
        IntervalMessageBox(window, "Log Interval Not Set", "Log Setup Error", MB_OK);
        return;
    }
    PostMessageA(ParentWindow, WM_LOG_INTERVAL_SET, 0, static_cast<LPARAM>(interval));
}

LRESULT OnCommand(HWND window, WPARAM wParam, LPARAM lParam) {
    switch (LOWORD(wParam)) {
    case IDC_LOG_OK:
        OnOk(window);
        return 0;
    case IDC_LOG_CANCEL:
        PostMessageA(ParentWindow, WM_LOG_INTERVAL_CANCEL, 0, 0);
        return 0;
    }
    return DefWindowProcA(window, WM_COMMAND, wParam, lParam);
}

void OnClose(HWND window) {
    // The close box is a cancel: the parent must hear of it, or the log file it opened would
    // stay open with logging never started.
    PostMessageA(ParentWindow, WM_LOG_INTERVAL_CANCEL, 0, 0);
    DestroyWindow(window);
}

void OnDestroy(HWND window) {
    if (window == LogIntervalWinHandle) {
        LogIntervalWinHandle = nullptr;
    }
}

LRESULT CALLBACK LogIntervalWinProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_SIZE:
        OnSize(window);
        return 0;
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_NOTIFY:
        return OnNotify(window, wParam, lParam);
    case WM_COMMAND:
        return OnCommand(window, wParam, lParam);
    case WM_ACTIVATE:
        if (LOWORD(wParam) != WA_INACTIVE) {
            SetFocus(hwndMsecUpDown);
        }
        return 0;
    case WM_CLOSE:
        OnClose(window);
        return 0;
    case WM_DESTROY:
        OnDestroy(window);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

HWND CreateLogIntervalWin(HWND parent, int asChild, const char* title, int x, int y, int width,
                          int height, HINSTANCE instance, ErrorBoxFunc box) {
    ParentWindow = parent;
    IntervalMessageBox = box;
    if (!Registered) {
        if (!RegisterRedrawnClass(instance, CLASS_NAME, LogIntervalWinProc, 4, WHITE_BRUSH)) {
            ShowCreateErrorBox(ErrorStr, sizeof ErrorStr, IntervalMessageBox);
            return nullptr;
        }
        Registered = 1;
    }
    HWND window = CreateWindowExA(0, CLASS_NAME, title, asChild ? CHILD_WIN_STYLE : POPUP_WIN_STYLE,
                                  x, y, width, height, parent, nullptr, instance, nullptr);
    if (window == nullptr) {
        ShowCreateErrorBox(ErrorStr, sizeof ErrorStr, IntervalMessageBox);
        return nullptr;
    }
    LogIntervalWinHandle = window;
    return window;
}

BOOL LogIntervalWinDialogBoxMsg(MSG* message) {
    if (LogIntervalWinHandle == nullptr || !IsWindow(LogIntervalWinHandle)) {
        return FALSE;
    }
    return IsDialogMessageA(LogIntervalWinHandle, message);
}
