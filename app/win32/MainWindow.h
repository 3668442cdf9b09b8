// Functions shared by the files of the main window (start-up and dispatch, menu commands,
// reply handlers, readout); the rest of the program reaches the window through LegacyApp.h.
#pragma once

#include <windows.h>

// Main window procedure parts.
void OnCommand(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result);
void OnInitMenuPopup(HWND window, HMENU popup, int position);
// Handles an application message (WM_APP range); returns 0 when it is not one of ours.
int OnAppMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Set point and PID values chosen in the tool windows: a settling timer's tick sends its
// value once the run has identified a controller (until then it waits).
void SendSetting(HWND window, UINT timerId);
// The connection ended for good (Close, Open, the simulation's start, a failed reconnection)
// or the board is a meter: what the operator chose and was not carried out is dropped, the
// settling timers stop.
void ResetSettingSends();
// A link error stopped the run: the queue is gone, and each value chosen and not yet carried
// out goes again once the next run identifies a controller.
void SettingsLinkDown();

// Menu item states after a connection starts or stops.
void SetConnectionMenuIdle(HWND window);
void SetConnectionMenuActive(HWND window);

// Re-lays the readout (fonts, regions, window width); frees the readout's fonts and its kept
// off-screen image.
void RelayoutReadout(HWND window);
void ReleaseReadoutObjects();
// A new main window sizes itself once for the first board it identifies.
void ResetReadoutState();
// The strip's pixels are gone (the window was painted over): the next step draws it whole.
void ForgetDrawnStrip();
// The readout's pixels are gone: the next state reply draws labels and numbers whole.
void ForgetDrawnReadout();
// Draws the strip at once when a command or a reply has changed its text (a connection ended,
// logging started) rather than leaving it to the ticker's next beat, which is slow while the
// text stands still.
void RefreshChangedStrip();
// While set, a size change lays the readout out but leaves the window width alone, so the
// window keeps the placement chosen from the screen size until the first real resize.
extern int MainWindowPlacing;
