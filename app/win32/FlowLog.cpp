// Placeholder until the flow log lands.
#include "app/win32/FlowLog.h"

void StartLog(HWND) {}
void StopLog(HWND) {}
void OnLogIntervalSet(HWND, UINT) {}
void OnLogIntervalCancel(HWND) {}
void LogSampleTick(HWND) {}
void UpdateLoggingMenu(HMENU) {}
void CloseLogFileAtExit() {}
