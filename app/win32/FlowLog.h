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

// The connection has ended (Close, Open, the simulation's start, a failed reconnection): a
// running log is closed like Stop Log and the operator told which file and how many lines.
void EndLogWithNotice(HWND mainWindow);
// The worker was stopped: the log writes no line until ResumeLogWithLink, called when a state
// report of the run now going arrives, so a reconnection leaves a gap in the file rather than
// stale values. This holds for a log started at any time, also during the outage.
void HoldLogForLink();
void ResumeLogWithLink();

// Start Log once a path is chosen (the Save-As dialog's result): closes any log already open,
// opens the file (path in UTF-8, any length) and shows the interval window. Non-zero when the
// file was opened.
int StartLogToPath(HWND mainWindow, const char* path);

// The log's and the log interval window's message boxes go through this pointer so that tests
// can answer them without entering a modal loop. Its text is UTF-8 (MessageBoxUtf8 unless
// replaced), so a file name outside the code page is shown as typed.
typedef int(WINAPI* LogMessageBoxFunc)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
extern LogMessageBoxFunc LogMessageBox;
