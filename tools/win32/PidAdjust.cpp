// Placeholder until the PID adjust dialog lands.
#include "tools/win32/PidAdjust.h"

void ShowPidAdjDlg(HINSTANCE, HWND, float, float, float, float, DWORD) {}
BOOL ClosePidAdjDlg() {
    return FALSE;
}
BOOL PidAdjDlgBoxMsg(MSG*) {
    return FALSE;
}
