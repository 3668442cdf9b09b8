// The command window: an output pane above a one-line entry preceded by "CMD:". A line
// typed and ended with Enter is handed to the main window, which queues it for the board and
// has it echoed; the board's reply comes back under the echo.
#include "tools/win32/CmdWin.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "resources/AppMessages.h"
#include "display/win32/WindowUtils.h"
#include "tools/OutputTrim.h"

static HWND CmdWinHandle;
static HWND ParentWindow;
static HWND hwndOutput;
static HWND hwndCmdEntry;
static int FontHeight;
static int CmdEntryWinHeight;
static int Registered;
// The last creation error's text.
static char ErrorStr[200];

// Commands go to the board one at a time: a line is handed to the main window, echoed once
// it is queued, and the next waits until the answer to this one has been shown under its
// echo. Each line travels in a slot of its own, text and answer together, so an answer that
// comes late (or a command that gets none) can never show up under another command. Slots are
// taken in turn, so one given up on (the connection restarted) is not reused while its answer
// may still arrive.
constexpr int CMD_LINE_SLOTS = 16;
struct CmdSlot {
    char Text[CMD_TEXT_SIZE];
    char Result[CMD_RESULT_SIZE];
    int InFlight;
};
static CmdSlot CommandSlots[CMD_LINE_SLOTS];
static int NextCommandSlot;
static int SlotInFlight = -1;
// Lines entered while a command is on its way or the link is being re-established; a paste of
// many lines waits here.
static std::deque<std::string> WaitingLines;
// Output held back while a paste goes out (see AppendTextToOutputWindow).
static std::string PendingOutput;
static int OutputTimerSet;
constexpr UINT_PTR OUTPUT_TIMER = 1;
constexpr UINT OUTPUT_BATCH_MS = 50;
static void FlushOutput();
constexpr size_t CMD_WAITING_MAX = 1000;
// The text that followed a line refused as too long: it goes once that line, shortened, is
// entered, so nothing pasted after it is lost.
static std::string HeldAfterRefused;

// The connection as the window's lines see it; kept while the window is closed.
enum CmdLinkState { CMD_LINK_NONE, CMD_LINK_DOWN, CMD_LINK_UP };
static CmdLinkState LinkState = CMD_LINK_NONE;

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

static std::string WithoutLineEnd(const std::string& line) {
    size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n'))
        end--;
    return line.substr(0, end);
}

static std::string LinesNotSentNotice(const char* reason, size_t count) {
    char notice[128];
    snprintf(notice, sizeof notice, "%s: %lu line%s not sent.\r\n", reason,
             static_cast<unsigned long>(count), count == 1 ? "" : "s");
    return notice;
}

// Hands the next waiting line to the main window while the link is up and no command is on
// its way. The echo follows when the main window has queued it (CmdWinLineQueued).
static void SendNextLine() {
    if (LinkState != CMD_LINK_UP || SlotInFlight >= 0 || WaitingLines.empty() || !ParentWindow)
        return;
    int index = NextCommandSlot;
    CmdSlot* slot = &CommandSlots[index];
    snprintf(slot->Text, sizeof slot->Text, "%s", WaitingLines.front().c_str());
    // A command the board does not answer leaves the slot's answer empty.
    slot->Result[0] = '\0';
    slot->InFlight = 1;
    SlotInFlight = index;
    if (!PostMessageA(ParentWindow, WM_USER_COMMAND, 0, reinterpret_cast<LPARAM>(slot->Text))) {
        slot->InFlight = 0;
        SlotInFlight = -1;
        return;
    }
    NextCommandSlot = (NextCommandSlot + 1) % CMD_LINE_SLOTS;
    WaitingLines.pop_front();
}

static void QueueLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        // With no connection at all nothing would carry the line: the operator hears so at
        // once instead of it going out to whatever board the next Open finds.
        if (LinkState == CMD_LINK_NONE) {
            std::string notice = "Not connected: " + WithoutLineEnd(line) + " not sent\r\n";
            AppendTextToOutputWindow(notice.c_str());
            continue;
        }
        if (WaitingLines.size() >= CMD_WAITING_MAX) {
            AppendTextToOutputWindow("Command not sent: too many lines waiting.\r\n");
            break;
        }
        WaitingLines.push_back(line);
    }
}

static size_t CountLines(const std::string& text) {
    CmdEntrySplit split = SplitCommandEntry(text.data(), text.size(), CMD_TEXT_SIZE);
    return split.Lines.size() + (split.TooLong ? 1 : 0) + (split.Keep.empty() ? 0 : 1);
}

