// The totalizer window: the total flow in large digits with a drawn RESET button.
#pragma once

#include <windows.h>

HWND CreateTotalizerWin(HWND parent, int asChild, const char* title, int x, int y, int width,
                        int height, HINSTANCE instance);
BOOL TotalizerWinDialogBoxMsg(MSG* message);
// The total's format for the gas in use: the text of 8s its digits are sized by and the number
// of decimals. The main window gives it when it opens the window and when the gas's full scale
// changes; the next total drawn takes it.
void SetTotalizerFormat(const char* format, int decimals);

// Sizing and the drawn button, called by the window itself on creation and size changes.
void AdjustDigitWindow(HWND window);
void AdjustTotalizerWindowSize(HWND window);
void SetButtonText(HDC dc, const RECT* rect, const char* text);
