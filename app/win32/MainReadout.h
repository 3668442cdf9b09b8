// The main window's readout: fonts and regions from the client height, the window's width
// and one-time size, the digits redrawn after each state reply, the information strip's
// ticker, and the totalizer window opened to match the main window.
#pragma once

#include <windows.h>

extern HFONT BigDigitFont, LabelFont, InfoWinFont;
extern RECT InfoWinRect, FlowLabelRect, FlowDigitRect, SetPointLabelRect, SetPointDigitRect;

void AdjustLabelAndDigitWindows(HWND window);
void AdjustMainWindowWidth(HWND window);
void AdjustMainWindowSize(HWND window);
void CreateTheTotalizerWindowToMatchCurrentMainWinSize(HWND window);
void UpdateDisplay(HDC dc);
void UpdateInformationWindow(HDC dc);
// One ticker step on the beat of timer 272, which keeps running (its period changes only when
// the text starts or stops moving).
void StepInformationWindow(HDC dc);

// Re-lays the readout (fonts, regions, window width); frees the readout's fonts and its kept
// off-screen image.
void RelayoutReadout(HWND window);
void ReleaseReadoutObjects();
// A new main window sizes itself once for the first board it identifies.
void ResetReadoutState();
// The strip's pixels are gone (the window was painted over): the next step draws it whole.
void ForgetDrawnStrip();
// The readout's pixels are gone: the next state reply draws labels and numbers whole.
void ForgetDrawnReadout();
// Draws the strip at once when a command or a reply has changed its text (a connection ended,
// logging started) rather than leaving it to the ticker's next beat, which is slow while the
// text stands still.
void RefreshChangedStrip();
