// TorvanDriver: steers TorvanOne.exe from outside for the end-to-end scenarios. It runs in the
// same Wine prefix, finds windows by class and title, posts commands, works the port dialog and
// reads titles, rectangles and pixels. Each subcommand prints its result on stdout and exits 0,
// or prints a reason on stderr and exits 1 (2 for a usage error).
//
// A window argument is either a handle as printed by this program (0x...) or a class name, in
// which case the first top-level window of that class is taken.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const DWORD PollMs = 50;

// Prints the reason for a failure; returns 1, the exit status of a failed command.
int Fail(const char* format, const char* detail = "") {
    std::fprintf(stderr, format, detail);
    std::fputc('\n', stderr);
    return 1;
}

int ParseInt(const char* text, long long* value) {
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 0);
    if (end == text || *end != '\0')
        return 0;
    *value = v;
    return 1;
}

std::string WindowClass(HWND window) {
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

std::string WindowTitle(HWND window) {
    char text[512] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

struct FindRequest {
    const char* className; // null: any class
    const char* titlePart; // null: any title
    bool exactTitle;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
    FindRequest* request = reinterpret_cast<FindRequest*>(param);
    if (request->className && WindowClass(window) != request->className)
        return TRUE;
    if (request->titlePart) {
        std::string title = WindowTitle(window);
        if (request->exactTitle ? title != request->titlePart
                                : title.find(request->titlePart) == std::string::npos)
            return TRUE;
    }
    request->found.push_back(window);
    return TRUE;
}

// Visible windows first: a class may also own hidden helper windows.
HWND FindTopLevel(const char* className, const char* titlePart, bool exactTitle) {
    FindRequest request{className, titlePart, exactTitle, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&request));
    for (HWND window : request.found)
        if (IsWindowVisible(window))
            return window;
    return request.found.empty() ? nullptr : request.found.front();
}

HWND ResolveWindow(const char* arg) {
    long long value = 0;
    if (ParseInt(arg, &value)) {
        HWND window = reinterpret_cast<HWND>(static_cast<intptr_t>(value));
        return IsWindow(window) ? window : nullptr;
    }
    return FindTopLevel(arg, nullptr, false);
}

void PrintWindowHandle(HWND window) {
    std::printf("0x%llx\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
}

const char* ClassArg(const char* arg) {
    return std::strcmp(arg, "-") == 0 ? nullptr : arg;
}

// Polls `probe` until it returns non-zero or the time is up; 1 when it succeeded.
template <typename Probe> int WaitFor(DWORD timeoutMs, Probe probe) {
    DWORD start = GetTickCount();
    for (;;) {
        if (probe())
            return 1;
        if (GetTickCount() - start >= timeoutMs)
            return 0;
        Sleep(PollMs);
    }
}

int GetTimeout(const char* arg, DWORD* timeoutMs) {
    long long value = 0;
    if (!ParseInt(arg, &value) || value < 0)
        return 0;
    *timeoutMs = static_cast<DWORD>(value);
    return 1;
}

// A pixel of the window's client area as the screen shows it. The window belongs to another
// process, so its device context is read through the screen: Wine keeps the window's surface
// in the owning process, while the X server holds what was last shown.
int ReadClientPixel(HWND window, int x, int y, COLORREF* colour) {
    POINT point = {x, y};
    if (!ClientToScreen(window, &point))
        return 0;
    HDC screen = GetDC(nullptr);
    if (!screen)
        return 0;
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 1, 1);
    int ok = 0;
    if (memory && bitmap) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, 1, 1, screen, point.x, point.y, SRCCOPY)) {
            *colour = GetPixel(memory, 0, 0);
            ok = *colour != CLR_INVALID;
        }
        SelectObject(memory, old);
    }
    if (bitmap)
        DeleteObject(bitmap);
    if (memory)
        DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

