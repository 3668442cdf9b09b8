// The main window's readout: fonts and regions from the client height, the window's width
// and one-time size, the digits redrawn off-screen after each state reply, the information
// strip's ticker, and the totalizer window opened to match the main window.
#include <cstdio>
#include <cstring>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/WorkerThread.h"
#include "app/win32/Connection.h"
#include "app/win32/LegacyApp.h"
#include "app/win32/MainReadout.h"
#include "display/FormatInfo.h"
#include "display/InfoStrip.h"
#include "display/ReadoutLayout.h"
#include "display/win32/TotalizerWin.h"
#include "display/win32/WindowUtils.h"

HFONT BigDigitFont, LabelFont, InfoWinFont;
RECT InfoWinRect, FlowLabelRect, FlowDigitRect, SetPointLabelRect, SetPointDigitRect;

static int WindowAlreadySized;
static TickerState Ticker;
static int BufferSelect;

// The strip as it was last put on the window. The ticker steps every 20 ms, but a text that
// fits, or a long one while it holds, would put the same pixels there again: such a step
// advances the ticker and draws nothing. The text's width is kept with it, so an unchanged
// text is not measured again either.
struct DrawnStrip {
    int Valid;
    HDC Target;
    RECT Rect;
    HFONT Font;
    uint32_t Background;
    char Text[INFO_SHOWN_SIZE];
    int TextWidth;
    TickerFrame Frame;
};
static DrawnStrip LastStrip;

// Timer 272 beats every 20 ms while the strip's text is wider than the strip: it holds, then
// scrolls one pixel a step. A text that fits stands still, so its steps draw nothing. A new
// text is drawn at once by the state reply, paint, command, reply or timer tick that brought
// it (RefreshChangedStrip); the slow beat is only a safety net, so an idle window wakes once
// a second, not 50 times.
constexpr UINT STRIP_STEP_MS = 20;
constexpr UINT STRIP_STILL_MS = 1000;
static UINT StripTimerMs = STRIP_STEP_MS;

// The readout's off-screen image, kept between state replies. The strip's two: its text drawn
// once, and each ticker frame composed from it; the text image is drawn again only for
// another text, font or colour.
static KeptImage Image, StripText, StripBack;
struct StripTextKey {
    int Valid;
    HFONT Font;
    uint32_t Background;
    char Text[INFO_SHOWN_SIZE];
};
static StripTextKey StripTextDrawn;

// Everything but the two numbers that decides what UpdateDisplay puts on the window.
struct ReadoutFrame {
    HDC Target;
    RECT Client, FlowLabel, FlowDigit, SetPointLabel, SetPointDigit;
    HFONT DigitFont, LabelFont;
    int Controller;
    char FlowLabelText[GAS_TEXT_SIZE + 32];
    char SetPointLabelText[GAS_TEXT_SIZE + 32];
};

// The readout as last put on the window. A state reply that changes only a number redraws
// and copies only that number's box; one that changes nothing draws nothing.
struct DrawnReadout {
    int Valid;
    ReadoutFrame Frame;
    char FlowText[READING_TEXT_SIZE];
    char SetPointText[READING_TEXT_SIZE];
};
static DrawnReadout LastReadout;

static void ReplaceFont(HFONT* font, int height) {
    HFONT made = MakeTahomaFont(height);
    if (*font)
        DeleteObject(*font);
    *font = made;
}

void ResetReadoutState() {
    WindowAlreadySized = 0;
    Ticker = TickerState{0, 0, 0};
    BufferSelect = 0;
    ForgetDrawnStrip();
    ForgetDrawnReadout();
    // The main window starts timer 272 at 20 ms when it is created.
    StripTimerMs = STRIP_STEP_MS;
}

void ForgetDrawnStrip() {
    LastStrip.Valid = 0;
}

void ForgetDrawnReadout() {
    LastReadout.Valid = 0;
}

// The kept images may hold the readout's fonts selected; they are let go before the fonts are
// replaced or deleted.
static void ReleaseReadoutImages() {
    ReleaseKeptImage(&Image);
    ReleaseKeptImage(&StripText);
    ReleaseKeptImage(&StripBack);
    StripTextDrawn.Valid = 0;
    ForgetDrawnReadout();
}

