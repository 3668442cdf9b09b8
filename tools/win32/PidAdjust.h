// The modeless PID adjust dialog "PIDADJDLG".
#pragma once

#include <windows.h>

// crackingMax: the top of the cracking slider (the application's valve cracking maximum).
void ShowPidAdjDlg(HINSTANCE instance, HWND parent, float proportional, float integral,
                   float derivative, float proportionalMax, DWORD cracking, DWORD crackingMax);
BOOL ClosePidAdjDlg();
BOOL PidAdjDlgBoxMsg(MSG* message);
// The board's value for one slider (valueMessage: the WM_PID_* message that slider posts),
// read at a connection for a slider the operator has not moved since: an open dialog shows
// it, so SAVE TO FLASH writes what the dialog shows.
void PidAdjDlgShowBoardValue(UINT valueMessage, double value);