int CmdWaitWindow(int argc, char** argv) {
    if (argc != 2 && argc != 3)
        return -1;
    const char* className = ClassArg(argv[0]);
    const char* title = argc == 3 ? argv[1] : nullptr;
    DWORD timeoutMs = 0;
    if (!GetTimeout(argv[argc - 1], &timeoutMs))
        return -1;
    HWND found = nullptr;
    if (!WaitFor(timeoutMs, [&] { return (found = FindTopLevel(className, title, false)); }))
        return Fail("wait-window: no window %s within the time", argv[0]);
    PrintWindowHandle(found);
    return 0;
}

int CmdWaitGone(int argc, char** argv) {
    if (argc != 2)
        return -1;
    DWORD timeoutMs = 0;
    if (!GetTimeout(argv[1], &timeoutMs))
        return -1;
    if (!WaitFor(timeoutMs, [&] { return ResolveWindow(argv[0]) == nullptr; }))
        return Fail("wait-gone: %s still there", argv[0]);
    return 0;
}

int CmdTitle(int argc, char** argv) {
    if (argc != 1)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("title: no window %s", argv[0]);
    std::printf("%s\n", WindowTitle(window).c_str());
    return 0;
}

int CmdWaitTitle(int argc, char** argv) {
    if (argc != 3)
        return -1;
    DWORD timeoutMs = 0;
    if (!GetTimeout(argv[2], &timeoutMs))
        return -1;
    std::string last = "(no window)";
    int ok = WaitFor(timeoutMs, [&] {
        HWND window = ResolveWindow(argv[0]);
        if (!window)
            return false;
        last = WindowTitle(window);
        return last == argv[1];
    });
    if (!ok)
        return Fail("wait-title: title is \"%s\"", last.c_str());
    std::printf("%s\n", last.c_str());
    return 0;
}

int CmdRect(int argc, char** argv) {
    if (argc != 1)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    RECT rect;
    if (!window || !GetWindowRect(window, &rect))
        return Fail("rect: no window %s", argv[0]);
    std::printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                rect.bottom - rect.top);
    return 0;
}

// Client area: its screen origin and size.
int CmdClientRect(int argc, char** argv) {
    if (argc != 1)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    RECT rect;
    POINT origin = {0, 0};
    if (!window || !GetClientRect(window, &rect) || !ClientToScreen(window, &origin))
        return Fail("client-rect: no window %s", argv[0]);
    std::printf("%ld %ld %ld %ld\n", origin.x, origin.y, rect.right, rect.bottom);
    return 0;
}

int CmdClientPixel(int argc, char** argv) {
    long long x = 0, y = 0;
    if (argc != 3 || !ParseInt(argv[1], &x) || !ParseInt(argv[2], &y))
        return -1;
    HWND window = ResolveWindow(argv[0]);
    COLORREF colour = 0;
    if (!window)
        return Fail("client-pixel: no window %s", argv[0]);
    if (!ReadClientPixel(window, static_cast<int>(x), static_cast<int>(y), &colour))
        return Fail("client-pixel: cannot read the pixel");
    std::printf("%d %d %d\n", GetRValue(colour), GetGValue(colour), GetBValue(colour));
    return 0;
}

// wait-pixel HWND X Y R G B TIMEOUT: until the client pixel has that colour.
int CmdWaitPixel(int argc, char** argv) {
    long long v[5];
    DWORD timeoutMs = 0;
    if (argc != 7 || !GetTimeout(argv[6], &timeoutMs))
        return -1;
    for (int i = 0; i < 5; ++i)
        if (!ParseInt(argv[i + 1], &v[i]))
            return -1;
    COLORREF want = RGB(v[2], v[3], v[4]), seen = CLR_INVALID;
    int ok = WaitFor(timeoutMs, [&] {
        HWND window = ResolveWindow(argv[0]);
        return window &&
               ReadClientPixel(window, static_cast<int>(v[0]), static_cast<int>(v[1]), &seen) &&
               seen == want;
    });
    if (!ok) {
        std::fprintf(stderr, "wait-pixel: pixel is %d %d %d\n", GetRValue(seen), GetGValue(seen),
                     GetBValue(seen));
        return 1;
    }
    std::printf("%d %d %d\n", GetRValue(seen), GetGValue(seen), GetBValue(seen));
    return 0;
}

