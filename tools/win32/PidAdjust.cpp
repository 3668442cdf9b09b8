// The modeless PID adjust dialog: four vertical sliders whose values go to the main window,
// which sends each to the board's RAM once the slider rests, and SAVE TO FLASH.
#include "tools/win32/PidAdjust.h"

#include <commctrl.h>
#include <cstring>

#include <cmath>

#include "resources/AppMessages.h"
#include "tools/SliderScales.h"

static float ProportionalVal;
static float IntegralVal;
static float DerivativeVal;
static float ProportionalMaxVal;
static DWORD ValveCrackingVal;
// The cracking slider's top value, as the main window gives it.
static DWORD ValveCrackingValMax;
static HWND hwndDialogBox;
static HWND ParentWindow;

// The template's trackbars carry TBS_NOTICKS, so no marks are drawn; should the style ever
// gain automatic ticks, they come every 6500 steps, ten intervals over the slider.
constexpr int PID_TICK_SPACING = PID_TRACK_MAX / 10;

static LPARAM FloatBits(float value) {
    DWORD bits;
    std::memcpy(&bits, &value, sizeof bits);
    return static_cast<LPARAM>(bits);
}

static void SetFloatLabel(HWND dialog, int labelId, float value, bool proportional) {
    char label[64];
    if (proportional)
        FormatProportionalLabel(label, sizeof label, value);
    else
        FormatGainLabel(label, sizeof label, value);
    SetDlgItemTextA(dialog, labelId, label);
}

static void SetCrackingLabel(HWND dialog, DWORD value) {
    char label[32];
    SetDlgItemTextA(dialog, IDC_CRACK_LABEL, FormatCrackingLabel(label, sizeof label, value));
}

static void InitSlider(HWND dialog, int trackbarId, int position) {
    HWND trackbar = GetDlgItem(dialog, trackbarId);
    // TBM_SETRANGE packs both ends into 16-bit halves and 65000 sits at the edge of what
    // they carry; the separate messages take whole values.
    SendMessageA(trackbar, TBM_SETRANGEMIN, FALSE, 0);
    SendMessageA(trackbar, TBM_SETRANGEMAX, FALSE, PID_TRACK_MAX);
    SendMessageA(trackbar, TBM_SETTICFREQ, PID_TICK_SPACING, 0);
    SendMessageA(trackbar, TBM_SETPOS, TRUE, position);
}

static INT_PTR OnInitDialog(HWND dialog) {
    SetFloatLabel(dialog, IDC_PROP_LABEL, ProportionalVal, true);
    InitSlider(dialog, IDC_PROP_TRACKBAR,
               ProportionalToPosition(ProportionalVal, ProportionalMaxVal));
    SetFloatLabel(dialog, IDC_INTEG_LABEL, IntegralVal, false);
    InitSlider(dialog, IDC_INTEG_TRACKBAR, IntegralToPosition(IntegralVal));
    SetFloatLabel(dialog, IDC_DERIV_LABEL, DerivativeVal, false);
    InitSlider(dialog, IDC_DERIV_TRACKBAR, DerivativeToPosition(DerivativeVal));
    SetCrackingLabel(dialog, ValveCrackingVal);
    InitSlider(dialog, IDC_CRACK_TRACKBAR,
               CrackingToPosition(ValveCrackingVal, ValveCrackingValMax));
    return TRUE;
}

static INT_PTR OnVScroll(HWND dialog, int code, HWND trackbar) {
    // Page steps, Home and End move the thumb only; the next line step or drag sends the
    // value of wherever the thumb then is.
    if (code == TB_PAGEUP || code == TB_PAGEDOWN || code == TB_TOP || code == TB_BOTTOM)
        return TRUE;
    if (!trackbar)
        return FALSE;
    int position = static_cast<int>(SendMessageA(trackbar, TBM_GETPOS, 0, 0));
    switch (GetDlgCtrlID(trackbar)) {
    case IDC_PROP_TRACKBAR:
        ProportionalVal = ProportionalFromPosition(position, ProportionalMaxVal);
        SetFloatLabel(dialog, IDC_PROP_LABEL, ProportionalVal, true);
        PostMessageA(ParentWindow, WM_PID_PROPORTIONAL, 0, FloatBits(ProportionalVal));
        break;
    case IDC_INTEG_TRACKBAR:
        IntegralVal = IntegralFromPosition(position);
        SetFloatLabel(dialog, IDC_INTEG_LABEL, IntegralVal, false);
        PostMessageA(ParentWindow, WM_PID_INTEGRAL, 0, FloatBits(IntegralVal));
        break;
    case IDC_DERIV_TRACKBAR:
        DerivativeVal = DerivativeFromPosition(position);
        SetFloatLabel(dialog, IDC_DERIV_LABEL, DerivativeVal, false);
        PostMessageA(ParentWindow, WM_PID_DERIVATIVE, 0, FloatBits(DerivativeVal));
        break;
    case IDC_CRACK_TRACKBAR:
        ValveCrackingVal = CrackingFromPosition(position, ValveCrackingValMax);
        SetCrackingLabel(dialog, ValveCrackingVal);
        PostMessageA(ParentWindow, WM_PID_CRACKING, 0, static_cast<LPARAM>(ValveCrackingVal));
        break;
    }
    return TRUE;
}

