// The log interval window: minutes, seconds and milliseconds spins, OK and CANCEL.
#pragma once

#include <windows.h>

#include "display/win32/WindowUtils.h"

// box shows the window's messages ("Log Interval Not Set", a creation error).
HWND CreateLogIntervalWin(HWND parent, int asChild, const char* title, int x, int y, int width,
                          int height, HINSTANCE instance, ErrorBoxFunc box);
BOOL LogIntervalWinDialogBoxMsg(MSG* message);
