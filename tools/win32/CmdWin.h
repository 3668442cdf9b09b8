// The command window: raw device commands typed, the board's replies shown.
#pragma once

#include <windows.h>

HWND CreateCmdWin(HWND parent, int asChild, const char* title, int x, int y, int width, int height,
                  HINSTANCE instance);
BOOL CmdWinDialogBoxMsg(MSG* message);
void AppendTextToOutputWindow(const char* text);
