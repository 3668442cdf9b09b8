// The main window's menu: its commands and the states of its items.
#pragma once

#include <windows.h>

void OnCommand(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result);
void OnInitMenuPopup(HWND window, HMENU popup, int position);

// The companion windows' menu commands (each opens its window, or closes it when open) and
// the graph's WM_GRAPH_CLOSED; the rows of app/win32/Companions.cpp name them.
void OnGraphCommand(HWND window);
void OnGraphClosed(HWND window, LPARAM lParam);
void OnSetPointCommand(HWND window);
void OnPidAdjustCommand(HWND window);
void OnCommandWindowCommand(HWND window);
void OnTotalizerCommand(HWND window);
