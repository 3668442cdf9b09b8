#include "display/win32/TotalizerWin.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <windowsx.h>

#include "resources/AppMessages.h"
#include "display/TotalizerLayout.h"
#include "display/win32/WindowUtils.h"

namespace {

const char* const CLASS_NAME = "TotalizerWin";
constexpr COLORREF BUTTON_COLOUR = RGB(155, 155, 155);
constexpr COLORREF DIGIT_COLOUR = RGB(255, 0, 0);

HWND TotalizerWinHandle;
// The format of the total, as the main window last gave it (SetTotalizerFormat), and the
// screen's width read when the window is created: the digits' font shrinks to fit it.
char FormatText[64];
int FormatDecimals;
int TotalizerScreenWidth;
HWND ParentWindow;
int Registered;
HFONT TotalizerDigitFont;
HFONT ButtonFont;
RECT TotalizerDigitRect;
RECT TotalizerResetRect;
HBRUSH ButtonBrush;
HPEN ButtonBorderPen;
POINT pt;
char ErrorStr[200];
float LastTotal;
int HaveTotal;
// The text of 8s the digit box was last measured with, and the length of the last total
// shown, which may ask for a wider box than the gas's format.
char DigitSizing[64];
int ShownLength;
// The digits' off-screen image, kept while the window is open (made again for another size),
// and the text and box it last put on the window: a state reply that leaves the total as it
// was draws nothing, one that changes it copies the digit box alone. A paint draws it again.
KeptImage DigitImage;
char DrawnText[64];
RECT DrawnRect;

void ReplaceFont(HFONT* slot, HFONT font) {
    if (*slot != nullptr) {
        DeleteObject(*slot);
    }
    *slot = font;
}

SIZE Measure(HDC dc, HFONT font, const char* text) {
    SIZE size = {0, 0};
    HFONT previous = static_cast<HFONT>(SelectObject(dc, font));
    GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
    SelectObject(dc, previous);
    return size;
}

RECT ToRect(const LayoutRect& r) {
    RECT rect = {r.Left, r.Top, r.Right, r.Bottom};
    return rect;
}

LayoutRect ToLayout(const RECT& r) {
    return {r.left, r.top, r.right, r.bottom};
}

void DeleteDrawingObjects() {
    ReplaceFont(&TotalizerDigitFont, nullptr);
    ReplaceFont(&ButtonFont, nullptr);
    if (ButtonBrush != nullptr) {
        DeleteObject(ButtonBrush);
        ButtonBrush = nullptr;
    }
    if (ButtonBorderPen != nullptr) {
        DeleteObject(ButtonBorderPen);
        ButtonBorderPen = nullptr;
    }
}

} // namespace

void AdjustDigitWindow(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    HDC dc = GetDC(window);
    if (dc == nullptr) {
        return;
    }
    TotalizerSizingText(FormatText, ShownLength, DigitSizing, sizeof DigitSizing);
    const char* sizing = DigitSizing;
    TotalizerHeights heights = TotalizerStartHeights(client.bottom - client.top);
    HFONT digitFont = MakeTahomaFont(heights.Digit);
    SIZE digits = Measure(dc, digitFont, sizing);
    while (TotalizerMustShrink(digits.cx, TotalizerScreenWidth, heights)) {
        heights = TotalizerShrinkHeights(heights);
        DeleteObject(digitFont);
        digitFont = MakeTahomaFont(heights.Digit);
        digits = Measure(dc, digitFont, sizing);
    }
    ReplaceFont(&TotalizerDigitFont, digitFont);
    ReplaceFont(&ButtonFont, MakeTahomaFont(heights.Button));
    SIZE button = Measure(dc, ButtonFont, "  RESET  ");
    ReleaseDC(window, dc);
    LayoutRect digitRect, resetRect;
    TotalizerRects(digits.cx, digits.cy, button.cx, button.cy, &digitRect, &resetRect);
    TotalizerDigitRect = ToRect(digitRect);
    TotalizerResetRect = ToRect(resetRect);
}

