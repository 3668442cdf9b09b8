// The modal "Select Serial Port" dialog.
#pragma once

#include <windows.h>

constexpr int PORT_NAME_BUFFER_MIN = 40;

int GetSerialPortConfig(HINSTANCE instance, HWND parent, int* portsAvailableOut,
                        char* portNameBuffer, DWORD* baudInOut);
INT_PTR CALLBACK ConfigPortDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void LoadPortNames(HWND dialog, HKEY key);