void ReleaseReadoutObjects() {
    ReleaseReadoutImages();
    HFONT* fonts[] = {&BigDigitFont, &LabelFont, &InfoWinFont};
    for (HFONT* font : fonts) {
        if (*font)
            DeleteObject(*font);
        *font = nullptr;
    }
}

static int TextWidthIn(HDC dc, HFONT font, const char* text) {
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size = {0, 0};
    GetTextExtentPoint32A(dc, text, (int)strlen(text), &size);
    SelectObject(dc, old);
    return size.cx;
}

static int MeasureTahoma(int height, const char* text, void* context) {
    HFONT font = MakeTahomaFont(height);
    int width = TextWidthIn((HDC)context, font, text);
    DeleteObject(font);
    return width;
}

static RECT ToRect(const LayoutRect& r) {
    RECT out = {r.left, r.top, r.right, r.bottom};
    return out;
}

void AdjustLabelAndDigitWindows(HWND window) {
    RECT client;
    GetClientRect(window, &client);
    ReadoutHeights heights = BaseReadoutHeights(client.bottom - client.top, ThisIsController);
    const char* sizing = ReadoutSizingText(ShowFlowDisplayInUnits, FlowFormatBuff);

    HDC dc = GetDC(window);
    int textWidth = ShrinkReadoutToScreen(&heights, sizing, ScreenWidth, MeasureTahoma, dc);
    ReleaseDC(window, dc);

    ReleaseReadoutImages();
    ReplaceFont(&BigDigitFont, heights.Digit);
    ReplaceFont(&LabelFont, heights.Label);
    ReplaceFont(&InfoWinFont, heights.Info);
    // A deleted font's handle may come back for a new one of another size.
    ForgetDrawnStrip();

    ReadoutRects rects;
    ComputeReadoutRects(&heights, textWidth, ThisIsController, &rects);
    InfoWinRect = ToRect(rects.Info);
    FlowLabelRect = ToRect(rects.FlowLabel);
    FlowDigitRect = ToRect(rects.FlowDigit);
    SetPointLabelRect = ToRect(rects.SetPointLabel);
    SetPointDigitRect = ToRect(rects.SetPointDigit);
}

static int WantedWidth(HWND window, RECT* outer, RECT* client) {
    GetWindowRect(window, outer);
    GetClientRect(window, client);
    return WantedMainWindowWidth(outer->right - outer->left, client->right - client->left,
                                 FlowDigitRect.right);
}

void AdjustMainWindowWidth(HWND window) {
    RECT outer, client;
    int wanted = WantedWidth(window, &outer, &client);
    InfoWinRect.left = 0;
    InfoWinRect.right = client.right;
    if (wanted != outer.right - outer.left)
        MoveWindow(window, outer.left, outer.top, wanted, outer.bottom - outer.top, TRUE);
}

void AdjustMainWindowSize(HWND window) {
    if (WindowAlreadySized)
        return;
    RECT outer, client;
    int wanted = WantedWidth(window, &outer, &client);
    int height = SizedMainWindowHeight(outer.bottom - outer.top, client.bottom - client.top,
                                       ThisIsController);
    WindowAlreadySized = 1;
    MoveWindow(window, outer.left, outer.top, wanted, height, TRUE);
}

void RelayoutReadout(HWND window) {
    AdjustLabelAndDigitWindows(window);
    if (!MainWindowPlacing) {
        AdjustMainWindowWidth(window);
        return;
    }
    RECT client;
    GetClientRect(window, &client);
    InfoWinRect.left = 0;
    InfoWinRect.right = client.right;
}

void CreateTheTotalizerWindowToMatchCurrentMainWinSize(HWND window) {
    char title[TITLE_SIZE + 16];
    snprintf(title, sizeof title, "%s Total Flow", WindowTitle);
    RECT outer, client;
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    int overhead = (outer.bottom - outer.top) - (client.bottom - client.top);
    SetTotalizerFormat(TotalizerFormatBuff, NumTotalizerDecimalPlaces);
    TotalizerWin = CreateTotalizerWin(
        window, 0, title, outer.left + 80, outer.top + 80, outer.right - outer.left,
        overhead + (FlowDigitRect.bottom - FlowDigitRect.top), MainInstance);
}

