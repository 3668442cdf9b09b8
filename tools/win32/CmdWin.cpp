// The command window: an output pane above a one-line entry preceded by "CMD:". A line
// typed and ended with Enter is echoed and handed to the main window, which queues it for
// the board; the board's reply comes back through AppendTextToOutputWindow.
#include "tools/win32/CmdWin.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/AppMessages.h"
#include "app/AppState.h"
#include "display/win32/WindowUtils.h"
#include "tools/OutputTrim.h"

static HWND CmdWinHandle;
static HWND ParentWindow;
static HWND hwndOutput;
static HWND hwndCmdEntry;
static int FontHeight;
static int CmdEntryWinHeight;
static int Registered;

// Lines handed to the main window. Each post carries its own slot: two lines entered before
// the main window has read the first (pasted keystrokes, characters posted by another
// program) would otherwise both arrive as the second. The main window copies the text into
// the command queue as soon as it reads the message, long before a slot comes round again.
constexpr int CMD_LINE_SLOTS = 16;
static char CommandLines[CMD_LINE_SLOTS][CMD_TEXT_SIZE];
static int NextCommandLine;

static const char CMD_PROMPT[] = "CMD: ";
static const char INITIAL_OUTPUT[] = "11111\r\n22222\r\n";

static std::string WindowText(HWND window) {
    int length = GetWindowTextLengthA(window);
    if (length <= 0)
        return std::string();
    std::vector<char> text(static_cast<size_t>(length) + 1);
    int copied = GetWindowTextA(window, text.data(), length + 1);
    return std::string(text.data(), copied > 0 ? static_cast<size_t>(copied) : 0);
}

static int PromptWidth(HDC dc) {
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, CMD_PROMPT, static_cast<int>(sizeof CMD_PROMPT - 1), &size);
    return size.cx;
}

static LRESULT OnCreate(HWND window, const CREATESTRUCTA* create) {
    HMENU outputId = reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_CMD_OUTPUT));
    HMENU entryId = reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_CMD_ENTRY));
    hwndOutput = CreateWindowExA(0, "edit", nullptr,
                                 WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_HSCROLL |
                                     ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL,
                                 0, 0, 0, 0, window, outputId, create->hInstance, nullptr);
    TEXTMETRICA metrics = {};
    HDC dc = GetDC(hwndOutput);
    if (dc) {
        GetTextMetricsA(dc, &metrics);
        ReleaseDC(hwndOutput, dc);
    }
    FontHeight = metrics.tmHeight;
    CmdEntryWinHeight = FontHeight + 4;
    // Multi-line with want-return: Enter puts "\r\n" into the text and raises EN_CHANGE,
    // which is how a finished line is recognised.
    hwndCmdEntry = CreateWindowExA(0, "edit", nullptr,
                                   WS_CHILD | WS_VISIBLE | WS_BORDER | ES_MULTILINE |
                                       ES_WANTRETURN | ES_AUTOHSCROLL | ES_AUTOVSCROLL,
                                   0, 0, 0, 0, window, entryId, create->hInstance, nullptr);
    SetWindowTextA(hwndCmdEntry, "");
    SetWindowTextA(hwndOutput, INITIAL_OUTPUT);
    return 0;
}

static LRESULT OnSize(HWND window, int width, int height) {
    HDC dc = GetDC(window);
    int promptWidth = dc ? PromptWidth(dc) : 0;
    if (dc)
        ReleaseDC(window, dc);
    MoveWindow(hwndOutput, 0, 0, width, height - CmdEntryWinHeight, TRUE);
    MoveWindow(hwndCmdEntry, promptWidth + 5, height - CmdEntryWinHeight, width - promptWidth - 5,
               CmdEntryWinHeight, TRUE);
    SetFocus(hwndCmdEntry);
    return 0;
}

static LRESULT OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (!dc)
        return 0;
    RECT client;
    GetClientRect(window, &client);
    RECT prompt = {client.left, client.bottom - CmdEntryWinHeight, client.right + PromptWidth(dc),
                   client.bottom};
    DrawTextA(dc, CMD_PROMPT, 4, &prompt, DT_SINGLELINE | DT_VCENTER | DT_LEFT);
    EndPaint(window, &paint);
    return 0;
}

