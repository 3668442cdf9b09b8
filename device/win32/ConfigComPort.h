// The modal "Select Serial Port" dialog.
#pragma once

#include <windows.h>

// The caller's port name buffer holds at least this many characters (the registry's names may
// be longer than the classic 40; a longer one is refused in the dialog).
constexpr int PORT_NAME_BUFFER_MIN = 256;

int GetSerialPortConfig(HINSTANCE instance, HWND parent, int* portsAvailableOut,
                        char* portNameBuffer, DWORD* baudInOut);
// A few words the next port dialog shows under its buttons (why it opened again: a link that
// kept failing); the dialog grows to hold them. Used by one dialog, then forgotten.
void SetPortDialogNote(const char* text);
INT_PTR CALLBACK ConfigPortDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
void LoadPortNames(HWND dialog, HKEY key);
