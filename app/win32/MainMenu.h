// The main window's menu: its commands and the states of its items.
#pragma once

#include <windows.h>

void OnCommand(HWND window, WPARAM wParam, LPARAM lParam, LRESULT* result);
void OnInitMenuPopup(HWND window, HMENU popup, int position);

// Menu item states after a connection starts or stops.
void SetConnectionMenuIdle(HWND window);
void SetConnectionMenuActive(HWND window);