// The entry holds a line longer than a queue slot carries: the board would get a cut
// command, which might mean something else, so nothing is sent. The line stays in the entry
// without its line break for the operator to shorten.
static void RefuseLongLine(const std::string& line) {
    size_t length = line.size() - 2;
    AppendTextToOutputWindow(CommandTooLongNotice(length).c_str());
    SetWindowTextA(hwndCmdEntry, line.substr(0, length).c_str());
    SendMessageA(hwndCmdEntry, EM_SETSEL, length, length);
}

static void OnEntryChange() {
    std::string line = WindowText(hwndCmdEntry);
    CmdLineStatus status = CheckCommandLine(line.data(), line.size());
    if (status == CMD_LINE_INCOMPLETE)
        return;
    if (status == CMD_LINE_TOO_LONG) {
        RefuseLongLine(line);
        SetFocus(hwndCmdEntry);
        return;
    }
    char* command = CommandLines[NextCommandLine];
    if (line.size() >= sizeof CommandLines[0])
        return;
    NextCommandLine = (NextCommandLine + 1) % CMD_LINE_SLOTS;
    std::memcpy(command, line.c_str(), line.size() + 1);
    SetWindowTextA(hwndCmdEntry, "");
    AppendTextToOutputWindow(command);
    PostMessageA(ParentWindow, WM_USER_COMMAND, 0, reinterpret_cast<LPARAM>(command));
    SetFocus(hwndCmdEntry);
}

static LRESULT OnCommand(int id, int code) {
    if (id == IDC_CMD_ENTRY && code == EN_CHANGE)
        OnEntryChange();
    return 0;
}

static LRESULT OnActivate(HWND window, WPARAM wParam, LPARAM lParam) {
    if (LOWORD(wParam) == WA_INACTIVE)
        return DefWindowProcA(window, WM_ACTIVATE, wParam, lParam);
    SetFocus(hwndCmdEntry);
    return 0;
}

static void OnNcDestroy(HWND window) {
    if (CmdWinHandle != window)
        return;
    CmdWinHandle = nullptr;
    hwndOutput = nullptr;
    hwndCmdEntry = nullptr;
}

static LRESULT CALLBACK CmdWinWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window, reinterpret_cast<CREATESTRUCTA*>(lParam));
    case WM_SIZE:
        return OnSize(window, LOWORD(lParam), HIWORD(lParam));
    case WM_PAINT:
        return OnPaint(window);
    case WM_ACTIVATE:
        return OnActivate(window, wParam, lParam);
    case WM_COMMAND:
        return OnCommand(LOWORD(wParam), HIWORD(wParam));
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_NCDESTROY:
        OnNcDestroy(window);
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateCmdWin(HWND parent, int asChild, const char* title, int x, int y, int width, int height,
                  HINSTANCE instance) {
    // One window at a time: the module's state describes a single window.
    if (CmdWinHandle)
        return CmdWinHandle;
    ParentWindow = parent;
    if (!Registered && RegisterRedrawnClass(instance, "CmdWin", CmdWinWndProc, 4, WHITE_BRUSH))
        Registered = 1;
    DWORD style = asChild ? WS_CHILD | WS_VISIBLE | WS_DLGFRAME
                          : WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME;
    CmdWinHandle = CreateWindowExA(0, "CmdWin", title, style, x, y, width, height, parent, nullptr,
                                   instance, nullptr);
    if (!CmdWinHandle) {
        ShowCreateErrorBox(ErrorStr, sizeof ErrorStr);
        return nullptr;
    }
    return CmdWinHandle;
}

BOOL CmdWinDialogBoxMsg(MSG* message) {
    if (!CmdWinHandle)
        return FALSE;
    return IsDialogMessageA(CmdWinHandle, message);
}

void AppendTextToOutputWindow(const char* text) {
    if (!hwndOutput || !text)
        return;
    std::string content = AppendToOutputText(WindowText(hwndOutput), text);
    SetWindowTextA(hwndOutput, content.c_str());
    LRESULT lines = SendMessageA(hwndOutput, EM_GETLINECOUNT, 0, 0);
    SendMessageA(hwndOutput, EM_LINESCROLL, 0, lines);
}
