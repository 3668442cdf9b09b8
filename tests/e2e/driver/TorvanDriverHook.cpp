// TorvanDriverHook.dll: loaded into TorvanOne's process by a message hook that the driver
// installs on a window's thread, to read what only the owning process can read: under Wine a
// menu handle cannot be used by another process, and GetGuiResources is not implemented. Each
// query is a registered message posted to the window; the answer is posted back to the
// driver's window given in lParam as (answer, valid), and the query itself is swallowed.
#include <windows.h>

#include <intrin.h>

namespace {

// One cell of the GDI handle table that the system maps into each process (its address is in
// the process environment block); the layout is the same on Windows x64 and in Wine.
struct GdiHandleEntry {
    UINT64 object;
    USHORT ownerPid;
    USHORT count;
    USHORT unique;
    UCHAR type;
    UCHAR flags;
    UINT64 userPointer;
};
const int GdiHandleCount = 0x10000;
const size_t PebGdiTableOffset = 0xF8;

// The menu state as the operator would see it after opening the popup at `position`.
void AnswerMenuState(HWND window, WPARAM query, UINT* answer, LPARAM* valid) {
    int position = HIWORD(query);
    UINT id = LOWORD(query);
    HMENU bar = GetMenu(window);
    HMENU popup = bar ? GetSubMenu(bar, position) : nullptr;
    *answer = static_cast<UINT>(-1);
    *valid = popup != nullptr;
    if (!popup)
        return;
    SendMessageA(window, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(popup),
                 MAKELPARAM(position, FALSE));
    *answer = GetMenuState(popup, id, MF_BYCOMMAND);
}

// Objects in the table that this process owns. Wine keeps one table per process and leaves the
// owner field 0, so there every live entry counts (stock objects included: a leak check compares
// counts, and the stock objects stay constant).
void AnswerGdiCount(UINT* answer, LPARAM* valid) {
    SetLastError(0);
    DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (count != 0 || GetLastError() == 0) {
        *answer = count;
        *valid = 1;
        return;
    }
    // The thread block's pointer to the process block sits at gs:0x60 on x64.
    const char* peb = reinterpret_cast<const char*>(__readgsqword(0x60));
    const GdiHandleEntry* table =
        *reinterpret_cast<GdiHandleEntry* const*>(peb + PebGdiTableOffset);
    *answer = 0;
    *valid = table != nullptr;
    if (!table)
        return;
    USHORT pid = static_cast<USHORT>(GetCurrentProcessId());
    for (int i = 0; i < GdiHandleCount; ++i)
        if (table[i].type != 0 && (table[i].ownerPid == pid || table[i].ownerPid == 0))
            ++*answer;
}

} // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK
    DriverGetMessageHook(int code, WPARAM removal, LPARAM lParam) {
    static const UINT MenuStateQuery = RegisterWindowMessageA("TorvanDriverMenuState");
    static const UINT GdiCountQuery = RegisterWindowMessageA("TorvanDriverGdiCount");
    MSG* msg = reinterpret_cast<MSG*>(lParam);
    if (code == HC_ACTION && removal == PM_REMOVE &&
        (msg->message == MenuStateQuery || msg->message == GdiCountQuery)) {
        UINT answer = 0;
        LPARAM valid = 0;
        if (msg->message == MenuStateQuery)
            AnswerMenuState(msg->hwnd, msg->wParam, &answer, &valid);
        else
            AnswerGdiCount(&answer, &valid);
        PostMessageA(reinterpret_cast<HWND>(msg->lParam), msg->message, answer, valid);
        msg->message = WM_NULL;
    }
    return CallNextHookEx(nullptr, code, removal, lParam);
}
