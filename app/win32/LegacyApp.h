// The main window: its handles, the brushes it makes at its creation, the tool windows it
// opens, and its creation and message loop. The readout's fonts and regions are in
// MainReadout.h.
#pragma once

#include <windows.h>

extern HINSTANCE MainInstance;
extern HWND MainWindowHandle;
extern HDC MainWinDC;
extern int ScreenWidth, ScreenHeight;
extern int WinBorderWidth, WinBorderHeight;

extern HBRUSH MainWinBackgroundBrush;
extern HBRUSH DigitsBackgroundBrush;
extern HBRUSH TextBackgroundBrush;
extern HBRUSH ErrorBackgroundBrush;
extern HBRUSH WarningBackgroundBrush;
extern HBRUSH NormalBackgroundBrush;
extern HWND GraphWin1, CmdWin, TotalizerWin, LogIntervalWin;
extern int AvgFlowGraphLine;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void CALLBACK TimerProc(HWND window, UINT message, UINT_PTR timerId, DWORD time);

// How the main window's own message boxes are shown; tests replace it (a box answered
// without a modal loop).
typedef int(WINAPI* MainMessageBoxFunc)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
extern MainMessageBoxFunc MainMessageBox;

// While set, a size change lays the readout out but leaves the window width alone, so the
// window keeps the placement chosen from the screen size until the first real resize.
extern int MainWindowPlacing;

// Registers "QRB_TorvanWin" and creates the main window; null on failure.
HWND CreateMainWindow(HINSTANCE instance, int showMode);
// The message loop with the modeless windows' filters; returns WM_QUIT's wParam.
int RunMessageLoop();
