// The command window: an output pane above a one-line entry preceded by "CMD:". A line
// typed and ended with Enter is echoed and handed to the main window, which queues it for
// the board; the board's reply comes back through AppendTextToOutputWindow.
#include "tools/win32/CmdWin.h"

#include <cstdio>
#include <cstring>
#include <deque>
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

// Commands go to the board one at a time: a line is echoed and handed to the main window,
// and the next waits until the answer to this one has been shown under its echo. Each line
// travels in a slot of its own, text and answer together, so an answer that comes late (or a
// command that gets none) can never show up under another command. Slots are taken in turn,
// so one given up on (the connection restarted) is not reused while its answer may still
// arrive.
constexpr int CMD_LINE_SLOTS = 16;
struct CmdSlot {
    char Text[CMD_TEXT_SIZE];
    char Result[USER_CMD_RESULT_SIZE];
    int InFlight;
};
static CmdSlot CommandSlots[CMD_LINE_SLOTS];
static int NextCommandSlot;
static int SlotInFlight = -1;
// Lines entered while a command is on its way; a paste of many lines waits here.
static std::deque<std::string> WaitingLines;
constexpr size_t CMD_WAITING_MAX = 1000;

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

// Hands the next waiting line to the main window unless a command is still on its way.
static void SendNextLine() {
    while (SlotInFlight < 0 && !WaitingLines.empty() && ParentWindow) {
        std::string line = WaitingLines.front();
        WaitingLines.pop_front();
        int index = NextCommandSlot;
        NextCommandSlot = (NextCommandSlot + 1) % CMD_LINE_SLOTS;
        CmdSlot* slot = &CommandSlots[index];
        snprintf(slot->Text, sizeof slot->Text, "%s", line.c_str());
        // A command the board does not answer leaves the slot's answer empty.
        slot->Result[0] = '\0';
        AppendTextToOutputWindow(slot->Text);
        if (PostMessageA(ParentWindow, WM_USER_COMMAND, 0, reinterpret_cast<LPARAM>(slot->Text))) {
            slot->InFlight = 1;
            SlotInFlight = index;
        }
    }
}

static void OnEntryChange() {
    std::string text = WindowText(hwndCmdEntry);
    CmdEntrySplit split = SplitCommandEntry(text.data(), text.size());
    if (!split.HadBreak)
        return;
    SetWindowTextA(hwndCmdEntry, split.Keep.c_str());
    SendMessageA(hwndCmdEntry, EM_SETSEL, split.Keep.size(), split.Keep.size());
    for (const std::string& line : split.Lines) {
        if (WaitingLines.size() >= CMD_WAITING_MAX) {
            AppendTextToOutputWindow("Command not sent: too many lines waiting.\r\n");
            break;
        }
        WaitingLines.push_back(line);
    }
    // A line too long for the queue would reach the board cut, which might mean something
    // else: it stays in the entry for the operator to shorten.
    if (split.TooLong)
        AppendTextToOutputWindow(CommandTooLongNotice(split.TooLong).c_str());
    SendNextLine();
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
    AbandonUserCommands();
}

static LRESULT CALLBACK CmdWinWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window, reinterpret_cast<CREATESTRUCTA*>(lParam));
    case WM_DPICHANGED:
        TakeSuggestedDpiRect(window, lParam);
        return 0;
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
    // Placed from the main window, which may sit at the screen's edge.
    if (!asChild)
        KeepWindowOnScreen(CmdWinHandle);
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

static CmdSlot* SlotOfText(const void* text) {
    for (CmdSlot& slot : CommandSlots)
        if (text == slot.Text)
            return &slot;
    return nullptr;
}

int IsCmdWinTextSlot(const void* text) {
    return SlotOfText(text) != nullptr;
}

char* CmdWinResultSlot(const void* text, size_t* size) {
    CmdSlot* slot = SlotOfText(text);
    if (!slot || !slot->InFlight)
        return nullptr;
    *size = sizeof slot->Result;
    return slot->Result;
}

void CmdWinReply(const void* result) {
    if (SlotInFlight < 0 || result != CommandSlots[SlotInFlight].Result)
        return;
    CmdSlot* slot = &CommandSlots[SlotInFlight];
    slot->InFlight = 0;
    SlotInFlight = -1;
    if (slot->Result[0] != '\0')
        AppendTextToOutputWindow(slot->Result);
    SendNextLine();
}

void AbandonUserCommands() {
    if (SlotInFlight >= 0)
        CommandSlots[SlotInFlight].InFlight = 0;
    SlotInFlight = -1;
    WaitingLines.clear();
}
