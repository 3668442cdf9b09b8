// Drawing of labels and numbers into rectangles of a device context.
#pragma once

#include <windows.h>

void ShowWinFloatText(HDC dc, const RECT* rect, COLORREF textColour, const char* text, int length);
void ShowWinUnitsFloat(HDC dc, const RECT* rect, COLORREF textColour, float value, int decimals);
void ShowWinFloat(HDC dc, const RECT* rect, COLORREF textColour, float value);
void ShowWinText(HDC dc, const RECT* rect, HFONT font, COLORREF textColour, COLORREF background,
                 HBRUSH brush, const char* text, int length);
void SetLabelText(HDC dc, const RECT* rect, const char* text);
void ClearRect(HDC dc, const RECT* rect);
