#include "app/win32/FlowLog.h"

#include <commdlg.h>
#include <cstdio>
#include <string>
#include <vector>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/LogFileWriter.h"
#include "app/LogGate.h"
#include "app/WorkerThread.h"
#include "app/win32/Connection.h"
#include "app/Utf8File.h"
#include "app/win32/LegacyApp.h"
#include "app/win32/WideText.h"
#include "tools/win32/LogIntervalWin.h"

// UTF-8 text: the log's boxes name its file as the operator typed it.
LogMessageBoxFunc LogMessageBox = MessageBoxUtf8;

// The interval window's boxes go through LogMessageBox as it is when they are shown.
static int WINAPI ShowLogBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    return LogMessageBox(owner, text, caption, type);
}

namespace {

// The Save-As dialog's buffer, in UTF-16 units: the longest path Windows takes.
constexpr DWORD LOG_PATH_SIZE = 32768;

// The file being written (UTF-8), for the notice when the log ends with the connection.
std::string LogPath;
// Whether the readout's flow is the board's present one: no line is written while the link is
// down or before the run now going has reported a state, however the log was started (a
// reconnection leaves a gap in the time column, not the flow from before the fault).
LogGateRec LogLink;

void DestroyLogIntervalWin() {
    if (LogIntervalWin && IsWindow(LogIntervalWin)) {
        DestroyWindow(LogIntervalWin);
    }
    LogIntervalWin = nullptr;
}

// Back to Idle: no timer, no file, counters cleared.
void CloseLog(HWND mainWindow) {
    KillTimer(mainWindow, TIMER_LOG_SAMPLE);
    if (LogFile != nullptr) {
        fclose(LogFile);
        LogFile = nullptr;
    }
    LoggingActive = 0;
    NumLogFileSamples = 0;
}

void StopOnWriteError(HWND mainWindow) {
    CloseLog(mainWindow);
    LogMessageBox(nullptr, "Error Writing Log File, Logging Stopped", "FILE ERROR", MB_OK);
}

LogTimestamp LocalTimestamp() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    LogTimestamp stamp;
    stamp.Year = now.wYear;
    stamp.Month = now.wMonth;
    stamp.Day = now.wDay;
    stamp.Hour = now.wHour;
    stamp.Minute = now.wMinute;
    stamp.Second = now.wSecond;
    stamp.Milliseconds = now.wMilliseconds;
    return stamp;
}

} // namespace

// The dialog ended without a file: cancelled, or refused by the system. A refusal is told,
// never passed over in silence.
void ReportSaveDialogFailure() {
    DWORD error = CommDlgExtendedError();
    if (error == 0)
        return;
    char message[160];
    if (error == FNERR_BUFFERTOOSMALL)
        snprintf(message, sizeof message, "The file name is too long for the Save-As dialog.");
    else if (error == FNERR_INVALIDFILENAME)
        snprintf(message, sizeof message, "The file name is not valid.");
    else
        snprintf(message, sizeof message, "The Save-As dialog failed (error 0x%04lX).",
                 (unsigned long)error);
    LogMessageBox(nullptr, message, "FILE ERROR", MB_OK);
}

void StartLog(HWND mainWindow) {
    // Through the wide dialog the name comes back as typed, whatever the code page; it
    // travels on as UTF-8.
    std::vector<wchar_t> path(LOG_PATH_SIZE, L'\0');
    wcscpy(path.data(), L"TorvanOneLog.csv");
    // One filter pair, so the list ends in two NULs.
    static const wchar_t filter[] = L"Excel Compatable File (.csv)\0*.csv\0";
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = mainWindow;
    dialog.lpstrFilter = filter;
    dialog.lpstrFile = path.data();
    dialog.nMaxFile = LOG_PATH_SIZE;
    dialog.lpstrInitialDir = L".";
    dialog.lpstrTitle = L"Log File Name";
    dialog.lpstrDefExt = L"csv";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_DONTADDTORECENT;
    if (!GetSaveFileNameW(&dialog)) {
        ReportSaveDialogFailure();
        return;
    }
    StartLogToPath(mainWindow, Utf8FromWide(path.data()).c_str());
}

