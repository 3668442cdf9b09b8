// The log interval window: minutes, seconds and milliseconds spins, OK and CANCEL.
#pragma once

#include <windows.h>

HWND CreateLogIntervalWin(HWND parent, int asChild, const char* title, int x, int y, int width,
                          int height, HINSTANCE instance);
BOOL LogIntervalWinDialogBoxMsg(MSG* message);