static void ReadingText(float percent, char* out, size_t size) {
    if (ShowFlowDisplayInUnits)
        FormatReadingText(out, size, percent * FullScaleFlow / 100.0f, NumFlowDecimalPlaces);
    else
        FormatReadingText(out, size, percent, -1);
}

static void DescribeReadoutFrame(HDC target, const RECT* client, ReadoutFrame* frame) {
    *frame = ReadoutFrame{};
    frame->Target = target;
    frame->Client = *client;
    frame->FlowLabel = FlowLabelRect;
    frame->FlowDigit = FlowDigitRect;
    frame->SetPointLabel = SetPointLabelRect;
    frame->SetPointDigit = SetPointDigitRect;
    frame->DigitFont = BigDigitFont;
    frame->LabelFont = LabelFont;
    frame->Controller = ThisIsController;
    if (ShowFlowDisplayInUnits) {
        snprintf(frame->FlowLabelText, sizeof frame->FlowLabelText, "Flow (%s)", GasUnits);
        snprintf(frame->SetPointLabelText, sizeof frame->SetPointLabelText, "SetPoint (%s)",
                 GasUnits);
    } else {
        snprintf(frame->FlowLabelText, sizeof frame->FlowLabelText, "Flow %%FS");
        snprintf(frame->SetPointLabelText, sizeof frame->SetPointLabelText, "SetPoint %%FS");
    }
}

static int SameFrame(const ReadoutFrame* a, const ReadoutFrame* b) {
    return a->Target == b->Target && EqualRect(&a->Client, &b->Client) &&
           EqualRect(&a->FlowLabel, &b->FlowLabel) && EqualRect(&a->FlowDigit, &b->FlowDigit) &&
           EqualRect(&a->SetPointLabel, &b->SetPointLabel) &&
           EqualRect(&a->SetPointDigit, &b->SetPointDigit) && a->DigitFont == b->DigitFont &&
           a->LabelFont == b->LabelFont && a->Controller == b->Controller &&
           strcmp(a->FlowLabelText, b->FlowLabelText) == 0 &&
           strcmp(a->SetPointLabelText, b->SetPointLabelText) == 0;
}

static void DrawLabel(HDC dc, const RECT* rect, const char* text) {
    ShowWinText(dc, rect, LabelFont, RGB(0, 0, 0), RGB(200, 200, 200), TextBackgroundBrush, text,
                (int)strlen(text));
}

static void DrawNumber(HDC dc, const RECT* rect, COLORREF colour, const char* text) {
    SetBkColor(dc, RGB(0, 0, 0));
    SelectObject(dc, BigDigitFont);
    ShowWinFloatText(dc, rect, colour, DigitsBackgroundBrush, text, (int)strlen(text));
}

static void CopyToWindow(HDC target, const RECT* rect) {
    BitBlt(target, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top,
           Image.Memory, rect->left, rect->top, SRCCOPY);
}

constexpr COLORREF FLOW_COLOUR = RGB(255, 0, 0);
constexpr COLORREF SET_POINT_COLOUR = RGB(0, 150, 255);

// The labels and numbers, drawn into the kept image and copied onto the window: all of it
// after a paint or a change of layout, fonts, labels or device kind, else only the boxes of
// the numbers whose text changed.
static void DrawReadout(HDC target, const RECT* client) {
    ReadoutFrame frame;
    DescribeReadoutFrame(target, client, &frame);
    char flowText[READING_TEXT_SIZE], setPointText[READING_TEXT_SIZE];
    ReadingText(SystemState.Flow, flowText, sizeof flowText);
    ReadingText(SystemState.SetPoint, setPointText, sizeof setPointText);
    HDC image = Image.Memory;

    if (!LastReadout.Valid || !SameFrame(&LastReadout.Frame, &frame)) {
        SelectClipRgn(image, nullptr);
        FillRect(image, client, MainWinBackgroundBrush);
        DrawLabel(image, &FlowLabelRect, frame.FlowLabelText);
        if (ThisIsController)
            DrawLabel(image, &SetPointLabelRect, frame.SetPointLabelText);
        if (ThisIsController)
            DrawNumber(image, &SetPointDigitRect, SET_POINT_COLOUR, setPointText);
        DrawNumber(image, &FlowDigitRect, FLOW_COLOUR, flowText);
        // The strip above the flow label belongs to the ticker; leave it alone here.
        RECT below = *client;
        below.top = FlowLabelRect.top;
        CopyToWindow(target, &below);
    } else {
        if (ThisIsController && strcmp(setPointText, LastReadout.SetPointText) != 0) {
            DrawNumber(image, &SetPointDigitRect, SET_POINT_COLOUR, setPointText);
            CopyToWindow(target, &SetPointDigitRect);
        }
        if (strcmp(flowText, LastReadout.FlowText) != 0) {
            DrawNumber(image, &FlowDigitRect, FLOW_COLOUR, flowText);
            CopyToWindow(target, &FlowDigitRect);
        }
    }
    // The digit font stays selected: putting the first font back would cost a font selection
    // per reply. A relayout lets go of the image before it replaces the fonts.
    SelectClipRgn(image, nullptr);

    LastReadout.Valid = 1;
    LastReadout.Frame = frame;
    snprintf(LastReadout.FlowText, sizeof LastReadout.FlowText, "%s", flowText);
    snprintf(LastReadout.SetPointText, sizeof LastReadout.SetPointText, "%s", setPointText);
}

