// Helpers for the tool and display window tests: hidden parent windows that record the
// application messages posted to them, pumps (one that offers each message to a modeless
// window's filter first, as the program's message loop does), a fixture for the trackbar
// dialogs, and float bits as the dialogs post them.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstring>
#include <string>
#include <vector>

#include "resources/AppMessages.h"

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

// A class with nothing but a window procedure; registering it again is harmless.
inline bool RegisterTestClass(const char* name, WNDPROC procedure) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = name;
    return RegisterClassA(&windowClass) != 0;
}

inline HWND CreateRecordingParent() {
    static bool registered = false;
    if (!registered) {
        registered = RegisterTestClass("ToolTestParent", RecordingParentProc);
    }
    return CreateWindowExA(0, "ToolTestParent", "parent", WS_OVERLAPPEDWINDOW, 0, 0, 200, 200,
                           nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

// The parent of the graph, totalizer and log interval windows: it keeps every WM_APP or
// later message it is sent or posted, with its lParam.
struct AppMessage {
    UINT Message;
    LPARAM LParam;
};

inline std::vector<AppMessage>& ParentInbox() {
    static std::vector<AppMessage> inbox;
    return inbox;
}

inline LRESULT CALLBACK InboxParentProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_APP) {
        ParentInbox().push_back({message, lParam});
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// A hidden overlapped parent at the given place, with an empty inbox.
inline HWND CreateInboxParent(int x, int y, int width, int height) {
    RegisterTestClass("InboxTestParent", InboxParentProc);
    ParentInbox().clear();
    return CreateWindowA("InboxTestParent", "parent", WS_OVERLAPPED, x, y, width, height, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

// Three rounds of dispatching with a short sleep between: the windows post messages to
// themselves (a size event, a repaint) while handling others.
inline void PumpRounds() {
    MSG message;
    for (int round = 0; round < 3; round++) {
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        Sleep(5);
    }
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

// A child or popup display window under a hidden inbox parent; what a test left open is
// destroyed after it.
class InboxParentTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Parent = CreateInboxParent(0, 0, 200, 100);
        ASSERT_NE(Parent, nullptr);
    }
    void TearDown() override {
        if (Window && IsWindow(Window)) {
            DestroyWindow(Window);
        }
        DestroyWindow(Parent);
        PumpRounds();
    }

    HWND Parent = nullptr;
    HWND Window = nullptr;
};

// Closes window one of the two ways a child window goes, by turns: its parent's DestroyWindow
// and its own close box.
inline void CloseByTurns(HWND window, int* round) {
    if ((*round)++ % 2 == 0) {
        DestroyWindow(window);
    } else {
        SendMessageA(window, WM_CLOSE, 0, 0);
    }
    PumpRounds();
}

// A modeless trackbar dialog under the recording parent: Filter is the dialog's message
// filter, Close the function that closes it whatever state it is in.
template <auto Filter, auto Close> class TrackbarDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_BAR_CLASSES};
        ASSERT_TRUE(InitCommonControlsEx(&controls));
        parent = CreateRecordingParent();
        ASSERT_NE(parent, nullptr);
        PostedToParent().clear();
    }
    void TearDown() override {
        Close();
        DestroyWindow(parent);
        Pump(Filter);
    }

    HWND parent = nullptr;
    HWND dialog = nullptr;
};

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