static void OnEntryChange() {
    std::string text = WindowText(hwndCmdEntry);
    CmdEntrySplit split = SplitCommandEntry(text.data(), text.size(), CMD_TEXT_SIZE);
    if (!split.HadBreak)
        return;
    // A line refused earlier has been entered again: what was pasted after it follows the
    // lines now complete, ahead of the operator's unfinished tail.
    if (!HeldAfterRefused.empty() && !split.TooLong) {
        size_t lastBreak = text.find_last_of("\r\n");
        std::string combined = text.substr(0, lastBreak + 1) + HeldAfterRefused;
        combined += text.substr(lastBreak + 1);
        HeldAfterRefused.clear();
        split = SplitCommandEntry(combined.data(), combined.size(), CMD_TEXT_SIZE);
    }
    QueueLines(split.Lines);
    if (split.TooLong) {
        // A line too long for the queue would reach the board cut, which might mean
        // something else: it stays in the entry, alone, with the caret at its end, for the
        // operator to shorten; what followed it waits.
        HeldAfterRefused = split.After + HeldAfterRefused;
        AppendTextToOutputWindow(CommandTooLongNotice(split.TooLong, CMD_TEXT_SIZE).c_str());
        if (!HeldAfterRefused.empty()) {
            char notice[96];
            size_t held = CountLines(HeldAfterRefused);
            snprintf(notice, sizeof notice, "%lu line%s after it wait%s until it is entered.\r\n",
                     static_cast<unsigned long>(held), held == 1 ? "" : "s", held == 1 ? "s" : "");
            AppendTextToOutputWindow(notice);
        }
    }
    SetWindowTextA(hwndCmdEntry, split.Keep.c_str());
    SendMessageA(hwndCmdEntry, EM_SETSEL, split.Keep.size(), split.Keep.size());
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
    // Nobody is left to read the answers: what waits is dropped with the window.
    if (SlotInFlight >= 0)
        CommandSlots[SlotInFlight].InFlight = 0;
    SlotInFlight = -1;
    WaitingLines.clear();
    HeldAfterRefused.clear();
    KillTimer(window, OUTPUT_TIMER);
    OutputTimerSet = 0;
    PendingOutput.clear();
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
    case WM_TIMER:
        if (wParam == OUTPUT_TIMER)
            FlushOutput();
        return 0;
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

// Writes text at the end of the pane at once.
static void WriteToOutputWindow(const char* text) {
    size_t shown = static_cast<size_t>(GetWindowTextLengthA(hwndOutput));
    if (shown + strlen(text) + 1 <= OUTPUT_TEXT_LIMIT) {
        // Added at the end: setting the whole text again would make the edit control lay out
        // every line it holds, which under Wine costs tens of milliseconds a line once the
        // pane is full, twice for every command (echo and answer).
        SendMessageA(hwndOutput, EM_SETSEL, shown, shown);
        SendMessageA(hwndOutput, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
    } else {
        std::string content = AppendToOutputText(WindowText(hwndOutput), text);
        SetWindowTextA(hwndOutput, content.c_str());
    }
    LRESULT lines = SendMessageA(hwndOutput, EM_GETLINECOUNT, 0, 0);
    SendMessageA(hwndOutput, EM_LINESCROLL, 0, lines);
}

static void FlushOutput() {
    if (OutputTimerSet && CmdWinHandle)
        KillTimer(CmdWinHandle, OUTPUT_TIMER);
    OutputTimerSet = 0;
    if (PendingOutput.empty() || !hwndOutput)
        return;
    std::string text;
    text.swap(PendingOutput);
    WriteToOutputWindow(text.c_str());
}

void AppendTextToOutputWindow(const char* text) {
    if (!hwndOutput || !text)
        return;
    PendingOutput += text;
    // While more pasted lines wait to go out, the pane is written once a batch rather than
    // twice a line: under Wine each write lays the pane out again, which took several times
    // longer than the board's answer and set the pace of a paste. The last line's echo and
    // answer, a single command and every notice are written at once.
    if (!WaitingLines.empty() && CmdWinHandle) {
        if (!OutputTimerSet)
            OutputTimerSet = SetTimer(CmdWinHandle, OUTPUT_TIMER, OUTPUT_BATCH_MS, nullptr) != 0;
        if (OutputTimerSet)
            return;
    }
    FlushOutput();
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

void CmdWinLineQueued(const void* text, int queued) {
    if (SlotInFlight < 0 || text != CommandSlots[SlotInFlight].Text)
        return;
    CmdSlot* slot = &CommandSlots[SlotInFlight];
    if (queued) {
        AppendTextToOutputWindow(slot->Text);
        return;
    }
    slot->InFlight = 0;
    SlotInFlight = -1;
    size_t count = 1 + WaitingLines.size();
    WaitingLines.clear();
    AppendTextToOutputWindow(LinesNotSentNotice("Command queue full", count).c_str());
}

void CmdWinReply(const void* result) {
    if (SlotInFlight < 0 || result == nullptr || result != CommandSlots[SlotInFlight].Result)
        return;
    CmdSlot* slot = &CommandSlots[SlotInFlight];
    slot->InFlight = 0;
    SlotInFlight = -1;
    if (slot->Result[0] != '\0')
        AppendTextToOutputWindow(slot->Result);
    SendNextLine();
}

void CmdWinLinkUp() {
    LinkState = CMD_LINK_UP;
    SendNextLine();
}

void CmdWinLinkDown() {
    if (SlotInFlight >= 0) {
        CmdSlot* slot = &CommandSlots[SlotInFlight];
        slot->InFlight = 0;
        WaitingLines.push_front(slot->Text);
        SlotInFlight = -1;
    }
    if (LinkState == CMD_LINK_UP)
        LinkState = CMD_LINK_DOWN;
}

void CmdWinConnectionEnded() {
    CmdWinLinkDown();
    LinkState = CMD_LINK_NONE;
    size_t count = WaitingLines.size();
    WaitingLines.clear();
    if (count > 0)
        AppendTextToOutputWindow(LinesNotSentNotice("Connection ended", count).c_str());
}
