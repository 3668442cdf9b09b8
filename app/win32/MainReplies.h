// The main window's application messages: the worker's replies, the tool windows' values and
// the settings the timers send.
#pragma once

#include <windows.h>

// Handles an application message (WM_APP range); returns 0 when it is not one of ours.
int OnAppMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Set point and PID values chosen in the tool windows: a settling timer's tick sends its
// value once the run has identified a controller (until then it waits).
void SendSetting(HWND window, UINT timerId);
// The connection ended for good (Close, Open, the simulation's start, a failed reconnection)
// or the board is a meter: what the operator chose and was not carried out is dropped, the
// settling timers stop.
void ResetSettingSends();
// As ResetSettingSends, after what was chosen and not carried out is noted for a box that
// says so once the handler has returned (why: "the connection ended", say).
void EndSettingSends(HWND window, const char* why);
// The program ends: what was chosen and not carried out, and refusals not yet shown, are said
// in a box now (none at a log-off).
void SettingsAtExit(HWND window);
// A link error stopped the run: the queue is gone, and each value chosen and not yet carried
// out goes again once the next run identifies a controller.
void SettingsLinkDown();
// The run is connected (simulation: started): queue its identification ("S64", and for a board
// "S54", after "~SNLC" when its line ending was read).
void IdentifyBoard(HWND window, int simulation, int newLineKnown);
// The run has identified a controller: what the operator chose and the board has not carried
// out goes now, in the order of the timers.
void SendWaitingSettings(HWND window);
