// The main window: its handles, brushes, fonts and readout regions, shared with the display
// and tool modules that draw into it or report to it.
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
extern HFONT BigDigitFont, LabelFont, InfoWinFont;

extern RECT InfoWinRect, FlowLabelRect, FlowDigitRect, SetPointLabelRect, SetPointDigitRect;

extern HANDLE WorkerThread;
extern HWND GraphWin1, CmdWin, TotalizerWin, LogIntervalWin;
extern int AvgFlowGraphLine;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void CALLBACK TimerProc(HWND window, UINT message, UINT_PTR timerId, DWORD time);

// How the worker thread is started and the main window's own message boxes are shown; tests
// replace them (a thread that cannot be started, a box answered without a modal loop).
typedef uintptr_t (*BeginThreadFunc)(void* security, unsigned stackSize,
                                     unsigned(__stdcall* start)(void*), void* argument,
                                     unsigned flags, unsigned* threadId);
extern BeginThreadFunc BeginWorkerThread;
typedef int(WINAPI* MainMessageBoxFunc)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
extern MainMessageBoxFunc MainMessageBox;

// Registers "QRB_TorvanWin" and creates the main window; null on failure.
HWND CreateMainWindow(HINSTANCE instance, int showMode);
// The message loop with the modeless windows' filters; returns WM_QUIT's wParam.
int RunMessageLoop();

// Readout (main window layout and refresh).
void AdjustLabelAndDigitWindows(HWND window);
void AdjustMainWindowWidth(HWND window);
void AdjustMainWindowSize(HWND window);
void CreateTheTotalizerWindowToMatchCurrentMainWinSize(HWND window);
void UpdateDisplay(HDC dc);
void UpdateInformationWindow(HDC dc);
// One ticker step on the beat of timer 272, which keeps running (its period changes only when
// the text starts or stops moving).
void StepInformationWindow(HDC dc);