// Several ids are posted back to back, far quicker than one driver start per command.
int CmdCommand(int argc, char** argv) {
    if (argc < 2)
        return -1;
    std::vector<long long> ids;
    for (int i = 1; i < argc; i++) {
        long long id = 0;
        if (!ParseInt(argv[i], &id))
            return -1;
        ids.push_back(id);
    }
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("command: no window %s", argv[0]);
    for (long long id : ids)
        if (!PostMessageA(window, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), 0), 0))
            return Fail("command: PostMessage failed");
    return 0;
}

// Asks TorvanDriverHook.dll, loaded into the window's process by a message hook on the
// window's thread, to answer QUERY (a registered message name) with `wParam`. Some things can
// only be read by the owner: under Wine a menu handle is private to the process that made it,
// and GDI objects are counted in the owner's own handle table. The hook posts back
// (answer, valid); 1 when an answer came.
int AskInProcess(HWND window, const char* query, WPARAM wParam, UINT* answer, LPARAM* valid) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    char* slash = length > 0 && length < sizeof path ? std::strrchr(path, '\\') : nullptr;
    const char dllName[] = "TorvanDriverHook.dll";
    if (!slash || static_cast<size_t>(slash + 1 - path) + sizeof dllName > sizeof path) {
        Fail("cannot find the folder of the driver");
        return 0;
    }
    std::memcpy(slash + 1, dllName, sizeof dllName);
    HMODULE dll = LoadLibraryA(path);
    if (!dll) {
        Fail("cannot load %s", path);
        return 0;
    }
    // Through void*: FARPROC and HOOKPROC have different parameter lists.
    HOOKPROC hookProc = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void*>(GetProcAddress(dll, "DriverGetMessageHook")));
    HWND reply =
        CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    HHOOK hook = hookProc && reply ? SetWindowsHookExA(WH_GETMESSAGE, hookProc, dll,
                                                       GetWindowThreadProcessId(window, nullptr))
                                   : nullptr;
    int answered = 0;
    if (!hook) {
        Fail("cannot install the message hook");
    } else {
        UINT message = RegisterWindowMessageA(query);
        PostMessageA(window, message, wParam, reinterpret_cast<LPARAM>(reply));
        MSG msg;
        answered = WaitFor(
            5000, [&] { return PeekMessageA(&msg, reply, message, message, PM_REMOVE) != 0; });
        if (answered) {
            *answer = static_cast<UINT>(msg.wParam);
            *valid = msg.lParam;
        } else {
            Fail("the window did not answer");
        }
        UnhookWindowsHookEx(hook);
    }
    if (reply)
        DestroyWindow(reply);
    FreeLibrary(dll);
    return answered;
}

// The popup is asked to prepare itself exactly as when the operator opens it, then read.
int CmdMenuState(int argc, char** argv) {
    long long position = 0, id = 0;
    if (argc != 3 || !ParseInt(argv[1], &position) || !ParseInt(argv[2], &id) || position < 0 ||
        position > 0xFFFF || id < 0 || id > 0xFFFF)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("menu-state: no window %s", argv[0]);
    UINT state = 0;
    LPARAM hasPopup = 0;
    if (!AskInProcess(window, "TorvanDriverMenuState", MAKEWPARAM(id, position), &state, &hasPopup))
        return 1;
    if (!hasPopup)
        return Fail("menu-state: no popup at that position");
    if (state == static_cast<UINT>(-1))
        return Fail("menu-state: no item %s", argv[2]);
    std::printf("%s %s\n", (state & (MF_GRAYED | MF_DISABLED)) ? "grayed" : "enabled",
                (state & MF_CHECKED) ? "checked" : "unchecked");
    return 0;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM param) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
    return TRUE;
}