void AdjustTotalizerWindowSize(HWND window) {
    RECT outer, client;
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    int outerWidth = outer.right - outer.left;
    int wanted =
        TotalizerWantedWidth(outerWidth, client.right - client.left, ToLayout(TotalizerDigitRect));
    if (wanted != outerWidth) {
        MoveWindow(window, outer.left, outer.top, wanted, outer.bottom - outer.top, TRUE);
        // A total that grows widens the window to the right; near the screen's edge it moves
        // left instead of leaving the work area.
        if (wanted > outerWidth) {
            KeepWindowOnScreen(window);
        }
    }
}

void SetTotalizerFormat(const char* format, int decimals) {
    snprintf(FormatText, sizeof FormatText, "%s", format ? format : "");
    FormatDecimals = decimals;
}

void SetButtonText(HDC dc, const RECT* rect, const char* text) {
    RECT outline = ToRect(TotalizerButtonOutline(ToLayout(*rect)));
    HRGN clip = CreateRectRgnIndirect(&outline);
    SelectClipRgn(dc, clip);
    HPEN previousPen = static_cast<HPEN>(SelectObject(dc, ButtonBorderPen));
    HBRUSH previousBrush = static_cast<HBRUSH>(SelectObject(dc, ButtonBrush));
    RoundRect(dc, outline.left, outline.top, outline.right, outline.bottom, 10, 10);
    SelectObject(dc, previousBrush);
    SelectObject(dc, previousPen);
    SetRectRgn(clip, rect->left, rect->top, rect->right, rect->bottom);
    SelectClipRgn(dc, clip);
    HFONT previousFont = static_cast<HFONT>(SelectObject(dc, ButtonFont));
    SetTextColor(dc, RGB(0, 0, 0));
    SetBkColor(dc, BUTTON_COLOUR);
    RECT textRect = *rect;
    DrawTextA(dc, text, -1, &textRect, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
    SelectObject(dc, previousFont);
    SelectClipRgn(dc, nullptr);
    DeleteObject(clip);
}

namespace {

// Draws the digits off-screen and copies them into the digit rectangle only, leaving the
// button alone; unless whole is set, only when the text or the box has changed.
void DrawTotal(HWND window, HDC target, int whole) {
    // A total that outgrows its digits loses decimals first; a total too long even whole, or a
    // box measured before the gas was known, has the box measured again (and the font fitted
    // to the screen) so the whole number shows.
    char text[sizeof DrawnText];
    int fits = (int)strlen(FormatText);
    int length =
        FormatTotalizerText(LastTotal, FormatDecimals, fits > 7 ? fits : 7, text, sizeof text);
    char wanted[sizeof DigitSizing];
    TotalizerSizingText(FormatText, length, wanted, sizeof wanted);
    ShownLength = length;
    if (strcmp(wanted, DigitSizing) != 0) {
        AdjustDigitWindow(window);
        AdjustTotalizerWindowSize(window);
    }
    const RECT& box = TotalizerDigitRect;
    if (!whole && strcmp(text, DrawnText) == 0 && EqualRect(&box, &DrawnRect)) {
        return;
    }
    RECT client;
    GetClientRect(window, &client);
    int made = 0;
    if (!HoldKeptImage(&DigitImage, target, client.right - client.left, client.bottom - client.top,
                       &made)) {
        return;
    }
    HDC memory = DigitImage.Memory;
    HFONT previousFont = static_cast<HFONT>(SelectObject(memory, TotalizerDigitFont));
    SetBkColor(memory, RGB(0, 0, 0));
    int width = box.right - box.left;
    int height = box.bottom - box.top;
    PatBlt(memory, box.left, box.top, width, height, BLACKNESS);
    ShowWinDigits(memory, &box, DIGIT_COLOUR, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)),
                  text, length);
    BitBlt(target, box.left, box.top, width, height, memory, box.left, box.top, SRCCOPY);
    SelectClipRgn(memory, nullptr);
    SelectObject(memory, previousFont);
    snprintf(DrawnText, sizeof DrawnText, "%s", text);
    DrawnRect = box;
}

void ForgetDrawnTotal() {
    ReleaseKeptImage(&DigitImage);
    DrawnText[0] = '\0';
    SetRectEmpty(&DrawnRect);
}