int StartLogToPath(HWND mainWindow, const char* path) {
    // A second Start Log while a file is open (waiting for its interval or logging) would
    // otherwise lose that stream and leave its timer writing into the new file.
    if (LogFile != nullptr || LoggingActive) {
        CloseLog(mainWindow);
    }
    DestroyLogIntervalWin();
    FILE* file = OpenFileUtf8(path, "w");
    if (file == nullptr) {
        std::string message = std::string("Error Opening File: ") + path;
        LogMessageBox(nullptr, message.c_str(), "FILE ERROR", MB_OK);
        return 0;
    }
    LogFile = file;
    NumLogFileSamples = 0;
    LogPath = path;
    LogIntervalWin = CreateLogIntervalWin(mainWindow, 0, "Select Log Interval", ScreenWidth / 20,
                                          ScreenHeight / 20, ScreenWidth / 3, ScreenHeight / 4,
                                          MainInstance, ShowLogBox);
    return 1;
}

void OnLogIntervalSet(HWND mainWindow, UINT interval) {
    LoggingIntervalInMsec = 0;
    DestroyLogIntervalWin();
    if (LogFile == nullptr || interval == 0) {
        return;
    }
    if (!WriteLogHeader(LogFile, interval)) {
        StopOnWriteError(mainWindow);
        return;
    }
    if (SplitLogInterval(interval).Milliseconds != 0) {
        LoggingIntervalInMsec = 1;
    }
    LoggingActive = 1;
    NumLogFileSamples = 0;
    SetTimer(mainWindow, TIMER_LOG_SAMPLE, interval, TimerProc);
}

void OnLogIntervalCancel(HWND mainWindow) {
    DestroyLogIntervalWin();
    CloseLog(mainWindow);
}

void LogSampleTick(HWND mainWindow) {
    if (!LoggingActive || LogFile == nullptr) {
        return;
    }
    int linkUp = ConnectionLinkUp() || ConnectionSimulating();
    if (!LogGateMayWrite(&LogLink, ConnectionCurrentToken(), linkUp)) {
        return;
    }
    if (!WriteLogSample(LogFile, LocalTimestamp(), SystemState.Flow, LoggingIntervalInMsec)) {
        StopOnWriteError(mainWindow);
        return;
    }
    NumLogFileSamples++;
    if (NumLogFileSamples >= LOG_SAMPLE_LIMIT) {
        CloseLog(mainWindow);
        LogMessageBox(nullptr, "Flow Sample Limit Reached, Closing File", "Logging Terminated",
                      MB_OK);
    }
}

void StopLog(HWND mainWindow) {
    CloseLog(mainWindow);
    HMENU menu = GetMenu(mainWindow);
    if (menu != nullptr) {
        EnableMenuItem(menu, CMD_START_LOG, MF_BYCOMMAND | MF_ENABLED);
        EnableMenuItem(menu, CMD_STOP_LOG, MF_BYCOMMAND | MF_GRAYED);
    }
}

void EndLogWithNotice(HWND mainWindow) {
    if (LogFile == nullptr && !LoggingActive) {
        return;
    }
    // A file still waiting for its interval holds no line yet; it is closed without a word,
    // as Stop Log would.
    int wasLogging = LoggingActive;
    int lines = NumLogFileSamples;
    StopLog(mainWindow);
    if (!wasLogging) {
        return;
    }
    std::string message = "The connection has ended, so the log was closed.\r\rFile: " + LogPath +
                          "\rLines written: " + std::to_string(lines);
    LogMessageBox(mainWindow, message.c_str(), "Logging Stopped", MB_OK | MB_ICONWARNING);
}

void HoldLogForLink() {
    LogGateLinkDown(&LogLink);
}

void ResumeLogWithLink() {
    // Called for the reports of the run now going only (the main window drops the others).
    LogGateStateReport(&LogLink, ConnectionCurrentToken());
}

void UpdateLoggingMenu(HMENU loggingPopup) {
    if (loggingPopup == nullptr) {
        return;
    }
    // Between Start Log and the choice of an interval logging isn't active yet, so Start Log
    // stays available.
    EnableMenuItem(loggingPopup, CMD_START_LOG,
                   MF_BYCOMMAND | (LoggingActive ? MF_GRAYED : MF_ENABLED));
    EnableMenuItem(loggingPopup, CMD_STOP_LOG,
                   MF_BYCOMMAND | (LoggingActive ? MF_ENABLED : MF_GRAYED));
}

void CloseLogFileAtExit() {
    if (LogFile != nullptr) {
        fclose(LogFile);
        LogFile = nullptr;
    }
    LoggingActive = 0;
    NumLogFileSamples = 0;
}