std::vector<HWND> Children(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

std::string Utf8FromWide(const wchar_t* wide) {
    char text[4096] = "";
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
    text[sizeof text - 1] = '\0';
    return text;
}

// Text of a control in another process: WM_GETTEXT is marshalled, GetWindowText is not. Asked
// for in UTF-16 and printed as UTF-8, so a name outside the code page arrives whole.
std::string ControlText(HWND control) {
    wchar_t text[2048] = L"";
    DWORD_PTR result = 0;
    SendMessageTimeoutW(control, WM_GETTEXT, sizeof text / sizeof text[0],
                        reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 2000, &result);
    text[sizeof text / sizeof text[0] - 1] = L'\0';
    return Utf8FromWide(text);
}

// The entries of a list box in another process. Asked for in UTF-16: Wine hands an ANSI
// LB_GETTEXT from another process the wide text unconverted.
std::string ListEntries(HWND list) {
    std::string entries;
    LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t wide[256] = L"";
        char text[512] = "";
        LRESULT length = SendMessageW(list, LB_GETTEXTLEN, i, 0);
        if (length >= 0 && length < static_cast<LRESULT>(sizeof wide / sizeof wide[0]))
            SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(wide));
        WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
        entries += entries.empty() ? "" : ", ";
        entries += text;
    }
    return entries;
}

int CmdPortDialog(int argc, char** argv) {
    DWORD timeoutMs = 0;
    if (argc != 3 || !GetTimeout(argv[2], &timeoutMs))
        return -1;
    // "try" presses OK as "ok" does but does not wait for the dialog to go: the port may be
    // refused, and the dialog then stays open for another choice.
    bool tryOnly = std::strcmp(argv[1], "try") == 0;
    bool ok = tryOnly || std::strcmp(argv[1], "ok") == 0;
    if (!ok && std::strcmp(argv[1], "cancel") != 0)
        return -1;
    // A dialog shows itself after WM_INITDIALOG has filled the list: wait until it is visible.
    HWND dialog = nullptr;
    if (!WaitFor(timeoutMs, [&] {
            dialog = FindTopLevel("#32770", "Select Serial Port", true);
            return dialog && IsWindowVisible(dialog);
        }))
        return Fail("port-dialog: no \"Select Serial Port\" dialog");
    HWND list = GetDlgItem(dialog, 1010);
    if (!list)
        return Fail("port-dialog: the dialog has no port list");
    if (ok) {
        LRESULT index = SendMessageA(list, LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(argv[0]));
        if (index == LB_ERR)
            return Fail("port-dialog: port not listed; the list holds: %s",
                        ListEntries(list).c_str());
        SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
        if (SendMessageA(list, LB_GETCURSEL, 0, 0) != index)
            return Fail("port-dialog: the selection did not take");
    }
    int button = ok ? IDOK : IDCANCEL;
    PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
    if (tryOnly) {
        PrintWindowHandle(dialog);
        return 0;
    }
    if (!WaitFor(5000, [&] { return !IsWindow(dialog); }))
        return Fail("port-dialog: the dialog stayed open");
    PrintWindowHandle(dialog);
    return 0;
}

// ping HWND TIMEOUT: the window's thread answered within the time; prints the delay in ms.
int CmdPing(int argc, char** argv) {
    DWORD timeoutMs = 0;
    if (argc != 2 || !GetTimeout(argv[1], &timeoutMs))
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("ping: no window %s", argv[0]);
    DWORD start = GetTickCount();
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, timeoutMs, &result))
        return Fail("ping: no answer within the time");
    std::printf("%lu\n", GetTickCount() - start);
    return 0;
}

// find-popup TITLE TIMEOUT: a visible top-level window (message box, dialog) with exactly that
// title; prints its handle and the text of its first non-empty static control.
int CmdFindPopup(int argc, char** argv) {
    DWORD timeoutMs = 0;
    if (argc != 2 || !GetTimeout(argv[1], &timeoutMs))
        return -1;
    HWND popup = nullptr;
    if (!WaitFor(timeoutMs, [&] {
            popup = FindTopLevel(nullptr, argv[0], true);
            return popup && IsWindowVisible(popup);
        }))
        return Fail("find-popup: no window titled \"%s\"", argv[0]);
    std::string text;
    for (HWND child : Children(popup)) {
        if (_stricmp(WindowClass(child).c_str(), "Static") != 0)
            continue;
        text = ControlText(child);
        if (!text.empty())
            break;
    }
    std::printf("0x%llx\t%s\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(popup)),
                text.c_str());
    return 0;
}

