// The modeless set point dialog "SETPNTDLG".
#pragma once

#include <windows.h>

void ShowSetPointDlg(HINSTANCE instance, HWND parent, float currentSetPoint, float maxSetPoint);
void CloseSetPointDlg();
BOOL SetPointDialogBoxMsg(MSG* message);