void UpdateDisplay(HDC target) {
    HWND window = MainWindowHandle;
    if (!window || !target)
        return;
    RECT client;
    GetClientRect(window, &client);
    int width = client.right - client.left;
    int height = client.bottom - client.top;
    int made;
    if (HoldKeptImage(&Image, target, width, height, &made)) {
        if (made)
            ForgetDrawnReadout();
        DrawReadout(target, &client);
    }

    UpdateInformationWindow(target);

    if (TotalizerWin) {
        float total = SystemState.TotalizerFlow * FullScaleFlow * GasTimeFactor;
        uint32_t bits;
        memcpy(&bits, &total, sizeof bits);
        PostMessageA(TotalizerWin, WM_TOTALIZER_FLOW, 0, (LPARAM)bits);
    }
}

static HBRUSH StripBrush(int select) {
    if (select == INFO_SELECT_ERROR)
        return ErrorBackgroundBrush;
    if (select == INFO_SELECT_ALARM)
        return WarningBackgroundBrush;
    return NormalBackgroundBrush;
}

// One ticker frame: the text drawn into an image of its own (once for each text), copied from
// the frame's offset (and again from its start when it wraps) onto the strip's background, the
// result copied onto the strip.
static void DrawStrip(HDC target, const InfoStripChoice* choice, HBRUSH brush, int textWidth,
                      const TickerFrame* frame) {
    int stripWidth = InfoWinRect.right - InfoWinRect.left;
    int stripHeight = InfoWinRect.bottom - InfoWinRect.top;
    int madeText, madeBack;
    if (!HoldKeptImage(&StripText, target, textWidth > 0 ? textWidth : 1, stripHeight, &madeText) ||
        !HoldKeptImage(&StripBack, target, stripWidth, stripHeight, &madeBack))
        return;
    HDC textImage = StripText.Memory;
    if (madeText || !StripTextDrawn.Valid || StripTextDrawn.Font != InfoWinFont ||
        StripTextDrawn.Background != choice->Background ||
        strcmp(StripTextDrawn.Text, choice->Text) != 0) {
        RECT textRect = {0, 0, StripText.Width, stripHeight};
        SelectClipRgn(textImage, nullptr);
        FillRect(textImage, &textRect, brush);
        ShowWinText(textImage, &textRect, InfoWinFont, RGB(0, 0, 0), (COLORREF)choice->Background,
                    brush, choice->Text, (int)strlen(choice->Text));
        // ShowWinText leaves its clip region selected; the font stays until the fonts change.
        SelectClipRgn(textImage, nullptr);
        StripTextDrawn.Valid = 1;
        StripTextDrawn.Font = InfoWinFont;
        StripTextDrawn.Background = choice->Background;
        snprintf(StripTextDrawn.Text, sizeof StripTextDrawn.Text, "%s", choice->Text);
    }

    HDC backImage = StripBack.Memory;
    RECT backRect = {0, 0, stripWidth, stripHeight};
    FillRect(backImage, &backRect, brush);
    if (frame->Width > 0)
        BitBlt(backImage, 0, 0, frame->Width, stripHeight, textImage, frame->SourceX, 0, SRCCOPY);
    if (frame->Wrap && frame->WrapWidth > 0)
        BitBlt(backImage, frame->WrapX, 0, frame->WrapWidth, stripHeight, textImage, 0, 0, SRCCOPY);

    HRGN clip = CreateRectRgnIndirect(&InfoWinRect);
    SelectClipRgn(target, clip);
    BitBlt(target, InfoWinRect.left, InfoWinRect.top, stripWidth, stripHeight, backImage, 0, 0,
           SRCCOPY);
    SelectClipRgn(target, nullptr);
    DeleteObject(clip);
}

