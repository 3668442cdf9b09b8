// The totalizer window: the total flow in large digits with a drawn RESET button.
#pragma once

#include <windows.h>

HWND CreateTotalizerWin(HWND parent, int asChild, const char* title, int x, int y, int width,
                        int height, HINSTANCE instance);
BOOL TotalizerWinDialogBoxMsg(MSG* message);

// Sizing and the drawn button, called by the window itself on creation and size changes.
void AdjustDigitWindow(HWND window);
void AdjustTotalizerWindowSize(HWND window);
void SetButtonText(HDC dc, const RECT* rect, const char* text);
