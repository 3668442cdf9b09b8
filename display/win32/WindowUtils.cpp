// Drawing of numbers and labels into rectangles. Each routine clips the context to its
// rectangle with a region of its own, which it deletes; the clip stays selected.
#include "display/win32/WindowUtils.h"

#include <cstdio>
#include <cstring>

#include "display/ScreenFit.h"

// The digit regions are sized for seven characters; a longer text keeps its leading ones.
constexpr int MAX_DIGIT_CHARS = 7;

static void ClipTo(HDC dc, const RECT* rect) {
    HRGN region = CreateRectRgnIndirect(rect);
    SelectClipRgn(dc, region);
    DeleteObject(region);
}

HFONT MakeTahomaFont(int height) {
    return CreateFontA(height, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, ANSI_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH,
                       "tahoma");
}

void ShowWinFloatText(HDC dc, const RECT* rect, COLORREF textColour, HBRUSH digitsBrush,
                      const char* text, int length) {
    if (length > MAX_DIGIT_CHARS)
        length = MAX_DIGIT_CHARS;
    ShowWinDigits(dc, rect, textColour, digitsBrush, text, length);
}

void ShowWinDigits(HDC dc, const RECT* rect, COLORREF textColour, HBRUSH digitsBrush,
                   const char* text, int length) {
    if (!dc || !rect || !text)
        return;
    if (length < 0)
        length = 0;
    ClipTo(dc, rect);
    SetTextColor(dc, textColour);
    FillRect(dc, rect, digitsBrush);
    RECT drawRect = *rect;
    DrawTextA(dc, text, length, &drawRect, DT_SINGLELINE | DT_VCENTER | DT_RIGHT);
}

void ShowWinText(HDC dc, const RECT* rect, HFONT font, COLORREF textColour, COLORREF background,
                 HBRUSH, const char* text, int length) {
    if (!dc || !rect || !text)
        return;
    ClipTo(dc, rect);
    SelectObject(dc, font);
    SetTextColor(dc, textColour);
    SetBkColor(dc, background);
    if (length <= 0)
        return;
    RECT drawRect = *rect;
    DrawTextA(dc, text, length, &drawRect, DT_SINGLELINE | DT_VCENTER);
}

void SetLabelText(HDC dc, const RECT* rect, HFONT labelFont, HBRUSH textBrush, const char* text) {
    if (!dc || !rect || !text)
        return;
    ClipTo(dc, rect);
    SelectObject(dc, labelFont);
    SetBkColor(dc, RGB(255, 255, 255));
    SetTextColor(dc, RGB(0, 0, 0));
    FillRect(dc, rect, textBrush);
    ShowWinText(dc, rect, labelFont, RGB(0, 0, 0), RGB(255, 255, 255), textBrush, text,
                (int)strlen(text));
}

void ClearRect(HDC dc, const RECT* rect, HBRUSH textBrush) {
    if (!dc || !rect)
        return;
    ClipTo(dc, rect);
    FillRect(dc, rect, textBrush);
}

int BeginOffscreenImage(HWND window, HDC target, OffscreenImage* image) {
    GetClientRect(window, &image->Client);
    image->Width = image->Client.right - image->Client.left;
    image->Height = image->Client.bottom - image->Client.top;
    if (image->Width <= 0 || image->Height <= 0) {
        return 0;
    }
    image->Memory = CreateCompatibleDC(target);
    if (image->Memory == nullptr) {
        return 0;
    }
    image->Bitmap = CreateCompatibleBitmap(target, image->Width, image->Height);
    if (image->Bitmap == nullptr) {
        DeleteDC(image->Memory);
        return 0;
    }
    image->PreviousBitmap = static_cast<HBITMAP>(SelectObject(image->Memory, image->Bitmap));
    return 1;
}

void EndOffscreenImage(OffscreenImage* image) {
    SelectObject(image->Memory, image->PreviousBitmap);
    DeleteObject(image->Bitmap);
    DeleteDC(image->Memory);
}

int HoldKeptImage(KeptImage* image, HDC target, int width, int height, int* made) {
    *made = 0;
    if (image->Memory && image->Target == target && image->Width == width &&
        image->Height == height)
        return 1;
    ReleaseKeptImage(image);
    if (width <= 0 || height <= 0)
        return 0;
    HDC memory = CreateCompatibleDC(target);
    HBITMAP bitmap = memory ? CreateCompatibleBitmap(target, width, height) : nullptr;
    if (!bitmap) {
        if (memory)
            DeleteDC(memory);
        return 0;
    }
    image->Memory = memory;
    image->Bitmap = bitmap;
    image->FirstBitmap = SelectObject(memory, bitmap);
    image->FirstFont = GetCurrentObject(memory, OBJ_FONT);
    image->Target = target;
    image->Width = width;
    image->Height = height;
    *made = 1;
    return 1;
}

void ReleaseKeptImage(KeptImage* image) {
    if (image->Memory) {
        SelectClipRgn(image->Memory, nullptr);
        SelectObject(image->Memory, image->FirstFont);
        SelectObject(image->Memory, image->FirstBitmap);
        DeleteDC(image->Memory);
    }
    if (image->Bitmap)
        DeleteObject(image->Bitmap);
    *image = KeptImage{};
}

int RegisterRedrawnClass(HINSTANCE instance, const char* className, WNDPROC procedure,
                         int extraBytes, int stockBrush) {
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    // An own context keeps what was selected into it between paints: a cache context is reset
    // at every BeginPaint, and under Wine selecting its default font back in looks up the X
    // resources each time, twenty times a second for the graph.
    windowClass.style = CS_HREDRAW | CS_VREDRAW | CS_OWNDC;
    windowClass.lpfnWndProc = procedure;
    windowClass.cbWndExtra = extraBytes;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(stockBrush));
    windowClass.lpszClassName = className;
    return RegisterClassExA(&windowClass) != 0;
}

void ShowCreateErrorBox(char* text, size_t size, ErrorBoxFunc box) {
    snprintf(text, size, "Error: %lu", GetLastError());
    box(nullptr, text, "ERR", MB_OK);
}

void KeepWindowOnScreen(HWND window) {
    RECT outer;
    if (!window || !GetWindowRect(window, &outer))
        return;
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoA(MonitorFromRect(&outer, MONITOR_DEFAULTTONEAREST), &monitor))
        return;
    int left = outer.left, top = outer.top;
    FitIntoArea(&left, &top, outer.right - outer.left, outer.bottom - outer.top,
                monitor.rcWork.left, monitor.rcWork.top, monitor.rcWork.right,
                monitor.rcWork.bottom);
    if (left != outer.left || top != outer.top)
        SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TakeSuggestedDpiRect(HWND window, LPARAM suggested) {
    const RECT* rect = reinterpret_cast<const RECT*>(suggested);
    if (!window || !rect)
        return;
    SetWindowPos(window, nullptr, rect->left, rect->top, rect->right - rect->left,
                 rect->bottom - rect->top, SWP_NOZORDER | SWP_NOACTIVATE);
}
