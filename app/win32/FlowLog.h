// The flow log of the Logging menu: Start Log, the interval chosen or cancelled, one sample
// per timer tick, Stop Log and the Logging menu state.
#pragma once

#include <windows.h>

void StartLog(HWND mainWindow);                        // command 40420
void StopLog(HWND mainWindow);                         // command 40430
void OnLogIntervalSet(HWND mainWindow, UINT interval); // WM_LOG_INTERVAL_SET
void OnLogIntervalCancel(HWND mainWindow);             // WM_LOG_INTERVAL_CANCEL
void LogSampleTick(HWND mainWindow);                   // timer 266
void UpdateLoggingMenu(HMENU loggingPopup);            // WM_INITMENUPOPUP, position 3
void CloseLogFileAtExit();                             // WM_CLOSE