// Posts a left click at a client position of the window (a child control's own coordinates
// when HWND is a control).
int CmdClick(int argc, char** argv) {
    long long x = 0, y = 0;
    if (argc != 3 || !ParseInt(argv[1], &x) || !ParseInt(argv[2], &y))
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("click: no window %s", argv[0]);
    LPARAM where = MAKELPARAM(static_cast<short>(x), static_cast<short>(y));
    PostMessageA(window, WM_LBUTTONDOWN, MK_LBUTTON, where);
    PostMessageA(window, WM_LBUTTONUP, 0, where);
    return 0;
}

int CmdSetText(int argc, char** argv) {
    if (argc != 2)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("set-text: no window %s", argv[0]);
    // Typed as the operator would type it: the text is taken from the wide command line and
    // sent as UTF-16, so a name outside the code page (a Czech folder, a Chinese file name)
    // reaches the control whole; the ANSI argv would already hold "?" in its place.
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr || count < 1)
        return Fail("set-text: no wide command line");
    DWORD_PTR result = 0;
    BOOL answered =
        SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide[count - 1]),
                            SMTO_NORMAL, 5000, &result);
    LocalFree(wide);
    if (!answered)
        return Fail("set-text: no answer");
    return 0;
}

// Puts TEXT on the clipboard, "\\n" turned into CR LF, and pastes it into the edit control.
int CmdPaste(int argc, char** argv) {
    if (argc != 2)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("paste: no window %s", argv[0]);
    std::string text;
    for (const char* c = argv[1]; *c; c++) {
        if (c[0] == '\\' && c[1] == 'n') {
            text += "\r\n";
            c++;
        } else {
            text += *c;
        }
    }
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, text.size() + 1);
    if (!memory)
        return Fail("paste: no memory");
    void* locked = GlobalLock(memory);
    if (!locked) {
        GlobalFree(memory);
        return Fail("paste: no memory");
    }
    std::memcpy(locked, text.c_str(), text.size() + 1);
    GlobalUnlock(memory);
    if (!OpenClipboard(nullptr)) {
        GlobalFree(memory);
        return Fail("paste: clipboard busy");
    }
    EmptyClipboard();
    // The clipboard owns the memory once it has taken it.
    if (!SetClipboardData(CF_TEXT, memory)) {
        CloseClipboard();
        GlobalFree(memory);
        return Fail("paste: clipboard refused the text");
    }
    CloseClipboard();
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, WM_PASTE, 0, 0, SMTO_NORMAL, 5000, &result))
        return Fail("paste: no answer");
    return 0;
}

int CmdGetText(int argc, char** argv) {
    if (argc != 1)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("get-text: no window %s", argv[0]);
    std::printf("%s\n", ControlText(window).c_str());
    return 0;
}

int CmdDlgItem(int argc, char** argv) {
    long long id = 0;
    if (argc != 2 || !ParseInt(argv[1], &id))
        return -1;
    HWND window = ResolveWindow(argv[0]);
    HWND item = window ? GetDlgItem(window, static_cast<int>(id)) : nullptr;
    if (!item)
        return Fail("dlg-item: no control %s", argv[1]);
    PrintWindowHandle(item);
    return 0;
}

int SendOrPost(int argc, char** argv, bool send) {
    long long message = 0, wParam = 0, lParam = 0;
    if (argc != 4 || !ParseInt(argv[1], &message) || !ParseInt(argv[2], &wParam) ||
        !ParseInt(argv[3], &lParam))
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("send: no window %s", argv[0]);
    if (!send) {
        if (!PostMessageA(window, static_cast<UINT>(message), static_cast<WPARAM>(wParam),
                          static_cast<LPARAM>(lParam)))
            return Fail("post: PostMessage failed");
        return 0;
    }
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, static_cast<UINT>(message), static_cast<WPARAM>(wParam),
                             static_cast<LPARAM>(lParam), SMTO_NORMAL, 5000, &result))
        return Fail("send: no answer");
    std::printf("%lld\n", static_cast<long long>(result));
    return 0;
}