static INT_PTR OnCommand(HWND dialog, int id) {
    switch (id) {
    case IDC_SAVE_TO_FLASH:
        PostMessageA(ParentWindow, WM_PID_SAVE, 0, 0);
        return TRUE;
    case IDCANCEL:
        DestroyWindow(dialog);
        hwndDialogBox = nullptr;
        PostMessageA(ParentWindow, WM_PID_DLG_CLOSED, 0, 0);
        return TRUE;
    }
    return FALSE;
}

static INT_PTR CALLBACK PidAdjDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog);
    case WM_VSCROLL:
        return OnVScroll(dialog, LOWORD(wParam), reinterpret_cast<HWND>(lParam));
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

void ShowPidAdjDlg(HINSTANCE instance, HWND parent, float proportional, float integral,
                   float derivative, float proportionalMax, DWORD cracking, DWORD crackingMax) {
    ProportionalVal = proportional;
    IntegralVal = integral;
    DerivativeVal = derivative;
    ProportionalMaxVal = proportionalMax == 0.0f ? PROPORTIONAL_DEFAULT_MAX : proportionalMax;
    ValveCrackingVal = cracking;
    ValveCrackingValMax = crackingMax;
    ParentWindow = parent;
    if (hwndDialogBox)
        return;
    hwndDialogBox = CreateDialogParamA(instance, "PIDADJDLG", parent, PidAdjDlgProc, 0);
    if (hwndDialogBox)
        ShowWindow(hwndDialogBox, SW_SHOW);
}

void PidAdjDlgShowBoardValue(UINT valueMessage, double value) {
    switch (valueMessage) {
    case WM_PID_PROPORTIONAL:
        ProportionalVal = static_cast<float>(value);
        break;
    case WM_PID_INTEGRAL:
        IntegralVal = static_cast<float>(value);
        break;
    case WM_PID_DERIVATIVE:
        DerivativeVal = static_cast<float>(value);
        break;
    case WM_PID_CRACKING:
        // Registers may hold anything; the conversion needs a value a DWORD can take.
        ValveCrackingVal = std::isfinite(value) && value >= 0.0 && value <= 4294967295.0
                               ? static_cast<DWORD>(value)
                               : 0;
        break;
    default:
        return;
    }
    // The dialog reads the values again the next time it opens.
    if (!hwndDialogBox)
        return;
    switch (valueMessage) {
    case WM_PID_PROPORTIONAL:
        SetFloatLabel(hwndDialogBox, IDC_PROP_LABEL, ProportionalVal, true);
        SendDlgItemMessageA(hwndDialogBox, IDC_PROP_TRACKBAR, TBM_SETPOS, TRUE,
                            ProportionalToPosition(ProportionalVal, ProportionalMaxVal));
        break;
    case WM_PID_INTEGRAL:
        SetFloatLabel(hwndDialogBox, IDC_INTEG_LABEL, IntegralVal, false);
        SendDlgItemMessageA(hwndDialogBox, IDC_INTEG_TRACKBAR, TBM_SETPOS, TRUE,
                            IntegralToPosition(IntegralVal));
        break;
    case WM_PID_DERIVATIVE:
        SetFloatLabel(hwndDialogBox, IDC_DERIV_LABEL, DerivativeVal, false);
        SendDlgItemMessageA(hwndDialogBox, IDC_DERIV_TRACKBAR, TBM_SETPOS, TRUE,
                            DerivativeToPosition(DerivativeVal));
        break;
    default:
        SetCrackingLabel(hwndDialogBox, ValveCrackingVal);
        SendDlgItemMessageA(hwndDialogBox, IDC_CRACK_TRACKBAR, TBM_SETPOS, TRUE,
                            CrackingToPosition(ValveCrackingVal, ValveCrackingValMax));
        break;
    }
}

BOOL ClosePidAdjDlg() {
    if (!hwndDialogBox)
        return FALSE;
    BOOL destroyed = DestroyWindow(hwndDialogBox);
    hwndDialogBox = nullptr;
    return destroyed;
}

BOOL PidAdjDlgBoxMsg(MSG* message) {
    if (!hwndDialogBox)
        return FALSE;
    return IsDialogMessageA(hwndDialogBox, message);
}