static void ChooseStripText(InfoStripChoice* choice);

// One ticker step: chooses the text, advances the ticker and draws the strip unless the step
// would draw what is already there. Returns 1 while the text is wider than the strip.
static int StepStrip(HDC target) {
    InfoStripChoice choice;
    ChooseStripText(&choice);
    BufferSelect = choice.BufferSelect;
    HBRUSH brush = StripBrush(choice.BufferSelect);

    int stripWidth = InfoWinRect.right - InfoWinRect.left;
    int stripHeight = InfoWinRect.bottom - InfoWinRect.top;
    if (stripWidth <= 0 || stripHeight <= 0)
        return 0;
    int sameText = LastStrip.Valid && LastStrip.Target == target && LastStrip.Font == InfoWinFont &&
                   strcmp(LastStrip.Text, choice.Text) == 0;
    int textWidth = sameText ? LastStrip.TextWidth : TextWidthIn(target, InfoWinFont, choice.Text);

    TickerFrame frame;
    TickerStep(&Ticker, textWidth, stripWidth, &frame);
    int samePicture = sameText && EqualRect(&LastStrip.Rect, &InfoWinRect) &&
                      LastStrip.Background == choice.Background &&
                      memcmp(&LastStrip.Frame, &frame, sizeof frame) == 0;

    if (!samePicture) {
        DrawStrip(target, &choice, brush, textWidth, &frame);
        LastStrip.Valid = 1;
        LastStrip.Target = target;
        LastStrip.Rect = InfoWinRect;
        LastStrip.Font = InfoWinFont;
        LastStrip.Background = choice.Background;
        snprintf(LastStrip.Text, sizeof LastStrip.Text, "%s", choice.Text);
        LastStrip.TextWidth = textWidth;
        LastStrip.Frame = frame;
    }
    return textWidth > stripWidth;
}

// What the strip would show now, as the ticker chooses it.
static void ChooseStripText(InfoStripChoice* choice) {
    InfoStripInput input;
    input.Simulation = ConnectionSimulating();
    input.Connected = ConnectionLinkUp();
    input.WaitingForPrevious = ConnectionWaitingForPrevious();
    input.SerialErrors = SerialPortErrors;
    input.LoggingActive = LoggingActive;
    input.StatusFlags = SystemState.StatusFlags;
    input.GasInfo = GasInfo;
    ChooseInformationText(&input, choice);
}

static void ArmStripTimer(HWND window, UINT ms) {
    SetTimer(window, TIMER_INFO_REFRESH, ms, TimerProc);
    StripTimerMs = ms;
}

void UpdateInformationWindow(HDC target) {
    HWND window = MainWindowHandle;
    if (!window || !target)
        return;
    if (StepStrip(target)) {
        // A step from a state reply or a paint starts the 20 ms period afresh (SetTimer on a
        // running timer restarts it), so a moving text never takes two steps in a row.
        ArmStripTimer(window, STRIP_STEP_MS);
    } else if (StripTimerMs != STRIP_STILL_MS) {
        ArmStripTimer(window, STRIP_STILL_MS);
    }
}

void StepInformationWindow(HDC target) {
    HWND window = MainWindowHandle;
    if (!window || !target)
        return;
    UINT ms = StepStrip(target) ? STRIP_STEP_MS : STRIP_STILL_MS;
    if (ms != StripTimerMs)
        ArmStripTimer(window, ms);
}

void RefreshChangedStrip() {
    if (!MainWindowHandle || !MainWinDC || !LastStrip.Valid)
        return;
    InfoStripChoice choice;
    ChooseStripText(&choice);
    if (choice.Background != LastStrip.Background || strcmp(choice.Text, LastStrip.Text) != 0)
        UpdateInformationWindow(MainWinDC);
}
