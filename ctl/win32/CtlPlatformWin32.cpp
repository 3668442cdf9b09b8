#include "ctl/CtlPlatform.h"

#include <windows.h>

#include <cstdio>

static volatile LONG InterruptFlag = 0;

// Runs on a thread the console creates; returning TRUE keeps the process alive so the main
// thread can put the board back. For a console close Windows ends the process shortly after
// the handler returns, so that case only gets the time the current step takes.
static BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        InterlockedExchange(&InterruptFlag, 1);
        return TRUE;
    default:
        return FALSE;
    }
}

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int Interrupted() {
    return InterlockedCompareExchange(&InterruptFlag, 0, 0) != 0;
}

LogTimestamp CurrentLocalTime() {
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

void TempFolder(char* out, size_t outSize) {
    char path[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof path, path);
    if (length == 0 || length >= sizeof path) {
        snprintf(out, outSize, ".");
        return;
    }
    while (length > 0 && (path[length - 1] == '\\' || path[length - 1] == '/')) {
        path[--length] = '\0';
    }
    snprintf(out, outSize, "%s", path);
}
