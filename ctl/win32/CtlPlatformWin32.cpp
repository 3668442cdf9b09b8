#include "ctl/CtlPlatform.h"

#include <windows.h>

#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "app/Utf8File.h"
#include "app/win32/WideText.h"

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
// Names go through the wide calls: a user folder such as "C:\Users\Łukasz" is whole whatever
// the code page.
int StateFolder(char* out, size_t outSize, char* whyOut, size_t whySize) {
    // Asked for its length first: a temporary folder of MAX_PATH characters or more is as good
    // as any, and the wide calls below take long paths.
    DWORD needed = GetTempPathW(0, nullptr);
    if (needed == 0) {
        snprintf(whyOut, whySize, "no temporary folder");
        return 0;
    }
    std::vector<wchar_t> buffer(needed + 1);
    DWORD length = GetTempPathW((DWORD)buffer.size(), buffer.data());
    if (length == 0 || length >= buffer.size()) {
        snprintf(whyOut, whySize, "no temporary folder");
        return 0;
    }
    wchar_t* path = buffer.data();
    while (length > 0 && (path[length - 1] == L'\\' || path[length - 1] == L'/')) {
        path[--length] = L'\0';
    }
    std::string folder = Utf8FromWide(path);
    while (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
        folder.pop_back();
    folder += "\\torvanctl";
    if (folder.size() >= outSize) {
        snprintf(whyOut, whySize, "the temporary folder's name is too long");
        return 0;
    }
    snprintf(out, outSize, "%s", folder.c_str());
    std::wstring wide = WideFilePath(out);
    if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        snprintf(whyOut, whySize, "cannot make %s", out);
        return 0;
    }
    DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        snprintf(whyOut, whySize, "%s is not a folder", out);
        return 0;
    }
    return 1;
}

FILE* CreateNewFile(const char* path, int* existed) {
    *existed = 0;
    // _O_EXCL fails on anything already there, a link included.
    std::wstring wide = WideFilePath(path);
    int fd = _wopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_TEXT, _S_IREAD | _S_IWRITE);
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

int CloseSyncedFile(FILE* file) {
    int ok = fflush(file) == 0 && _commit(_fileno(file)) == 0;
    return fclose(file) == 0 && ok;
}

FILE* OpenPlainFile(const char* path, int* isLink) {
    DWORD attributes = GetFileAttributesW(WideFilePath(path).c_str());
    *isLink = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    return *isLink ? nullptr : OpenFileUtf8(path, "r");
}

int SamePath(const char* a, const char* b) {
    std::wstring wideA = WideFromUtf8(a), wideB = WideFromUtf8(b);
    wchar_t fullA[MAX_PATH], fullB[MAX_PATH];
    DWORD lengthA = GetFullPathNameW(wideA.c_str(), MAX_PATH, fullA, nullptr);
    DWORD lengthB = GetFullPathNameW(wideB.c_str(), MAX_PATH, fullB, nullptr);
    if (lengthA == 0 || lengthA >= MAX_PATH || lengthB == 0 || lengthB >= MAX_PATH) {
        return strcmp(a, b) == 0;
    }
    return _wcsicmp(fullA, fullB) == 0;
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

namespace {
struct ThreadStart {
    void (*Body)(void*);
    void* Arg;
};

unsigned __stdcall RunThread(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.Body(copy.Arg);
    return 0;
}
} // namespace

CtlThread StartCtlThread(void (*body)(void*), void* arg) {
    auto* start = new ThreadStart{body, arg};
    uintptr_t handle = _beginthreadex(nullptr, 0, RunThread, start, 0, nullptr);
    if (handle == 0) {
        delete start;
        return nullptr;
    }
    return reinterpret_cast<CtlThread>(handle);
}

void JoinCtlThread(CtlThread thread) {
    WaitForSingleObject(static_cast<HANDLE>(thread), INFINITE);
    CloseHandle(static_cast<HANDLE>(thread));
}

CtlLock NewCtlLock() {
    auto* section = new CRITICAL_SECTION;
    InitializeCriticalSection(section);
    return section;
}

void HoldCtlLock(CtlLock lock) {
    EnterCriticalSection(static_cast<CRITICAL_SECTION*>(lock));
}

void ReleaseCtlLock(CtlLock lock) {
    LeaveCriticalSection(static_cast<CRITICAL_SECTION*>(lock));
}

void FreeCtlLock(CtlLock lock) {
    DeleteCriticalSection(static_cast<CRITICAL_SECTION*>(lock));
    delete static_cast<CRITICAL_SECTION*>(lock);
}

int OutputIsTerminal() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) {
        return 0;
    }
    // Older consoles without escape sequences get the plain table.
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int MakeOutputFolder(const char* path) {
    std::wstring wide = WideFilePath(path);
    if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return 0;
    }
    DWORD attributes = GetFileAttributesW(wide.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
