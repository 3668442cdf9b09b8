// Drawing of labels and numbers into rectangles of a device context, an off-screen copy of a
// client area, and the class registration and error box the graph, totalizer and tool windows
// share.
#pragma once

#include <cstddef>
#include <windows.h>

// A "tahoma" font of the given height with grey antialiasing. The quality is chosen rather than
// left to the system: under Wine a font of default quality looks up the X resources at every
// selection into a context, reading the disk each time when the X server has none.
HFONT MakeTahomaFont(int height);

// The window that draws passes the brushes and fonts it owns: these routines keep none.
// The digits: the rectangle filled with digitsBrush, at most seven characters right-aligned.
void ShowWinFloatText(HDC dc, const RECT* rect, COLORREF textColour, HBRUSH digitsBrush,
                      const char* text, int length);
// As ShowWinFloatText, without the seven-character cut: for texts already fitted to their
// rectangle (the totalizer's).
void ShowWinDigits(HDC dc, const RECT* rect, COLORREF textColour, HBRUSH digitsBrush,
                   const char* text, int length);
void ShowWinText(HDC dc, const RECT* rect, HFONT font, COLORREF textColour, COLORREF background,
                 HBRUSH brush, const char* text, int length);
void SetLabelText(HDC dc, const RECT* rect, HFONT labelFont, HBRUSH textBrush, const char* text);
void ClearRect(HDC dc, const RECT* rect, HBRUSH textBrush);

// A bitmap the size of a window's client area, selected into a memory context compatible with
// the target, so a picture is drawn off-screen and copied in one step without flicker.
struct OffscreenImage {
    HDC Memory;
    HBITMAP Bitmap;
    HBITMAP PreviousBitmap;
    RECT Client;
    int Width, Height;
};

// Zero, with nothing to release, when the client area is empty or GDI refuses the context or
// the bitmap.
int BeginOffscreenImage(HWND window, HDC target, OffscreenImage* image);
// Puts the memory context's first bitmap back and deletes the bitmap and the context; what else
// the caller selected into the context it puts back itself first.
void EndOffscreenImage(OffscreenImage* image);

// A memory context with a bitmap compatible with a target, kept between drawings and made anew
// only for another target or size. Under Wine, making a bitmap compatible with a window's
// context asks the server for the display's colour depth, so a picture redrawn ten or fifty
// times a second keeps its image rather than making one each time.
struct KeptImage {
    HDC Memory;
    HBITMAP Bitmap;
    HGDIOBJ FirstBitmap, FirstFont;
    HDC Target;
    int Width, Height;
};

// Non-zero when image is ready for target at width x height; *made is set when it was made
// just now (its pixels are not yet drawn). Zero, with nothing held, when GDI refuses.
int HoldKeptImage(KeptImage* image, HDC target, int width, int height, int* made);
// Puts the first bitmap and font back and deletes the bitmap and the context.
void ReleaseKeptImage(KeptImage* image);

// Registers a class repainted whole on either resize, with a context of its own, the arrow
// cursor, extraBytes of window data and the stock object stockBrush as its background.
// Non-zero for success.
int RegisterRedrawnClass(HINSTANCE instance, const char* className, WNDPROC procedure,
                         int extraBytes, int stockBrush);

// Moves a top-level window, keeping its size, inside the work area of the monitor it is
// mostly on when part of it lies outside.
void KeepWindowOnScreen(HWND window);

// WM_DPICHANGED: the window moves to the rectangle Windows suggests for the new monitor's
// scale (lParam); the resulting size change lays the window out again.
void TakeSuggestedDpiRect(HWND window, LPARAM suggested);

typedef int(WINAPI* ErrorBoxFunc)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// The box for a window that could not be registered or created: "Error: " and the last Win32
// error, captioned "ERR". The text is left in text for whoever looks at it later.
void ShowCreateErrorBox(char* text, size_t size, ErrorBoxFunc box = MessageBoxA);
