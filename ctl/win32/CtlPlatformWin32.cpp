#include "ctl/CtlPlatform.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/win32/WideText.h"

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
    wchar_t path[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, path);
    if (length == 0 || length > MAX_PATH) {
        snprintf(out, outSize, ".");
        return;
    }
    while (length > 0 && (path[length - 1] == L'\\' || path[length - 1] == L'/')) {
        path[--length] = L'\0';
    }
    std::string utf8 = Utf8FromWide(path);
    // A folder whose name does not fit is no folder at all: fall back to the current one.
    snprintf(out, outSize, "%s", !utf8.empty() && utf8.size() < outSize ? utf8.c_str() : ".");
}

void Utf8Arguments(int* argc, char*** argv) {
    // The C runtime's argv is in the ANSI code page: a name outside it arrives with "?" in
    // it. The wide command line keeps it whole.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr)
        return;
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    texts.clear();
    for (int i = 0; i < count; i++)
        texts.push_back(Utf8FromWide(wide[i]));
    LocalFree(wide);
    pointers.clear();
    for (std::string& text : texts)
        pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
    *argc = count;
    *argv = pointers.data();
}