int CmdClose(int argc, char** argv) {
    if (argc != 1)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("close: no window %s", argv[0]);
    PostMessageA(window, WM_CLOSE, 0, 0);
    return 0;
}

// Process id of the window's owner (for gdi-count and for waiting on the process).
int CmdPid(int argc, char** argv) {
    if (argc != 1)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    DWORD pid = 0;
    if (!window || !GetWindowThreadProcessId(window, &pid))
        return Fail("pid: no window %s", argv[0]);
    std::printf("%lu\n", pid);
    return 0;
}

// end-session HWND|CLASS: what Windows does to a program at log-off: WM_QUERYENDSESSION, then
// WM_ENDSESSION (each given at most 5 s, as Windows gives a program a few seconds), then the
// process is ended at once, whatever it was doing. Prints "query MS RESULT" and "end MS".
int CmdEndSession(int argc, char** argv) {
    if (argc != 1)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    DWORD pid = 0;
    if (!window || !GetWindowThreadProcessId(window, &pid))
        return Fail("end-session: no window %s", argv[0]);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!process)
        return Fail("end-session: cannot open the process of %s", argv[0]);
    DWORD_PTR result = 0;
    DWORD start = GetTickCount();
    BOOL answered = SendMessageTimeoutA(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF,
                                        SMTO_NORMAL, 5000, &result) != 0;
    std::printf("query %lu %lld\n", GetTickCount() - start,
                answered ? static_cast<long long>(result) : -1LL);
    start = GetTickCount();
    answered = SendMessageTimeoutA(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                   5000, &result) != 0;
    std::printf("end %lu%s\n", GetTickCount() - start, answered ? "" : " (no answer)");
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
    return 0;
}

struct PidWindow {
    DWORD pid;
    HWND window;
};

BOOL CALLBACK FindWindowOfProcess(HWND window, LPARAM param) {
    PidWindow* search = reinterpret_cast<PidWindow*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    // A visible window: its thread runs the program's message loop.
    if (pid != search->pid || !IsWindowVisible(window))
        return TRUE;
    search->window = window;
    return FALSE;
}

// GDI objects held by a process. Where GetGuiResources is not implemented (Wine) the count is
// taken inside the process from its GDI handle table; the figure then also counts the stock
// objects, which stay constant, so a leak check still compares like with like.
int CmdGdiCount(int argc, char** argv) {
    long long pid = 0;
    if (argc != 1 || !ParseInt(argv[0], &pid))
        return -1;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (!process)
        return Fail("gdi-count: cannot open process %s", argv[0]);
    SetLastError(0);
    DWORD count = GetGuiResources(process, GR_GDIOBJECTS);
    DWORD error = GetLastError();
    CloseHandle(process);
    if (count != 0 || error == 0) {
        std::printf("%lu\n", count);
        return 0;
    }
    PidWindow search = {static_cast<DWORD>(pid), nullptr};
    EnumWindows(FindWindowOfProcess, reinterpret_cast<LPARAM>(&search));
    if (!search.window)
        return Fail("gdi-count: process %s has no window", argv[0]);
    UINT objects = 0;
    LPARAM valid = 0;
    if (!AskInProcess(search.window, "TorvanDriverGdiCount", 0, &objects, &valid))
        return 1;
    if (!valid) {
        std::fprintf(stderr, "gdi-count: not available here\n");
        return 3;
    }
    std::printf("%u\n", objects);
    return 0;
}

BOOL CALLBACK PrintTopLevel(HWND window, LPARAM) {
    RECT rect = {0, 0, 0, 0};
    GetWindowRect(window, &rect);
    std::printf("0x%llx\t%s\t%s\t%ld %ld %ld %ld\t%s\n",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)),
                WindowClass(window).c_str(), WindowTitle(window).c_str(), rect.left, rect.top,
                rect.right - rect.left, rect.bottom - rect.top,
                IsWindowVisible(window) ? "visible" : "hidden");
    return TRUE;
}

// Every top-level window (for a scenario's log when something is not found).
int CmdList(int argc, char**) {
    if (argc != 0)
        return -1;
    EnumWindows(PrintTopLevel, 0);
    return 0;
}