LRESULT OnCreate(HWND window) {
    TotalizerScreenWidth = GetSystemMetrics(SM_CXSCREEN);
    HaveTotal = 0;
    ShownLength = 0;
    AdjustDigitWindow(window);
    AdjustTotalizerWindowSize(window);
    // Made anew at every opening and deleted when the window goes.
    ButtonBrush = CreateSolidBrush(BUTTON_COLOUR);
    ButtonBorderPen = CreatePen(PS_SOLID, 3, RGB(0, 0, 0));
    return 0;
}

void OnSize(HWND window) {
    AdjustDigitWindow(window);
    AdjustTotalizerWindowSize(window);
}

void OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (dc != nullptr) {
        SetButtonText(dc, &TotalizerResetRect, " RESET ");
        // An uncovered window shows the last total at once rather than black until the next
        // state reply.
        if (HaveTotal) {
            DrawTotal(window, dc, 1);
        }
    }
    EndPaint(window, &paint);
}

void OnTotalizerFlow(HWND window, LPARAM lParam) {
    uint32_t bits = static_cast<uint32_t>(lParam);
    memcpy(&LastTotal, &bits, sizeof LastTotal);
    HaveTotal = 1;
    HDC dc = GetDC(window);
    if (dc != nullptr) {
        DrawTotal(window, dc, 0);
        ReleaseDC(window, dc);
    }
}

void OnLeftButtonDown(LPARAM lParam) {
    pt.x = GET_X_LPARAM(lParam);
    pt.y = GET_Y_LPARAM(lParam);
    if (TotalizerClickOnReset(ToLayout(TotalizerResetRect), pt.x, pt.y)) {
        PostMessageA(ParentWindow, WM_TOTALIZER_RESET, 0, 0);
    }
}

void OnClose(HWND window) {
    // The closed window goes along, so a report read after a new totalizer has opened does
    // not make the main window forget the new one.
    PostMessageA(ParentWindow, WM_TOTALIZER_CLOSED, 0, (LPARAM)window);
    DestroyWindow(window);
}

// The main window may destroy the totalizer directly (View/Totalizer), without a close, so the
// drawing objects go here.
void OnDestroy(HWND window) {
    ForgetDrawnTotal();
    DeleteDrawingObjects();
    if (window == TotalizerWinHandle) {
        TotalizerWinHandle = nullptr;
    }
}

LRESULT CALLBACK TotalizerWinProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DPICHANGED:
        TakeSuggestedDpiRect(window, lParam);
        return 0;
    case WM_SIZE:
        OnSize(window);
        return 0;
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_LBUTTONDOWN:
        OnLeftButtonDown(lParam);
        return 0;
    case WM_CLOSE:
        OnClose(window);
        return 0;
    case WM_DESTROY:
        OnDestroy(window);
        return 0;
    }
    if (message == WM_TOTALIZER_FLOW) {
        OnTotalizerFlow(window, lParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void ShowCreateError() {
    ShowCreateErrorBox(ErrorStr, sizeof ErrorStr);
}

} // namespace

HWND CreateTotalizerWin(HWND parent, int asChild, const char* title, int x, int y, int width,
                        int height, HINSTANCE instance) {
    ParentWindow = parent;
    if (!Registered) {
        if (!RegisterRedrawnClass(instance, CLASS_NAME, TotalizerWinProc, sizeof(LONG_PTR),
                                  BLACK_BRUSH)) {
            ShowCreateError();
            return nullptr;
        }
        Registered = 1;
    }
    DWORD style =
        asChild
            ? (WS_CHILD | WS_VISIBLE | WS_DLGFRAME)
            : (WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MAXIMIZEBOX);
    HWND window = CreateWindowExA(0, CLASS_NAME, title, style, x, y, width, height, parent, nullptr,
                                  instance, nullptr);
    if (window == nullptr) {
        ShowCreateError();
        return nullptr;
    }
    TotalizerWinHandle = window;
    // Placed from the main window, which may sit at the screen's edge.
    if (!asChild) {
        KeepWindowOnScreen(window);
    }
    return window;
}

BOOL TotalizerWinDialogBoxMsg(MSG* message) {
    if (TotalizerWinHandle == nullptr || !IsWindow(TotalizerWinHandle)) {
        return FALSE;
    }
    return IsDialogMessageA(TotalizerWinHandle, message);
}
