// Helpers for the tool window tests: a hidden parent window that records the application
// messages posted to it, a pump that offers each message to a modeless window's filter first
// (as the program's message loop does), and float bits as the dialogs post them.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/AppMessages.h"

namespace toolharness {

struct Posted {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::string text; // for WM_USER_COMMAND: the text at lParam when it was delivered
};

inline std::vector<Posted>& PostedToParent() {
    static std::vector<Posted> posted;
    return posted;
}

inline LRESULT CALLBACK RecordingParentProc(HWND window, UINT message, WPARAM wParam,
                                            LPARAM lParam) {
    if (message < TORVAN_WM_APP || message >= 0xC000)
        return DefWindowProcA(window, message, wParam, lParam);
    std::string text;
    if (message == WM_USER_COMMAND && lParam)
        text = reinterpret_cast<const char*>(lParam);
    PostedToParent().push_back({message, wParam, lParam, text});
    return 0;
}

inline HWND CreateRecordingParent() {
    static bool registered = false;
    if (!registered) {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = RecordingParentProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "ToolTestParent";
        registered = RegisterClassA(&windowClass) != 0;
    }
    return CreateWindowExA(0, "ToolTestParent", "parent", WS_OVERLAPPEDWINDOW, 0, 0, 200, 200,
                           nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

inline void Pump(BOOL (*filter)(MSG*)) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (filter(&message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

struct FindRequest {
    HWND owner;
    const char* title;
    HWND found;
};

inline BOOL CALLBACK MatchOwnedWindow(HWND window, LPARAM lParam) {
    auto* request = reinterpret_cast<FindRequest*>(lParam);
    char title[128] = "";
    GetWindowTextA(window, title, sizeof title);
    if (GetWindow(window, GW_OWNER) != request->owner || std::strcmp(title, request->title) != 0)
        return TRUE;
    request->found = window;
    return FALSE;
}

// The window of this thread owned by owner and titled title, or null.
inline HWND FindOwnedWindow(HWND owner, const char* title) {
    FindRequest request = {owner, title, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), MatchOwnedWindow, reinterpret_cast<LPARAM>(&request));
    return request.found;
}

inline LPARAM BitsOf(float value) {
    DWORD bits;
    std::memcpy(&bits, &value, sizeof bits);
    return static_cast<LPARAM>(bits);
}

inline float FloatFromBits(LPARAM lParam) {
    DWORD bits = static_cast<DWORD>(lParam);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline std::string ItemText(HWND dialog, int id) {
    char text[128] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

} // namespace toolharness