int CmdChildren(int argc, char** argv) {
    if (argc != 1)
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("children: no window %s", argv[0]);
    for (HWND child : Children(window))
        std::printf("0x%llx\t%d\t%s\t%s\n",
                    static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(child)),
                    GetDlgCtrlID(child), WindowClass(child).c_str(), ControlText(child).c_str());
    return 0;
}

// watch HWND DURATION_MS [COMMAND-ID]: optionally posts the command, then follows the window for
// the time given, printing its title and rectangle at the start and at every change, one line
// each ("title TEXT", "rect X Y W H"). Polled every millisecond, so a title that stands for a
// few milliseconds is still seen.
int CmdWatch(int argc, char** argv) {
    DWORD durationMs = 0;
    long long id = -1;
    if ((argc != 2 && argc != 3) || !GetTimeout(argv[1], &durationMs) ||
        (argc == 3 && !ParseInt(argv[2], &id)))
        return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("watch: no window %s", argv[0]);
    std::string lastTitle = WindowTitle(window);
    RECT last = {0, 0, 0, 0};
    GetWindowRect(window, &last);
    std::printf("title %s\nrect %ld %ld %ld %ld\n", lastTitle.c_str(), last.left, last.top,
                last.right - last.left, last.bottom - last.top);
    if (id >= 0)
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), 0), 0);
    timeBeginPeriod(1);
    DWORD start = GetTickCount();
    while (GetTickCount() - start < durationMs && IsWindow(window)) {
        std::string title = WindowTitle(window);
        if (title != lastTitle) {
            std::printf("title %s\n", title.c_str());
            lastTitle = title;
        }
        RECT rect;
        if (GetWindowRect(window, &rect) && !EqualRect(&rect, &last)) {
            std::printf("rect %ld %ld %ld %ld\n", rect.left, rect.top, rect.right - rect.left,
                        rect.bottom - rect.top);
            last = rect;
        }
        Sleep(1);
    }
    timeEndPeriod(1);
    return 0;
}

// move HWND X Y W H: places and sizes the window as a user dragging its frame would.
int CmdMove(int argc, char** argv) {
    long long v[4];
    if (argc != 5)
        return -1;
    for (int i = 0; i < 4; ++i)
        if (!ParseInt(argv[i + 1], &v[i]))
            return -1;
    HWND window = ResolveWindow(argv[0]);
    if (!window)
        return Fail("move: no window %s", argv[0]);
    if (!SetWindowPos(window, nullptr, static_cast<int>(v[0]), static_cast<int>(v[1]),
                      static_cast<int>(v[2]), static_cast<int>(v[3]),
                      SWP_NOZORDER | SWP_NOACTIVATE))
        return Fail("move: SetWindowPos failed");
    return 0;
}

// all CLASS|-: every top-level window of the class, one handle a line (none: exit 1).
int CmdAll(int argc, char** argv) {
    if (argc != 1)
        return -1;
    FindRequest request{ClassArg(argv[0]), nullptr, false, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&request));
    for (HWND window : request.found)
        PrintWindowHandle(window);
    return request.found.empty() ? 1 : 0;
}

// Screen size in pixels, as the program sees it at start.
int CmdScreen(int argc, char**) {
    if (argc != 0)
        return -1;
    std::printf("%d %d\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    return 0;
}

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
    const char* usage;
};

