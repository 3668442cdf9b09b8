#include "ctl/CtlPlatform.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

static volatile LONG InterruptFlag = 0;
static HANDLE RunOver = nullptr;

// Windows allows a console-close handler about 5 s before it ends the process, and ends it as
// soon as the handler returns; logoff and shutdown give no more.
constexpr DWORD CLOSE_WAIT_MS = 4500;

// Runs on a thread the console creates. For Ctrl-C and Ctrl-Break returning TRUE keeps the
// process alive and the main thread puts the board back. For a closed console, logoff and
// shutdown the process ends when this returns, so it waits for the main thread to finish.
static BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        InterlockedExchange(&InterruptFlag, 1);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        InterlockedExchange(&InterruptFlag, 1);
        if (RunOver != nullptr) {
            WaitForSingleObject(RunOver, CLOSE_WAIT_MS);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

void InstallInterruptHandler() {
    RunOver = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int Interrupted() {
    return InterlockedCompareExchange(&InterruptFlag, 0, 0) != 0;
}

void RunFinished() {
    if (RunOver != nullptr) {
        SetEvent(RunOver);
    }
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

// The temporary folder of a Windows user is already the user's own (under %LOCALAPPDATA%).
int StateFolder(char* out, size_t outSize, char* whyOut, size_t whySize) {
    char path[MAX_PATH + 1];
    DWORD length = GetTempPathA(sizeof path, path);
    if (length == 0 || length >= sizeof path) {
        snprintf(whyOut, whySize, "no temporary folder");
        return 0;
    }
    while (length > 0 && (path[length - 1] == '\\' || path[length - 1] == '/')) {
        path[--length] = '\0';
    }
    snprintf(out, outSize, "%s\\torvanctl", path);
    if (!CreateDirectoryA(out, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        snprintf(whyOut, whySize, "cannot make %s", out);
        return 0;
    }
    DWORD attributes = GetFileAttributesA(out);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        snprintf(whyOut, whySize, "%s is not a folder", out);
        return 0;
    }
    return 1;
}

FILE* CreateNewFile(const char* path, int* existed) {
    *existed = 0;
    // CREATE_NEW fails on anything already there, a link included.
    int fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT, _S_IREAD | _S_IWRITE);
    if (fd < 0) {
        *existed = errno == EEXIST;
        return nullptr;
    }
    FILE* file = _fdopen(fd, "w");
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

FILE* OpenPlainFile(const char* path, int* isLink) {
    DWORD attributes = GetFileAttributesA(path);
    *isLink = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    return *isLink ? nullptr : fopen(path, "r");
}

int SamePath(const char* a, const char* b) {
    char fullA[MAX_PATH], fullB[MAX_PATH];
    DWORD lengthA = GetFullPathNameA(a, sizeof fullA, fullA, nullptr);
    DWORD lengthB = GetFullPathNameA(b, sizeof fullB, fullB, nullptr);
    if (lengthA == 0 || lengthA >= sizeof fullA || lengthB == 0 || lengthB >= sizeof fullB) {
        return strcmp(a, b) == 0;
    }
    return _stricmp(fullA, fullB) == 0;
}
