// Helpers for the tests that run the main window in the test process: create it, pump its
// messages for a while or until something holds, work a modal dialog from a second thread.
#pragma once

#include <windows.h>

#include "resources/AppMessages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "app/WorkerThread.h"
#include "app/win32/Connection.h"
#include "app/win32/LegacyApp.h"
#include "app/win32/MainReadout.h"

namespace harness {

inline void Pump() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

inline void PumpFor(DWORD ms) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        Pump();
        Sleep(5);
    }
}

template <typename Condition> bool PumpUntil(DWORD timeoutMs, Condition condition) {
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        Pump();
        if (condition())
            return true;
        Sleep(5);
    }
    Pump();
    return condition();
}

inline std::string Title(HWND window) {
    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

// Tests that play the worker's part post its reports with this run's token, after making it
// the one the window takes as current (connected, unless told another state).
inline WPARAM TEST_RUN = 0;
inline WPARAM ActAsWorkerRun(ConnectionState state = CONN_CONNECTED, const char* port = nullptr) {
    TEST_RUN = ActAsWorkerForTests(state, port);
    return TEST_RUN;
}

// A state or flow record as the answer to the request the poll timer asked for.
// It comes from the run now going (a test's own or the simulation's).
inline void SendState(HWND window, const void* record) {
    ExpectPollForTests(POLL_STATE);
    SendMessageA(window, WM_BOARD_STATE, (WPARAM)ConnectionCurrentToken(), (LPARAM)record);
}

// A fresh main window with the program's start-up values.
inline HWND OpenMainWindow() {
    ThisIsController = 0;
    ShowFlowDisplayInUnits = 0;
    SystemState = SystemStateRec{};
    GasInfo[0] = '\0';
    SerialPortErrors = 0;
    HWND window = CreateMainWindow(GetModuleHandleA(nullptr), SW_SHOWNORMAL);
    Pump();
    return window;
}

// The window goes once its worker has put the board back and reported its end.
inline void CloseMainWindow(HWND window) {
    if (window && IsWindow(window))
        SendMessageA(window, WM_CLOSE, 0, 0);
    PumpUntil(5000, [&] { return !IsWindow(window) && LiveWorkerThreads() == 0; });
}

inline COLORREF PixelAt(HWND window, int x, int y) {
    HDC dc = GetDC(window);
    COLORREF colour = GetPixel(dc, x, y);
    ReleaseDC(window, dc);
    return colour;
}

// Share of the information strip's pixels that have the given colour, in percent.
inline int StripShare(HWND window, COLORREF colour) {
    HDC dc = GetDC(window);
    int match = 0, total = 0;
    for (int y = InfoWinRect.top; y < InfoWinRect.bottom; y += 2)
        for (int x = InfoWinRect.left; x < InfoWinRect.right; x += 2) {
            total++;
            match += GetPixel(dc, x, y) == colour;
        }
    ReleaseDC(window, dc);
    return total ? match * 100 / total : 0;
}

// The process's GDI object count. Wine answers GetGuiResources with 0; there a handle whose
// upper word is 0 matches an object of any generation, so the live objects can be counted by
// their index instead.
inline DWORD GdiObjectCount() {
    DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (count)
        return count;
    for (ULONG_PTR index = 1; index < 0x10000; index++)
        if (GetObjectType((HGDIOBJ)index) != 0)
            count++;
    return count;
}

// The folder where the test script keeps the emulators' record files and control FIFOs,
// as a Windows path; empty when the emulators are not running.
// Works the port dialog from a second thread: waits for it, reads its list, selects an
// entry (or none) and presses OK or Cancel.
struct DialogDriver {
    const char* select = nullptr; // entry to select before OK; null keeps the selection
    bool pressOk = true;
    DWORD timeoutMs = 10000;
    DWORD pressAfterMs = 0; // how long the operator looks at the dialog before pressing
    bool found = false;
    std::vector<std::string> entries;
    std::string note; // the line under the buttons, when the dialog has one
    int selectedIndex = -1;
    HANDLE thread = nullptr;
};

inline DWORD WINAPI DriveDialog(void* param) {
    DialogDriver* d = (DialogDriver*)param;
    HWND dialog = nullptr;
    DWORD start = GetTickCount();
    // The dialog exists before WM_INITDIALOG has filled its list; it is shown only after.
    while (!dialog && GetTickCount() - start < d->timeoutMs) {
        dialog = FindWindowA("#32770", "Select Serial Port");
        if (dialog && !IsWindowVisible(dialog))
            dialog = nullptr;
        if (!dialog)
            Sleep(20);
    }
    if (!dialog)
        return 0;
    d->found = true;
    HWND list = GetDlgItem(dialog, 1010);
    int count = (int)SendMessageA(list, LB_GETCOUNT, 0, 0);
    for (int i = 0; i < count; i++) {
        char text[256] = "";
        if (SendMessageA(list, LB_GETTEXTLEN, i, 0) < (LRESULT)sizeof text)
            SendMessageA(list, LB_GETTEXT, i, (LPARAM)text);
        d->entries.push_back(text);
    }
    d->selectedIndex = (int)SendMessageA(list, LB_GETCURSEL, 0, 0);
    char note[512] = "";
    GetDlgItemTextA(dialog, 1015, note, sizeof note);
    d->note = note;
    if (d->select)
        SendMessageA(list, LB_SELECTSTRING, (WPARAM)-1, (LPARAM)d->select);
    if (d->pressAfterMs)
        Sleep(d->pressAfterMs);
    int button = d->pressOk ? IDOK : IDCANCEL;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 (LPARAM)GetDlgItem(dialog, button));
    return 0;
}

inline void StartDialogDriver(DialogDriver* d) {
    d->thread = CreateThread(nullptr, 0, DriveDialog, d, 0, nullptr);
}

inline void JoinDialogDriver(DialogDriver* d) {
    if (d->thread) {
        WaitForSingleObject(d->thread, d->timeoutMs + 2000);
        CloseHandle(d->thread);
        d->thread = nullptr;
    }
}

} // namespace harness