const Command Commands[] = {
    {"wait-window", CmdWaitWindow, "CLASS|- [TITLE-PART] TIMEOUT_MS  -> hwnd"},
    {"wait-gone", CmdWaitGone, "HWND|CLASS TIMEOUT_MS"},
    {"title", CmdTitle, "HWND|CLASS  -> title"},
    {"wait-title", CmdWaitTitle, "HWND|CLASS TEXT TIMEOUT_MS  (exact title)"},
    {"rect", CmdRect, "HWND|CLASS  -> x y w h (window)"},
    {"client-rect", CmdClientRect, "HWND|CLASS  -> x y w h (client, screen origin)"},
    {"client-pixel", CmdClientPixel, "HWND|CLASS X Y  -> r g b"},
    {"wait-pixel", CmdWaitPixel, "HWND|CLASS X Y R G B TIMEOUT_MS"},
    {"command", CmdCommand, "HWND|CLASS ID [ID...]  (posts WM_COMMAND for each, back to back)"},
    {"menu-state", CmdMenuState,
     "HWND|CLASS POPUP-POS ITEM-ID  -> enabled|grayed checked|unchecked"},
    {"port-dialog", CmdPortDialog, "PORT ok|cancel|try TIMEOUT_MS  (try: OK, dialog may stay)"},
    {"ping", CmdPing, "HWND|CLASS TIMEOUT_MS  -> answer time in ms"},
    {"find-popup", CmdFindPopup, "TITLE TIMEOUT_MS  -> hwnd<TAB>static text"},
    {"click", CmdClick, "HWND X Y  (client coordinates)"},
    {"set-text", CmdSetText, "HWND TEXT  (UTF-8 text, sent as UTF-16)"},
    {"paste", CmdPaste, "HWND TEXT  (\\n: a line break; through the clipboard)"},
    {"get-text", CmdGetText, "HWND  -> text (WM_GETTEXT)"},
    {"dlg-item", CmdDlgItem, "HWND|CLASS ID  -> hwnd"},
    {"send", [](int c, char** v) { return SendOrPost(c, v, true); },
     "HWND|CLASS MSG WPARAM LPARAM  -> result"},
    {"post", [](int c, char** v) { return SendOrPost(c, v, false); },
     "HWND|CLASS MSG WPARAM LPARAM"},
    {"close", CmdClose, "HWND|CLASS  (posts WM_CLOSE)"},
    {"pid", CmdPid, "HWND|CLASS  -> process id"},
    {"end-session", CmdEndSession,
     "HWND|CLASS  (log-off: both messages, then the process ended)  -> query MS RESULT, end MS"},
    {"gdi-count", CmdGdiCount, "PID  -> GDI objects (exit 3: not available)"},
    {"watch", CmdWatch, "HWND|CLASS DURATION_MS [COMMAND-ID]  -> title/rect lines"},
    {"move", CmdMove, "HWND|CLASS X Y W H  (window rectangle)"},
    {"all", CmdAll, "CLASS|-  -> every top-level window of the class, one a line"},
    {"screen", CmdScreen, " -> width height"},
    {"list", CmdList, " -> hwnd class title rect visibility, one top-level window a line"},
    {"children", CmdChildren, "HWND|CLASS  -> hwnd id class text, one child a line"},
};

int Usage() {
    std::fprintf(stderr, "usage: TorvanDriver COMMAND ARGS...\n");
    for (const Command& command : Commands)
        std::fprintf(stderr, "  %s %s\n", command.name, command.usage);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    // Results go to a pipe read by a shell script: no buffering surprises.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // Lines end in LF only: the shell would keep a CR as part of the value.
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc < 2)
        return Usage();
    // A program started by `wine explorer /desktop=NAME,WxH` lives on that desktop, and windows
    // are only found from a thread on the same desktop.
    const char* desktopName = std::getenv("TORVAN_DESKTOP");
    // The desktop appears when its program starts, perhaps after the driver: wait for it. The
    // first start in a new prefix also builds Wine's font cache, which takes a while.
    if (desktopName && *desktopName) {
        HDESK desktop = nullptr;
        if (!WaitFor(60000,
                     [&] {
                         return (desktop = OpenDesktopA(desktopName, 0, FALSE, GENERIC_ALL)) !=
                                nullptr;
                     }) ||
            !SetThreadDesktop(desktop))
            return Fail("cannot join the desktop %s", desktopName);
    }
    for (const Command& command : Commands) {
        if (std::strcmp(argv[1], command.name) != 0)
            continue;
        int rc = command.run(argc - 2, argv + 2);
        if (rc < 0) {
            std::fprintf(stderr, "usage: TorvanDriver %s %s\n", command.name, command.usage);
            return 2;
        }
        return rc;
    }
    return Usage();
}
