// The modeless PID adjust dialog "PIDADJDLG".
#pragma once

#include <windows.h>

void ShowPidAdjDlg(HINSTANCE instance, HWND parent, float proportional, float integral,
                   float derivative, float proportionalMax, DWORD cracking);
BOOL ClosePidAdjDlg();
BOOL PidAdjDlgBoxMsg(MSG* message);
